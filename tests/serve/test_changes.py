# Changes over HTTP: the event stream, deletion, and validators across a removal.
import json
import queue
import re
import threading
import time

import requests

from conftest import TOKEN, Sim
from sim_drive import Vemsim

AUTH = {"Authorization": "Bearer " + TOKEN}


def events(base):
    """Reads the event stream on a thread; yields a queue of (event, data) and the reply."""
    reply = requests.get(base + "api/v1/events", headers=AUTH, stream=True, timeout=30)
    assert reply.status_code == 200
    assert reply.headers["Content-Type"] == "text/event-stream"
    out = queue.Queue()

    def read():
        event, data = None, None
        try:
            for line in reply.iter_lines(chunk_size=1, decode_unicode=True):
                if line.startswith("retry:"):
                    out.put(("retry", line))
                elif line.startswith("event:"):
                    event = line.split(":", 1)[1].strip()
                elif line.startswith("data:"):
                    data = json.loads(line.split(":", 1)[1])
                elif line == "" and event:
                    out.put((event, data))
                    event = None
        except Exception:
            pass

    threading.Thread(target=read, daemon=True).start()
    return out, reply


def test_events_and_deletion(sim):
    with sim.server("--allow-delete") as (base, _, log):
        stream, reply = events(base)
        assert stream.get(timeout=5)[0] == "retry"
        head = requests.head(base + "api/v1/events", headers=AUTH, timeout=5)
        assert (head.status_code, head.headers["Content-Type"]) == (200, "text/event-stream")

        added = sim.add(20, 10, 3, "fresh")["entry"]
        started = time.monotonic()
        event, data = stream.get(timeout=2)
        assert time.monotonic() - started < 2
        assert (event, data["added"], data["removed"]) == ("change", [added], [])

        # An ETag is the movie's own: another movie's removal (which renumbers) changes none.
        tag = requests.head(base + "files/2-small", headers=AUTH).headers["ETag"]
        old = requests.head(base + "files/1-odd", headers=AUTH).headers["ETag"]
        wrong = requests.delete(base + "files/1-odd", headers={**AUTH, "If-Match": tag})
        assert wrong.status_code == 412
        gone = requests.delete(base + "files/1-odd", headers={**AUTH, "If-Match": old})
        assert gone.status_code == 204
        assert stream.get(timeout=5)[1]["removed"] == ["1-odd"]
        assert requests.head(base + "files/2-small", headers=AUTH).headers["ETag"] == tag
        assert requests.get(base + "files/1-odd", headers=AUTH).status_code == 404
        assert requests.delete(base + "files/1-odd", headers=AUTH).status_code == 404
        # A movie that takes the removed one's place has a tag of its own.
        again = sim.add(37, 23, 9, "odd")["entry"]
        # The removal may still have a change event on its way: wait for the one of this add.
        while again not in ((stream.get(timeout=5)[1] or {}).get("added") or []):
            pass
        assert requests.head(base + "files/" + again, headers=AUTH).headers["ETag"] not in (
            old, tag)
        assert re.search(r"127\.0\.0\.1:\d+ \"DELETE /files/1-odd\" 204 .*deleted 1-odd",
                         open(log).read())
        reply.close()


def test_service_and_drive_events(tmp_path):
    """The stream tells the service and its drive going and coming back, as `vem watch --json`
    does, and the movies a returning service brings."""
    own = Sim(movies=["--movie", "8x8x2:first"], root=tmp_path)
    again = None
    try:
        with own.server() as (base, _, _):
            stream, reply = events(base)
            assert stream.get(timeout=5)[0] == "retry"

            def next_service_event():
                while True:
                    event, data = stream.get(timeout=10)
                    if event == "service":
                        return data["event"]

            own.ctl("detach")
            assert next_service_event() == "drive-detached"
            own.stop()
            assert next_service_event() == "service-lost"
            again = Vemsim(["--movie", "8x8x2:first", "--movie", "8x8x2:second"], root=tmp_path,
                           log_name="again")
            # Back: both events in order, and the movies it brings as a change (which the
            # library's own reconnection may publish before or between them).
            told, added = [], []
            while told != ["service-back", "drive-attached"] or "2-second" not in added:
                event, data = stream.get(timeout=10)
                if event == "service":
                    told.append(data["event"])
                elif event == "change":
                    added += data["added"]
                assert len(told) <= 2, told
            reply.close()
    finally:
        own.stop()
        if again:
            again.stop()
