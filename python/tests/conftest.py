"""Fixtures: one vemsim for the session on a private pipe folder (synthetic movies and an
emulator folder of movies with chosen frame times), and vemsim's synthetic pixels."""

import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy
import pytest

BUILD_BIN = pathlib.Path(__file__).resolve().parents[2] / "build" / "linux" / "bin"
VEMSIM = os.environ.get("ZELVEM_VEMSIM") or str(BUILD_BIN / "vemsim")
VEM = str(pathlib.Path(VEMSIM).with_name("vem"))
VIEWS_TOOL = os.environ.get("ZELVEM_VIEWS_TOOL") or str(BUILD_BIN / "movie_views_tool")

# The drive the session's vemsim serves: number -> (width, height, frames, name). Odd sides
# make frame boundaries fall on odd byte offsets.
MOVIES = {1: (64, 48, 12, "sim"), 2: (33, 17, 9, "odd"), 3: (640, 480, 4, "wide")}
ARGS = ["--movie", "64x48x12", "--movie", "33x17x9:odd", "--movie", "640x480x4:wide"]
# The emulator folder served beside them: entry -> (width, height, frame stamps in microseconds
# after the recording start). Numbered 0, so that the synthetic movies keep their numbers; the
# pixels are those of synthetic movie 0. "irregular" lost two runs of frames and repeats a
# stamp (frame 4 has frame 3's); "0-shadow.ome.tif" is a movie named as 0-shadow's view.
IRREGULAR_US = [0, 8333, 16666, 41665, 41665, 49998, 58331, 83330, 91663, 99996]
FOLDER_MOVIES = {"0-irregular_\u03b1\u03b2": (33, 17, IRREGULAR_US), "0-shadow": (8, 4, [0, 8333]),
                 "0-shadow.ome.tif": (4, 2, [0])}


def synthetic(number, frame, width, height):
    """vemsim's documented pixel function for frame `frame` of synthetic movie `number`."""
    x = numpy.arange(width, dtype=numpy.int64)[None, :]
    y = numpy.arange(height, dtype=numpy.int64)[:, None]
    side = max(1, min(width, height) // 8)
    inside = (((x - (3 * frame % width)) % width < side)
              & ((y - (2 * frame % height)) % height < side))
    high = numpy.where(inside, 255, (x + y + 4 * frame + 16 * number) % 256)
    low = (7 * x + 13 * y + 5 * frame + 31 * number) % 251
    return (high * 256 + low).astype(numpy.uint16)


def synthetic_movie(number, width, height, frames):
    return numpy.stack([synthetic(number, f, width, height) for f in range(frames)])


class Vemsim:
    """A vemsim on the pipe folder root/pipe; a second one on the same root (another `run`)
    takes over the first one's pipes once that has stopped, as a restarted service would."""

    def __init__(self, root, args, run="vemsim"):
        self.env = dict(os.environ, ZELVEM_PIPE_DIR=str(root / "pipe"),
                        XDG_DATA_HOME=str(root / "data"))
        self.env.pop("ZELVEM_ENABLE_EMULATOR", None)
        (root / "pipe").mkdir(exist_ok=True)
        (root / "data").mkdir(exist_ok=True)
        self.log = root / f"{run}.log"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen([VEMSIM, *args], stderr=log, env=self.env)
        deadline = time.monotonic() + 20
        while b"vemsim: serving" not in self.log.read_bytes():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("vemsim did not start:\n" + self.log.read_text())
            time.sleep(0.02)

    def ctl(self, *words):
        result = subprocess.run([VEMSIM, "ctl", *map(str, words)], env=self.env,
                                capture_output=True, text=True, timeout=20)
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout.strip()

    def stats(self):
        return dict(word.split("=") for word in self.ctl("stats").split()[1:])

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=20)


@pytest.fixture(scope="session")
def sim():
    """The session's vemsim. The library reads its environment once per process, so the pipe
    and data folders are set before any test first uses it, and stay for the whole session."""
    with tempfile.TemporaryDirectory(prefix="zelvem-py-") as root:
        folder = pathlib.Path(root) / "folder"
        for entry, (width, height, stamps) in FOLDER_MOVIES.items():
            subprocess.run([VIEWS_TOOL, "folder", folder, entry, str(width), str(height),
                            ",".join(map(str, stamps))], check=True, timeout=60)
        server = Vemsim(pathlib.Path(root), ARGS + ["--folder", str(folder)])
        os.environ.update(ZELVEM_PIPE_DIR=server.env["ZELVEM_PIPE_DIR"],
                          XDG_DATA_HOME=server.env["XDG_DATA_HOME"])
        os.environ.pop("ZELVEM_ENABLE_EMULATOR", None)
        try:
            yield server
        finally:
            server.stop()


@pytest.fixture(scope="session")
def drive(sim):
    import zelvem

    return zelvem.Drive()


def run_python(code, env):
    """Runs code in a fresh interpreter: for what needs a library in another mode or drive."""
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60)
