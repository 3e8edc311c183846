"""The computed views read by the tools scientists use: tifffile reads the OME-TIFF as a T-stack
whose pages are the frames and whose DeltaT are the frame times; zarr reads the Zarr folder as the
frames. Files are written through movie_views_tool from an emulator-folder movie with irregular
times (frames dropped, a stamp repeated)."""

import pathlib
import shutil
import subprocess

import numpy
import pytest
import zarr

from sim_drive import (IRREGULAR_US, OME, VIEWS_TOOL, Vemsim, ome_tiff, run, synthetic_movie,
                       write_folder_movie)

W, H, NUMBER, NAME = 33, 17, 7, "bewegung_\u03b1\u03b2"
ENTRY = f"{NUMBER}-{NAME}"
MOVIE = synthetic_movie(NUMBER, W, H, len(IRREGULAR_US))
# vemsim's synthetic recording time of movie 7: 2024-02-14 09:30:00.25 UTC plus 7 hours.
RECORDED = "2024-02-14T16:30:00"


def elapsed(frames):
    return [(IRREGULAR_US[f] - IRREGULAR_US[0]) / 1e6 for f in frames]


def tool(*args):
    return run(VIEWS_TOOL, *args, timeout=120).stdout


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    """The irregular movie, and the same movie beside an info stream that is no info block."""
    good = tmp_path_factory.mktemp("good")
    write_folder_movie(good, ENTRY, W, H, IRREGULAR_US)
    broken = tmp_path_factory.mktemp("broken")
    shutil.copy(good / f"{ENTRY}.dat", broken / f"{ENTRY}.dat")
    (broken / f"{ENTRY}.info").write_bytes(b"ZVEMINFO" + bytes(20))
    return {"good": good, "broken": broken}


def write_ome(folder, out, *options):
    """Writes the view; returns what the tool says of it: size, bigtiff, times."""
    said = tool("ome-tiff", folder, ENTRY, W, H, out, *options)
    fields = dict(word.split("=", 1) for word in said.split(" ", 2))
    assert out.stat().st_size == int(fields["size"])
    return fields


@pytest.mark.parametrize("options, frames", [
    ([], range(10)),
    (["--bigtiff"], range(10)),
    (["--frames", "2,10,3"], [2, 5, 8]),
    (["--piece", "4097"], range(10)),          # the file read in pieces that cross every region
])
def test_ome_tiff_is_a_t_stack_of_the_frames_with_their_times(folders, tmp_path, options, frames):
    out = tmp_path / "m.ome.tif"
    said = write_ome(folders["good"], out, *options)
    frames = list(frames)
    read = ome_tiff(out)
    assert read.bigtiff == ("--bigtiff" in options) == (said["bigtiff"] == "1")
    assert numpy.array_equal(read.frames, MOVIE[frames]) and read.name == NAME
    pixels = read.ome.find(f"{OME}Image/{OME}Pixels")
    assert {k: pixels.get(k) for k in ("DimensionOrder", "Type", "SizeX", "SizeY", "SizeT")} == {
        "DimensionOrder": "XYZCT", "Type": "uint16", "SizeX": str(W), "SizeY": str(H),
        "SizeT": str(len(frames))}
    assert read.ome.find(f"{OME}Image/{OME}AcquisitionDate").text == RECORDED + "Z"
    assert read.delta_t == pytest.approx(elapsed(frames), abs=1e-9)
    assert {p.get("DeltaTUnit") for p in pixels.iter(f"{OME}Plane")} == {"s"}


def test_ome_tiff_without_times_keeps_its_size_and_leaves_out_delta_t(folders, tmp_path):
    timed = write_ome(folders["good"], tmp_path / "timed.ome.tif")
    untimed = write_ome(folders["good"], tmp_path / "untimed.ome.tif", "--no-times")
    broken = write_ome(folders["broken"], tmp_path / "broken.ome.tif")
    assert timed["times"].strip() == "known"
    assert "The info stream" in broken["times"]
    assert timed["size"] == untimed["size"] == broken["size"]
    for name in ("untimed", "broken"):
        read = ome_tiff(tmp_path / f"{name}.ome.tif")
        assert numpy.array_equal(read.frames, MOVIE) and read.delta_t == [None] * 10


def test_zarr_folder_is_the_frames_with_their_times(folders, tmp_path):
    for which in ("good", "broken"):
        out = tmp_path / f"{which}.zarr"
        tool("zarr", folders[which], ENTRY, W, H, out)
        array = zarr.open(str(out), mode="r")
        assert (array.shape, array.chunks, array.dtype) == ((10, H, W), (1, H, W), numpy.uint16)
        assert numpy.array_equal(array[:], MOVIE)
        consolidated = zarr.open_consolidated(str(out), mode="r")
        assert numpy.array_equal(consolidated[3:7:3], MOVIE[3:7:3])
        attrs = consolidated.attrs.asdict()
        assert attrs == array.attrs.asdict()
        assert attrs["recording_time"] == RECORDED + ".000000Z"
        assert attrs["properties"]["numFrames"] == 10
        assert (attrs["properties"]["width"], attrs["properties"]["height"]) == (W, H)
        if which == "good":
            assert attrs["frame_times"] == pytest.approx(elapsed(range(10)), abs=1e-9)
            assert attrs["frame_times_failure"] is None
        else:
            assert attrs["frame_times"] is None
            assert "The info stream" in attrs["frame_times_failure"]


IMAGEJ = pathlib.Path("/usr/share/java/ij.jar")


@pytest.mark.skipif(not IMAGEJ.exists() or not shutil.which("java"),
                    reason="Debian's imagej (and a JDK to run the check) is not installed")
def test_imagej_opens_the_classic_file_as_a_stack_of_the_frames(folders, tmp_path):
    """ImageJ's own TIFF reader, headless. (Its batch mode cannot open files without a display,
    and without Bio-Formats it reads no BigTIFF, so the classic file is what it is given.)"""
    out = tmp_path / "m.ome.tif"
    write_ome(folders["good"], out)
    result = subprocess.run(
        ["java", "-Djava.awt.headless=true", "-cp", str(IMAGEJ),
         str(pathlib.Path(__file__).with_name("ImageJCheck.java")), str(out)],
        capture_output=True, text=True, timeout=240)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"slices=10 width={W} height={H} bits=16"
    slices = numpy.array([[int(v) for v in line.split()] for line in lines[1:]])
    assert numpy.array_equal(slices.reshape(10, H, W), MOVIE)


def test_vem_cat_of_name_ome_tif_is_the_same_file_from_the_drive(folders, tmp_path):
    """The host path (catalog, info stream, shared reader) gives the bytes the folder gives."""
    with Vemsim(["--folder", folders["good"]]) as sim:
        served = tmp_path / "served.ome.tif"
        sim.vem("cat", f"vem:///{ENTRY}.ome.tif", "-o", served, "-q")
        write_ome(folders["good"], tmp_path / "direct.ome.tif")
        assert served.read_bytes() == (tmp_path / "direct.ome.tif").read_bytes()
        raw = sim.vem("cat", ENTRY, text=False).stdout
        assert len(raw) == 10 * W * H * 2 and served.read_bytes().endswith(raw)
        missing = sim.vem("cat", "9-none.ome.tif", "-o", tmp_path / "none.ome.tif", check=False)
        assert missing.returncode == 1 and "no such movie" in missing.stderr
        assert not (tmp_path / "none.ome.tif").exists()
