"""Fixtures: one vemsim for the session (synthetic movies and an emulator folder of movies with
chosen frame times) whose folders the library in this process uses."""

import os
import subprocess
import sys

import pytest

from sim_drive import IRREGULAR_US, Vemsim, write_folder_movie

# The drive the session's vemsim serves: number -> (width, height, frames, name). Odd sides
# make frame boundaries fall on odd byte offsets.
MOVIES = {1: (64, 48, 12, "sim"), 2: (33, 17, 9, "odd"), 3: (640, 480, 4, "wide")}
ARGS = ["--movie", "64x48x12", "--movie", "33x17x9:odd", "--movie", "640x480x4:wide"]
# The emulator folder served beside them: entry -> (width, height, frame stamps in microseconds
# after the recording start). Numbered 0, so that the synthetic movies keep their numbers; the
# pixels are those of synthetic movie 0. "0-shadow.ome.tif" is a movie named as 0-shadow's view.
FOLDER_MOVIES = {"0-irregular_\u03b1\u03b2": (33, 17, IRREGULAR_US), "0-shadow": (8, 4, [0, 8333]),
                 "0-shadow.ome.tif": (4, 2, [0])}


@pytest.fixture(scope="session")
def sim(tmp_path_factory):
    """The session's vemsim. The library reads its environment once per process, so the pipe
    and data folders are set before any test first uses it, and stay for the whole session."""
    folder = tmp_path_factory.mktemp("folder")
    for entry, (width, height, stamps) in FOLDER_MOVIES.items():
        write_folder_movie(folder, entry, width, height, stamps)
    with Vemsim(ARGS + ["--folder", folder]) as server:
        os.environ.update(ZELVEM_PIPE_DIR=server.env["ZELVEM_PIPE_DIR"],
                          XDG_DATA_HOME=server.env["XDG_DATA_HOME"])
        os.environ.pop("ZELVEM_ENABLE_EMULATOR", None)
        yield server


@pytest.fixture(scope="session")
def drive(sim):
    import zelvem

    return zelvem.Drive()


@pytest.fixture(scope="session")
def fs(drive):
    """The package's fsspec file system on the session's drive."""
    import fsspec

    return fsspec.filesystem("vem")


def run_python(code, env):
    """Runs code in a fresh interpreter: for what needs a library in another mode or drive."""
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60)
