"""Frame times and the computed views from Python: movie.times against the info blocks' stamps,
NAME.ome.tif through fsspec read by tifffile, NAME.zarr through fsspec read by zarr, to_dask
under dask.distributed worker processes."""

import json
import logging
import os
import pickle
import sys

import fsspec
import numpy
import pytest
import zarr

import zelvem
from conftest import FOLDER_MOVIES, MOVIES
from sim_drive import FRAME_US, VEM, ome_tiff, run, synthetic, synthetic_movie, wait_for

IRREGULAR = "0-irregular_\u03b1\u03b2"
START = {0: numpy.datetime64("2024-02-14T09:30:00.250", "ns"),  # vemsim: plus one hour a number
         1: numpy.datetime64("2024-02-14T10:30:00.250", "ns"),
         2: numpy.datetime64("2024-02-14T11:30:00.250", "ns")}


def layout(entry):
    """(number, width, height, frames, stamps in microseconds after the recording start)."""
    if entry in FOLDER_MOVIES:
        width, height, stamps = FOLDER_MOVIES[entry]
        return 0, width, height, len(stamps), stamps
    number = int(entry.split("-")[0])
    width, height, frames, _ = MOVIES[number]
    return number, width, height, frames, [f * FRAME_US for f in range(frames)]


def frames_of(entry):
    number, width, height, frames, _ = layout(entry)
    return synthetic_movie(number, width, height, frames)


def table(entry):
    """The stamps the movie's info block holds, as numpy datetime64[ns]."""
    number, _, _, _, stamps = layout(entry)
    return START[number] + numpy.array(stamps, dtype="timedelta64[us]").astype("timedelta64[ns]")


def add_movie(sim, drive, width, height, frames, name):
    """A synthetic movie added now: one whose times nobody has fetched yet."""
    entry = sim.add(width, height, frames, name)["entry"]
    assert wait_for(lambda: entry in [e.name for e in drive.list()]), f"{entry} was not listed"
    return entry


@pytest.mark.parametrize("entry, rate", [
    (IRREGULAR, 1e6 / 8333),  # dropped frames and a repeat leave the median interval
    ("2-odd", 1e6 / 8333),
    ("0-shadow.ome.tif", None),  # one frame: no interval
])
def test_times_are_the_info_blocks_stamps_on_every_surface(drive, fs, entry, rate):
    expected = table(entry)
    with drive.open(entry) as movie:
        times, elapsed = movie.times, movie.elapsed
        assert times.dtype == numpy.dtype("datetime64[ns]")
        numpy.testing.assert_array_equal(times, expected)
        assert elapsed.dtype == numpy.float64
        seconds = (expected - expected[0]) / numpy.timedelta64(1, "s")
        numpy.testing.assert_array_equal(elapsed, seconds)
        assert movie.frame_rate == pytest.approx(rate) if rate else movie.frame_rate is None
        times[0] = numpy.datetime64(0, "ns")  # a copy: the next read is untouched
        numpy.testing.assert_array_equal(movie.times, expected)
    info = fs.info(f"vem:///{entry}", times=True)
    numpy.testing.assert_array_equal(info["frame_times"], elapsed)
    assert info["frame_times_failure"] is None
    assert "frame_times" not in fs.info(f"vem:///{entry}")
    # The command line reads the same block through the same library.
    printed = json.loads(run(VEM, "times", entry, "--json").stdout)
    assert [row["time"] for row in printed] == [
        numpy.datetime_as_string(t, unit="us") + "Z" for t in expected]


def test_times_are_fetched_once_and_a_refused_stream_says_why(drive, fs, sim):
    entry = add_movie(sim, drive, 16, 8, 3, "untimed")
    with drive.open(entry) as movie:
        sim.ctl("fault", "error", "ord=9", "count=1000")
        try:
            with pytest.raises(zelvem.FrameTimesError, match=f"{entry}.*info stream could not"):
                movie.times
            with pytest.raises(zelvem.FrameTimesError):
                movie.frame_rate
            info = fs.info(f"/{entry}", times=True)
            assert info["frame_times"] is None
            assert "could not be read" in info["frame_times_failure"]
            # Everything else stays: the frames, the OME-TIFF (same size, no DeltaT), the Zarr
            # folder (frame_times null, and why).
            number = int(entry.split("-")[0])
            numpy.testing.assert_array_equal(movie[2], synthetic(number, 2, 16, 8))
            untimed = fs.cat_file(f"/{entry}.ome.tif")
            assert len(untimed) == fs.info(f"/{entry}.ome.tif")["size"]
            attrs = zarr.open(fs.get_mapper(f"/{entry}.zarr"), mode="r").attrs.asdict()
            assert attrs["frame_times"] is None
            assert "could not be read" in attrs["frame_times_failure"]
        finally:
            sim.ctl("clear")
        # A refusal is not kept: asked again, the times come.
        assert len(movie.times) == 3
        timed = fs.cat_file(f"/{entry}.ome.tif")
        assert len(timed) == len(untimed) and timed != untimed
        assert ome_tiff(untimed).delta_t == [None] * 3
        # Kept now: asked again, from any surface, the service is not asked (but to open).
        for _ in range(3):
            before = sim.stats()["requests"]
            movie.times, movie.elapsed, movie.frame_rate, fs.info(f"/{entry}", times=True)
            zarr.open(fs.get_mapper(f"/{entry}.zarr"), mode="r").attrs.asdict()
            assert sim.stats()["requests"] == before
            with fs.open(f"/{entry}.ome.tif") as f:
                opened = sim.stats()["requests"]
                f.read(4096)  # the metadata, with the DeltaT
                assert sim.stats()["requests"] == opened


@pytest.mark.parametrize("entry", [IRREGULAR, "2-odd", "0-shadow.ome.tif"])
def test_ome_tiff_through_fsspec_is_the_frames_with_their_times(fs, entry, tmp_path):
    path = f"vem:///{entry}.ome.tif"
    listed = {e["name"]: e for e in fs.ls("/")}
    info = fs.info(path)
    assert listed[f"/{entry}.ome.tif"] == info and info["type"] == "file"
    data = fs.cat_file(path)
    assert len(data) == info["size"]
    read = ome_tiff(data)
    numpy.testing.assert_array_equal(read.frames, frames_of(entry))
    assert read.delta_t == pytest.approx(numpy.array(layout(entry)[4]) / 1e6, abs=1e-9)
    assert read.name == entry.split("-", 1)[1]
    # Any range, and an open file read in pieces, give the same bytes.
    size = len(data)
    for start, end in [(0, 1), (190, 4200), (size - 5000, None), (-3, None), (5, 5)]:
        assert fs.cat_file(path, start, end) == data[start:end]
    with fs.open(path) as f:
        at, n = size // 3, size // 2 + 1  # across the metadata's end into the pixels
        f.seek(at)
        buffer = bytearray(n)
        assert f.readinto(buffer) == n and buffer == data[at:at + n]
        assert f.read() == data[at + n:]
    # The CLI's file of the same view, from the same library, is the same file.
    out = tmp_path / "cli.ome.tif"
    run(VEM, "cat", path, "-o", out, "-q")
    assert out.read_bytes() == data


def test_zarr_through_fsspec_is_the_frames_with_their_times(fs, sim):
    for entry in (IRREGULAR, "1-sim"):
        mapper = fsspec.get_mapper(f"vem:///{entry}.zarr")
        expected = frames_of(entry)
        for array in (zarr.open(mapper, mode="r"), zarr.open_consolidated(mapper, mode="r"),
                      zarr.open(mapper)):  # zarr's default mode ("a") reads it as well
            assert (array.shape, array.chunks, array.dtype) == (
                expected.shape, (1,) + expected.shape[1:], numpy.uint16)
            numpy.testing.assert_array_equal(array[:], expected)
            assert array.attrs["frame_times"] == pytest.approx(
                numpy.array(layout(entry)[4]) / 1e6, abs=1e-9)
        keys = fs.ls(f"/{entry}.zarr", detail=False)
        assert keys[:3] == [f"/{entry}.zarr/{k}" for k in (".zarray", ".zattrs", ".zmetadata")]
        assert keys[3:] == [f"/{entry}.zarr/{i}.0.0" for i in range(len(expected))]
        assert fs.info(f"/{entry}.zarr")["type"] == "directory"
    for missing in ("/1-sim.zarr/12.0.0", "/1-sim.zarr/01.0.0", "/1-sim.zarr/.zgroup",
                    "/99-none.zarr/.zarray", "/0-shadow.ome.tif.zarr/1.0.0"):
        assert not fs.exists(missing)
        with pytest.raises(FileNotFoundError):
            fs.cat_file(missing)
    # A frame the drive refuses is an error, never a chunk of zeros.
    sim.ctl("fault", "error", "ord=6")
    try:
        with pytest.raises(OSError, match="frame"):
            zarr.open(fsspec.get_mapper("vem:///2-odd.zarr"), mode="r")[:]
    finally:
        sim.ctl("clear")


@pytest.mark.parametrize("path, stripped", [
    ("vem:///1-sim.zarr/.zarray", "/1-sim.zarr/.zarray"),
    ("/1-sim.zarr/3.0.0", "/1-sim.zarr/3.0.0"),
    ("1-sim.zarr/", "/1-sim.zarr"),
    ("vem:///1-sim.ome.tif", "/1-sim.ome.tif"),
    ("vem://elsewhere/1-sim.zarr", ValueError),     # another machine's drive
    ("vem://1-sim.zarr/.zarray", ValueError),       # read so, the movie would be a host
    ("/1-sim.zarr/a/.zarray", ValueError),          # no folders inside the view
    ("/1-sim/.zarray", ValueError),
])
def test_view_paths_follow_the_path_grammar(fs, path, stripped):
    if stripped is ValueError:
        with pytest.raises(ValueError):
            fs._strip_protocol(path)
    else:
        assert fs._strip_protocol(path) == stripped


def test_a_movie_wins_over_a_view_of_its_name(fs):
    # 0-shadow.ome.tif is a movie of 4 x 2 pixels: its own bytes, not 0-shadow's OME-TIFF.
    names = fs.ls("/", detail=False)
    assert names.count("/0-shadow.ome.tif") == 1
    assert fs.info("/0-shadow.ome.tif")["size"] == 4 * 2 * 2
    assert fs.cat_file("/0-shadow.ome.tif") == frames_of("0-shadow.ome.tif").astype("<u2").tobytes()
    # Views show beside every movie with frames, and none for a view.
    assert {"/1-sim.ome.tif", "/1-sim.zarr", "/0-shadow.ome.tif.zarr"} <= set(names)
    assert not {"/1-sim.ome.tif.zarr", "/1-sim.zarr.ome.tif"} & set(names)
    with pytest.raises(PermissionError, match="remove the movie"):
        fs.rm("/1-sim.ome.tif")


def test_to_dask_reads_one_chunk_per_frame_and_pickles_by_path(drive):
    with drive.open("2-odd") as movie:
        array = movie.to_dask()
    expected = frames_of("2-odd")
    assert array.chunks == ((1,) * 9, (17,), (33,)) and array.dtype == numpy.uint16
    numpy.testing.assert_array_equal(array.compute(scheduler="threads"), expected)
    numpy.testing.assert_array_equal(array[3:7, 2].compute(), expected[3:7, 2])
    # The graph holds the path: its pickle has no frame in it, and reads anew where it lands.
    data = pickle.dumps(array)
    assert "2-odd".encode() in data and not [f for f in expected if f.tobytes()[:64] in data]
    numpy.testing.assert_array_equal(pickle.loads(data)[::4].compute(), expected[::4])


def test_to_dask_under_worker_processes_equals_numpy(drive):
    distributed = pytest.importorskip("distributed")
    with drive.open(IRREGULAR) as movie:
        array = movie.to_dask()
    # Generous bounds: two Python processes start on a loaded machine.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.ERROR,
                                  death_timeout=120) as cluster, \
            distributed.Client(cluster, timeout=120) as client:
        client.wait_for_workers(2, timeout=120)
        worker_pids = set(client.run(os.getpid).values())
        assert len(worker_pids) == 2 and os.getpid() not in worker_pids
        mean = client.compute(array.mean()).result(timeout=120)
        # The workers opened the movie themselves: the package was imported there to read it.
        opened = client.run(lambda: "zelvem._zelvem" in sys.modules)
        assert any(opened.values())
    assert mean == pytest.approx(frames_of(IRREGULAR).mean(), rel=1e-12)
