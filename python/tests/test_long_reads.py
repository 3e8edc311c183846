"""Reads of a whole large movie: Ctrl+C stops them between frames, and fsspec holds them once."""

import signal
import subprocess
import sys
import time

import pytest

from sim_drive import Vemsim

WIDTH, HEIGHT, FRAMES = 1024, 1024, 64  # 2 MiB frames, 128 MiB in all
MOVIE_BYTES = WIDTH * HEIGHT * 2 * FRAMES


@pytest.fixture(scope="module")
def big():
    with Vemsim(["--movie", f"{WIDTH}x{HEIGHT}x{FRAMES}:big"]) as server:
        yield server


INTERRUPTED_SCRIPT = """
import sys, fsspec, numpy, zelvem
movie = zelvem.Drive().open("/1-big")
fs = fsspec.filesystem("vem")
reads = {
    "asarray": lambda: numpy.asarray(movie),
    "slice": lambda: movie[::-1],
    "cat_file": lambda: fs.cat_file("/1-big"),
    "read": lambda: fs.open("/1-big").read(),
}
print("reading", flush=True)
try:
    reads[sys.argv[1]]()
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.parametrize("form", ["asarray", "slice", "cat_file", "read"])
def test_ctrl_c_stops_a_long_read_between_frames(big, form):
    # Each frame load is answered 300 ms late: the whole read would take about 19 s.
    big.ctl("clear")
    big.ctl("fault", "delay", "ord=6", f"count={FRAMES}", "ms=300")
    before = big.stats()["frames"]
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_SCRIPT, form], env=big.env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "reading\n", child.stderr.read()
        deadline = time.monotonic() + 30
        while big.stats()["frames"] < before + 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        child.send_signal(signal.SIGINT)
        interrupted = time.monotonic()
        out, err = child.communicate(timeout=30)
        took = time.monotonic() - interrupted
    finally:
        child.kill()
        big.ctl("clear")
    assert (out, child.returncode) == ("interrupted\n", 0), err
    # A frame already asked for still arrives (300 ms); the rest of the movie is not waited for.
    assert took < 5, f"KeyboardInterrupt came {took:.1f} s after Ctrl+C"
    assert big.stats()["frames"] - before < FRAMES / 2


PEAK_SCRIPT = """
import resource, fsspec, numpy
from sim_drive import synthetic

def grown():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - baseline

fs = fsspec.filesystem("vem")
fs.cat_file("/1-big", 0, 10)  # the library connected and its frame section mapped
baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
data = fs.cat_file("/1-big")
last = numpy.frombuffer(data, "<u2")[-{frame}:].reshape({height}, {width})
assert len(data) == {size} and (last == synthetic(1, {frames} - 1, {width}, {height})).all()
print(grown())
del data, last
with fs.open("/1-big") as f:
    f.seek(1)
    data = f.read()
assert len(data) == {size} - 1
print(grown())
"""


def test_whole_movie_reads_are_held_once(big):
    script = PEAK_SCRIPT.format(frame=WIDTH * HEIGHT, width=WIDTH, height=HEIGHT,
                                frames=FRAMES, size=MOVIE_BYTES)
    result = subprocess.run([sys.executable, "-c", script], env=big.env, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    # A second copy of the movie would take the peak past twice its size.
    for grown in map(int, result.stdout.split()):
        assert grown < 1.3 * MOVIE_BYTES, f"peak grew by {grown / MOVIE_BYTES:.2f} movies"
