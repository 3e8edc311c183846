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
