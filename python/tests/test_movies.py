"""Movies as numpy frames and the drive's entries, against vemsim's synthetic movies."""

import datetime
import json
import subprocess
import sys
import threading

import numpy
import pytest

from conftest import MOVIES
from sim_drive import VEM, Vemsim, run, synthetic, synthetic_movie


def path_of(number):
    return f"vem:///{number}-{MOVIES[number][3]}"


def numpy_keys(frames, height, width):
    """Keys numpy takes on a (frames, height, width) array, one a line."""
    pixels = numpy.arange(frames * height * width).reshape(frames, height, width)
    return [
        -1, -frames, slice(1, None, 2), slice(None, None, -3), slice(5, 2),
        [frames - 1, 0, frames - 1], numpy.array([2, -2]), (1, slice(3, 9), 4), (slice(0, 2), 5),
        Ellipsis, (Ellipsis, 0), (0, Ellipsis), (Ellipsis, 3, slice(None, None, -2)),
        (slice(None, None, -1), Ellipsis, 1), slice(-2, None, -4), slice(100, -100, -1),
        numpy.int64(3), numpy.uint8(2), numpy.array(-1), numpy.array([1, 2], dtype=numpy.uint64),
        numpy.arange(frames) % 3 == 0, [True, False] * (frames // 2) + [True] * (frames % 2),
        pixels % 7 == 0,                                # a mask over every pixel
        (pixels % 5 == 0)[:, :, 0],                     # a mask over frames and rows
        numpy.array([[3, 1], [1, 0]]),                  # an index array of two dimensions
        ([3, 1], slice(None), [0, 1]),                  # array indices apart: numpy's order
        ([3, 1], [2, 0]), (None, 2), (2, None, 1), (), [], (slice(None), 2, slice(1, 5)),
        (numpy.arange(frames) > 5, 0), (True, 1), (False,), (-1, -1, -1),
    ]


@pytest.mark.parametrize("number", sorted(MOVIES))
def test_every_pixel_through_every_kind_of_index(drive, number):
    width, height, frames, _ = MOVIES[number]
    expected = synthetic_movie(number, width, height, frames)
    with drive.open(path_of(number)) as movie:
        assert movie.shape == (frames, height, width) and len(movie) == frames
        assert movie.dtype == numpy.uint16
        for i, frame in enumerate(movie):
            numpy.testing.assert_array_equal(frame, expected[i])
        for key in numpy_keys(frames, height, width):
            got = movie[key]
            assert got.shape == expected[key].shape, repr(key)
            numpy.testing.assert_array_equal(got, expected[key], err_msg=repr(key))
        numpy.testing.assert_array_equal(numpy.asarray(movie, dtype=numpy.int32), expected)


@pytest.mark.parametrize("key, error", [
    (12, IndexError), (-13, IndexError), ([0, 12], IndexError), (1.5, TypeError),
    ("0", TypeError), ([[0, 99]], IndexError), (numpy.ones(3, dtype=bool), IndexError),
    (numpy.array([2**64 - 1], dtype=numpy.uint64), IndexError),  # must not wrap to -1
    (numpy.uint64(2**64 - 1), IndexError), (numpy.array([12], dtype=numpy.uint8), IndexError),
    ((Ellipsis, 0, Ellipsis), IndexError), ((0, 0, 0, 0), IndexError),
    (numpy.ones((12, 2), dtype=bool), IndexError), ([0.0], TypeError), (slice(None), None),
])
def test_bad_indices_read_nothing(drive, sim, key, error):
    with drive.open(path_of(1)) as movie:
        before = sim.stats()["frames"]
        if error is None:  # the control: the same movie read through a key that is fine
            movie[key]
            assert sim.stats()["frames"] != before
            return
        with pytest.raises(error):
            movie[key]
        assert sim.stats()["frames"] == before


def test_a_closed_movie_reads_nothing(drive):
    movie = drive.open(path_of(1))
    movie.close()
    with pytest.raises(ValueError):
        movie[0]


def test_entries_match_the_library_and_the_drive(drive):
    # vem prints the library's own entries: the package must not alter a single text.
    listed = json.loads(run(VEM, "ls", "--json").stdout)
    tool = {e["name"]: (e["size"], e["time"], e["properties"]) for e in listed}
    entries = {e.name: e for e in drive.list() if e.name in tool}
    for number, (width, height, frames, name) in MOVIES.items():
        entry = entries[f"{number}-{name}"]
        assert drive.info(entry.path) == entry
        size, when, props = tool[entry.name]
        assert (entry.size, entry.time.strftime("%Y-%m-%dT%H:%M:%SZ"), entry.properties) == \
            (size, when, props)
        assert (entry.width, entry.height, entry.num_frames, entry.size) == \
            (width, height, frames, width * height * frames * 2)
        assert entry.time == datetime.datetime(2024, 2, 14, 9 + number, 30,
                                               tzinfo=datetime.timezone.utc)
        assert entry.duration == (frames - 1) * 8333 and entry.start_time == props["startTime"]
    assert [e.name for e in drive.list("od*")] == ["2-odd"]
    with drive.open(path_of(2)) as movie:
        assert len(movie.info_block) > 0


def test_refused_frame_raises_instead_of_zeros(drive, sim):
    with drive.open(path_of(1)) as movie:
        movie[0]
        sim.ctl("fault", "error", "ord=6")
        with pytest.raises(OSError, match=r"1-sim.*frame 7"):
            movie[7]
        numpy.testing.assert_array_equal(movie[7], synthetic(1, 7, 64, 48))


def test_two_threads_on_one_movie_get_their_own_frames(drive):
    width, height, frames, _ = MOVIES[1]
    expected = synthetic_movie(1, width, height, frames)
    failures = []

    def reader(order):
        with drive.open(path_of(1)) as movie:
            for _ in range(15):
                for i in order:
                    if not numpy.array_equal(movie[i], expected[i]):
                        failures.append(i)

    threads = [threading.Thread(target=reader, args=(order,))
               for order in (range(frames), range(frames - 1, -1, -1))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_to_tiff(drive, tmp_path):
    tifffile = pytest.importorskip("tifffile")
    with drive.open(path_of(2)) as movie:
        movie.to_tiff(tmp_path / "a.tif", frames=[3, 0])
        movie.to_tiff(tmp_path / "b.tif")
    numpy.testing.assert_array_equal(tifffile.imread(tmp_path / "a.tif"),
                                     synthetic_movie(2, 33, 17, 9)[[3, 0]])
    assert tifffile.imread(tmp_path / "b.tif").shape == (9, 17, 33)


def test_conflicting_mode_is_refused(drive):
    import zelvem

    with pytest.raises(RuntimeError, match="mode"):
        zelvem.Drive(emulator=True)
    assert zelvem.Drive(emulator=False).emulator is False


def test_readers_of_one_movie_keep_their_own_frames_and_outlive_each_other(drive, fs):
    width, height, frames, _ = MOVIES[1]
    expected = synthetic_movie(1, width, height, frames)
    data = expected.astype("<u2").tobytes()
    frame = width * height * 2
    a, b = fs.open(path_of(1)), drive.open(path_of(1))
    # A reads half of frame 3, B reads frame 7, A reads on: the rest of frame 3 is frame 3's.
    for first, other in [(3, 7), (7, 3), (0, 11), (5, 5)]:
        a.seek(first * frame)
        half = a.read(frame // 2 + 1)
        numpy.testing.assert_array_equal(b[other], expected[other])
        assert half + a.read(frame - len(half)) == data[first * frame:(first + 1) * frame]
    a.close()
    numpy.testing.assert_array_equal(b[::-1], expected[::-1])
    c = drive.open("1-sim")
    b.close()
    numpy.testing.assert_array_equal(c[[2, 9]], expected[[2, 9]])
    c.close()


RESTART_SCRIPT = """
import sys, time, numpy, zelvem
from sim_drive import synthetic
drive = zelvem.Drive()
old = drive.open("/1-sim")
assert old.shape == (12, 48, 64) and (old[3] == synthetic(1, 3, 64, 48)).all()
print("opened", flush=True)
sys.stdin.readline()  # the service restarts, with a movie of that name and another shape
deadline = time.monotonic() + 30
while time.monotonic() < deadline:
    try:
        if drive.info("/1-sim").height == 64:
            break
    except (ConnectionError, FileNotFoundError):
        pass
    time.sleep(0.1)
new = drive.open("/1-sim")
assert new.shape == (12, 64, 48), new.shape
assert all((new[i] == synthetic(1, i, 48, 64)).all() for i in (0, 3, 11))
try:
    old[4]
    print("the old movie still read")
except OSError:
    print("the old movie failed")
old.close()
assert (new[5] == synthetic(1, 5, 48, 64)).all()
new.close()
print("ok")
"""


def test_after_a_service_restart_new_opens_read_the_new_service(tmp_path):
    first = Vemsim(["--movie", "64x48x12"], root=tmp_path, log_name="first")
    env = dict(first.env, ZELVEM_RECONNECT="1")
    child = subprocess.Popen([sys.executable, "-c", RESTART_SCRIPT],
                             env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    second = None
    try:
        assert child.stdout.readline() == "opened\n", child.stderr.read()
        first.stop()
        second = Vemsim(["--movie", "48x64x12"], root=tmp_path, log_name="second")
        out, err = child.communicate("\n", timeout=90)
    finally:
        child.kill()
        first.stop()
        if second:
            second.stop()
    assert (child.returncode, out) == (0, "the old movie failed\nok\n"), err
