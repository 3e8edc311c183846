"""The mount's views read by the tools scientists use: tifffile reads NAME.ome.tif as a T-stack
of the frames with their times, zarr opens NAME.zarr as the frames; both sized exactly at stat."""
import errno
import json
import os
import tempfile

import numpy
import pytest
import zarr

from sim_drive import (FRAME_US, IRREGULAR_US, Vemsim, ome_tiff, run, synthetic_movie, wait_for,
                       write_folder_movie)
from test_mount import MOVIES, NAMES, drive, mounted, ref, with_views  # noqa: F401


def shape_of(movie):
    """(frames, height, width) of a vemsim `--movie WxHxN[:name]` argument."""
    width, height, frames = movie.split(":")[0].split("x")
    return int(frames), int(height), int(width)


SHAPES = {name: shape_of(movie) for name, movie in zip(NAMES, MOVIES[1::2])}


def read_whole(path):
    with open(path, "rb") as f:
        return f.read()


def check_ome(path, number, frames, height, width, delta_t, name):
    """tifffile's reading of an OME-TIFF through the mount: frames, name, times (None: none);
    returns its bytes."""
    whole = read_whole(path)
    assert os.stat(path).st_size == len(whole)
    read = ome_tiff(path)
    assert numpy.array_equal(read.frames, synthetic_movie(number, width, height, frames))
    assert read.name == name
    assert read.delta_t == ([None] * frames if delta_t is None
                            else pytest.approx(delta_t, abs=1e-9))
    return whole


def test_every_movie_has_its_views_read_through_the_mount(drive, ref):
    env = drive.env
    frames_loaded = lambda: drive.stats()["frames"]
    with mounted(drive) as point:
        assert sorted(os.listdir(point)) == with_views(NAMES)
        # ls -l sizes every view without reading a frame.
        before = frames_loaded()
        listing = run("ls", "-l", point, env=env).stdout.splitlines()[1:]
        assert len(listing) == 3 * len(NAMES)
        assert frames_loaded() == before

        for i, name in enumerate(NAMES):
            frames, height, width = SHAPES[name]
            number = i + 1
            raw = read_whole(os.path.join(ref, name + ".dat"))
            whole = check_ome(os.path.join(point, name + ".ome.tif"), number, frames, height,
                              width, [f * FRAME_US / 1e6 for f in range(frames)],
                              name.split("-", 1)[1])
            assert whole.endswith(raw)  # the pixel data is the movie's own bytes

            folder = os.path.join(point, name + ".zarr")
            assert sorted(os.listdir(folder)) == sorted(
                [".zarray", ".zattrs", ".zmetadata"] + [f"{f}.0.0" for f in range(frames)])
            array = zarr.open(folder, mode="r")
            assert (array.shape, array.chunks) == ((frames, height, width), (1, height, width))
            assert array[:].tobytes() == raw
            consolidated = zarr.open_consolidated(folder, mode="r")
            assert consolidated.attrs["frame_times"] == pytest.approx(
                [f * FRAME_US / 1e6 for f in range(frames)], abs=1e-9)
            assert os.path.getsize(os.path.join(folder, "1.0.0")) == width * height * 2

            if name == "3-big":
                # A sequential read of the view loads each frame once, as the raw movie's does:
                # the same block cache (cmp reads as the raw movie's check does).
                expected = os.path.join(drive.root, "3-big.ome.tif")
                with open(expected, "wb") as f:
                    f.write(whole)
                before = frames_loaded()
                run("cmp", os.path.join(point, "3-big.ome.tif"), expected, env=env)
                assert frames_loaded() - before == frames

        refused = [  # command, errno
            (lambda: os.unlink(os.path.join(point, "1-odd.ome.tif")), errno.EPERM),
            (lambda: os.rmdir(os.path.join(point, "1-odd.zarr")), errno.EROFS),
            (lambda: os.unlink(os.path.join(point, "1-odd.zarr", "0.0.0")), errno.EROFS),
            (lambda: open(os.path.join(point, "1-odd.zarr", "90.0.0"), "rb"), errno.ENOENT),
            (lambda: open(os.path.join(point, "1-odd.zarr", "01.0.0"), "rb"), errno.ENOENT),
            (lambda: open(os.path.join(point, "1-odd.ome.tif", "x"), "rb"), errno.ENOTDIR),
        ]
        for action, code in refused:
            with pytest.raises(OSError) as error:
                action()
            assert error.value.errno == code

    with mounted(drive, "--no-views") as point:
        assert sorted(os.listdir(point)) == NAMES
        assert not os.path.exists(os.path.join(point, "1-odd.ome.tif"))


def test_irregular_and_missing_times_through_the_mount(drive):
    """An emulator folder whose info block drops frames and repeats a stamp, served by vemsim:
    DeltaT and frame_times are the stamps. With the info stream refused by the service the movie
    reads as ever, its views keep their sizes, and the times are absent with the reason."""
    width, height, number, name = 33, 17, 7, "zeit_\u03b1\u03b2"
    entry = f"{number}-{name}"
    root = tempfile.mkdtemp(dir=drive.root)
    folder = os.path.join(root, "movies")
    write_folder_movie(folder, entry, width, height, IRREGULAR_US)
    raw = read_whole(os.path.join(folder, f"{entry}.dat"))
    sizes = []
    with Vemsim(["--folder", folder], root=root) as sim:
        for refused in (False, True):
            if refused:  # every GetFileData, the info stream's request, fails
                sim.ctl("fault", "error", "ord=9", "count=1000000")
            # A fresh mount each time: a mount keeps a movie's times while it is unchanged.
            with mounted(sim) as point:
                # The drive's first listing may come after the mount's.
                assert wait_for(lambda: sorted(os.listdir(point)) == with_views([entry]), 10)
                delta_t = None if refused else [t / 1e6 for t in IRREGULAR_US]
                whole = check_ome(os.path.join(point, entry + ".ome.tif"), number, 10, height,
                                  width, delta_t, name)
                sizes.append(len(whole))
                assert whole.endswith(raw)
                assert read_whole(os.path.join(point, entry)) == raw
                attrs = zarr.open(os.path.join(point, entry + ".zarr"), mode="r").attrs
                assert attrs["frame_times"] == (None if refused else pytest.approx(delta_t,
                                                                                    abs=1e-9))
                info = json.loads(sim.vem("info", entry, "--json").stdout)
                if refused:
                    assert "could not be read" in attrs["frame_times_failure"]
                    assert info["frame_rate"] is None
                    assert "could not be read" in info["frame_times_failure"]
                else:
                    # The median interval, with a repeated stamp and two gaps among them.
                    assert info["frame_rate"] == pytest.approx(1e6 / 8333)
                    assert info["frame_times_failure"] is None
    assert sizes[0] == sizes[1]
