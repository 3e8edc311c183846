# Movies the server keeps open between requests: one open file for a run of frame requests, and
# never a kept file's bytes once the drive changed under it.
import requests

from conftest import TOKEN, Sim
from sim_drive import Vemsim, synthetic, wait_for

AUTH = {"Authorization": "Bearer " + TOKEN}


def frame(base, entry, f):
    reply = requests.get(base + "api/v1/movies/%s/frames/%d?format=raw" % (entry, f),
                         headers=AUTH, timeout=20)
    return reply.status_code, reply.content


def test_frames_share_an_open_file_and_follow_the_drive(tmp_path):
    own = Sim(movies=["--movie", "64x48x12:small"], root=tmp_path)
    again = None
    try:
        with own.server("--allow-delete") as (base, _, _):
            # A run of frame requests: about one service request (the frame's load) each, where
            # an open and close per request would cost four or five.
            before = own.stats()["requests"]
            for f in range(12):
                assert frame(base, "1-small", f) == (200, synthetic(1, f, 64, 48).tobytes())
            assert own.stats()["requests"] - before < 24

            # A new service whose movie 1-small has another shape: the kept file is the old
            # service's, and no byte of it is served.
            own.stop()
            again = Vemsim(["--movie", "32x16x5:small"], root=tmp_path, log_name="again")
            wait_for(lambda: frame(base, "1-small", 0)[0] == 200, seconds=20)
            for f in (0, 4):
                assert frame(base, "1-small", f) == (200, synthetic(1, f, 32, 16).tobytes())
            assert frame(base, "1-small", 5)[0] == 404

            # A kept movie can be deleted, and is gone for good.
            assert requests.delete(base + "files/1-small", headers=AUTH).status_code == 204
            assert frame(base, "1-small", 0)[0] == 404
    finally:
        own.stop()
        if again:
            again.stop()


def test_no_wrong_bytes_while_the_drive_renumbers(tmp_path):
    """Clients read frames and ranges of every movie while other movies come and go, which
    moves the rest on the drive: each answer is the named movie's bytes, or a refusal."""
    import random
    import threading
    import time

    w, h, frames = 24, 10, 6
    size = w * h * 2
    own = Sim(movies=["--movie", "%dx%dx%d:m" % (w, h, frames)] * 8, root=tmp_path)
    wrong, good, stop = [], [0], threading.Event()

    def expected(entry, first, count):
        number = int(entry.split("-", 1)[0])
        return b"".join(synthetic(number, f, w, h).tobytes() for f in range(first, first + count))

    def reader(seed, base):
        rand, session = random.Random(seed), requests.Session()
        session.headers.update(AUTH)
        while not stop.is_set():
            listed = session.get(base + "api/v1/movies", timeout=20)
            if listed.status_code != 200:
                continue
            for movie in listed.json():
                entry, f = movie["name"], rand.randrange(frames - 1)
                if rand.random() < 0.5:
                    reply = session.get(base + "api/v1/movies/%s/frames/%d?format=raw" % (entry, f),
                                        timeout=20)
                    want, what = expected(entry, f, 1), "frame %d" % f
                else:
                    reply = session.get(base + "files/" + entry, timeout=20, headers={
                        "Range": "bytes=%d-%d" % (f * size, (f + 2) * size - 1)})
                    want, what = expected(entry, f, 2), "frames %d-%d" % (f, f + 1)
                if reply.status_code in (200, 206):
                    # A body cut short is a failed transfer (the movie went while it was sent),
                    # which every client sees by its length; any other body must be the movie's.
                    if len(reply.content) < int(reply.headers["Content-Length"]):
                        continue
                    if reply.content == want:
                        good[0] += 1
                    else:
                        wrong.append("%s %s: %d bytes" % (entry, what, len(reply.content)))
                else:
                    assert reply.status_code in (404, 412, 503), (reply.status_code, reply.text)

    try:
        with own.server() as (base, _, _):
            threads = [threading.Thread(target=reader, args=(i, base)) for i in range(4)]
            for t in threads:
                t.start()
            rand, count, deadline = random.Random(7), 8, time.monotonic() + 8
            while time.monotonic() < deadline:
                if count < 4 or (count < 12 and rand.random() < 0.5):
                    own.add(w, h, frames, "m")
                    count += 1
                else:
                    own.ctl("remove", rand.randrange(count))
                    count -= 1
                time.sleep(0.01)
            stop.set()
            for t in threads:
                t.join(timeout=60)
    finally:
        stop.set()
        own.stop()
    assert wrong == []
    assert good[0] > 50
