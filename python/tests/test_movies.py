"""Movies as numpy frames and the drive's entries, against vemsim's synthetic movies."""

import datetime
import json
import subprocess
import threading

import numpy
import pytest

from conftest import MOVIES, VEM, synthetic, synthetic_movie


def path_of(number):
    return f"vem:///{number}-{MOVIES[number][3]}"


@pytest.mark.parametrize("number", sorted(MOVIES))
def test_every_pixel_through_every_kind_of_index(drive, number):
    width, height, frames, _ = MOVIES[number]
    expected = synthetic_movie(number, width, height, frames)
    with drive.open(path_of(number)) as movie:
        assert movie.shape == (frames, height, width) and len(movie) == frames
        assert movie.dtype == numpy.uint16
        for i, frame in enumerate(movie):
            numpy.testing.assert_array_equal(frame, expected[i])
        for key in [-1, -frames, slice(1, None, 2), slice(None, None, -3), slice(5, 2),
                    [frames - 1, 0, frames - 1], numpy.array([2, -2]), (1, slice(3, 9), 4),
                    (slice(0, 2), 5)]:
            numpy.testing.assert_array_equal(movie[key], expected[key], err_msg=repr(key))


@pytest.mark.parametrize("key, error", [
    (12, IndexError), (-13, IndexError), ([0, 12], IndexError), (1.5, TypeError),
    ("0", TypeError), ([[0]], TypeError), (numpy.ones(3, dtype=bool), IndexError),
])
def test_bad_indices(drive, key, error):
    with drive.open(path_of(1)) as movie, pytest.raises(error):
        movie[key]


def test_closed_movie_and_missing_paths(drive):
    movie = drive.open(path_of(1))
    movie.close()
    with pytest.raises(ValueError):
        movie[0]
    for call in (drive.open, drive.info, drive.remove):
        with pytest.raises(FileNotFoundError):
            call("vem:///99-none")


def test_entries_match_the_library_and_the_drive(drive):
    # vem prints the library's own entries: the package must not alter a single text.
    listed = json.loads(subprocess.run([VEM, "ls", "--json"], capture_output=True,
                                       text=True, check=True).stdout)
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
