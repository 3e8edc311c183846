"""For the Python-driven tests: a vemsim of a test's own in private folders, vem run beside it,
the pixels of vemsim's synthetic movies, and an OME-TIFF view as tifffile reads it. Imported
through PYTHONPATH (each suite's ctest entry sets it; by hand: PYTHONPATH=tests/support)."""

import io
import os
import pathlib
import struct
import subprocess
import tempfile
import time
import zlib
from types import SimpleNamespace
from xml.etree import ElementTree

import numpy

BUILD_BIN = pathlib.Path(__file__).resolve().parents[2] / "build" / "linux" / "bin"
# ctest names the programs; by hand, the Linux build's are taken.
VEMSIM = os.environ.get("VEMSIM") or str(BUILD_BIN / "vemsim")
VEM = os.environ.get("VEM") or str(pathlib.Path(VEMSIM).with_name("vem"))
VIEWS_TOOL = os.environ.get("VIEWS_TOOL") or str(pathlib.Path(VEMSIM).with_name(
    "movie_views_tool"))
# An emulator-folder movie's stamps in microseconds after the recording start: two runs of two
# dropped frames, and frame 4 repeats frame 3's stamp.
IRREGULAR_US = [0, 8333, 16666, 41665, 41665, 49998, 58331, 83330, 91663, 99996]
FRAME_US = 8333  # vemsim stamps synthetic frame f at the recording time plus f x 8333 us
OME = "{http://www.openmicroscopy.org/Schemas/OME/2016-06}"


def synthetic(number, frame, width, height):
    """vemsim's documented pixel function (docs/vemsim.md, "Synthetic movies"): frame `frame`
    of movie `number` as a height x width uint16 array."""
    x = numpy.arange(width, dtype=numpy.int64)[None, :]
    y = numpy.arange(height, dtype=numpy.int64)[:, None]
    side = max(1, min(width, height) // 8)
    inside = (((x - (3 * frame % width)) % width < side)
              & ((y - (2 * frame % height)) % height < side))
    high = numpy.where(inside, 255, (x + y + 4 * frame + 16 * number) % 256)
    low = (7 * x + 13 * y + 5 * frame + 31 * number) % 251
    return (high * 256 + low).astype(numpy.uint16)


def png_pixels(data):
    """Decodes the grey PNGs `vem serve` writes (8 or 16 bits, filter 0) with zlib only."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        chunk = data[at + 8:at + 8 + length]
        assert zlib.crc32(kind + chunk) == struct.unpack(">I", data[at + 8 + length:][:4])[0]
        if kind == b"IHDR":
            width, height, depth, color = struct.unpack(">IIBB", chunk[:10])
        elif kind == b"IDAT":
            idat += chunk
        at += 12 + length
    assert color == 0
    raw = numpy.frombuffer(zlib.decompress(idat), dtype=numpy.uint8).reshape(height, -1)
    assert (raw[:, 0] == 0).all()
    rows = raw[:, 1:]
    if depth == 16:
        return rows.copy().view(">u2").astype(numpy.uint16).reshape(height, width)
    return rows.astype(numpy.uint16).reshape(height, width)


def synthetic_movie(number, width, height, frames):
    """The frames of movie `number` stacked: `frames` is their count or the frame numbers."""
    numbers = range(frames) if isinstance(frames, int) else frames
    return numpy.stack([synthetic(number, f, width, height) for f in numbers])


def ome_tiff(source):
    """An OME-TIFF (a path or its bytes) as tifffile reads it, checked to be one uint16 T-stack
    whose planes come in T order: frames (T, H, W), delta_t (each plane's DeltaT: a float, or
    None), name, bigtiff, and ome (the root of its OME XML)."""
    import tifffile

    with tifffile.TiffFile(io.BytesIO(source) if isinstance(source, bytes) else source) as tif:
        series, pages = tif.series[0], len(tif.pages)
        # (tifffile leaves out an axis of length 1: a one-frame stack is "YX")
        assert tif.is_ome and (series.kind, series.axes) == ("ome", "TYX" if pages > 1 else "YX")
        assert series.dtype == numpy.uint16
        read = SimpleNamespace(frames=series.asarray().reshape(pages, *series.shape[-2:]),
                               name=series.name, bigtiff=tif.is_bigtiff,
                               ome=ElementTree.fromstring(tif.ome_metadata))
    planes = read.ome.find(f"{OME}Image/{OME}Pixels").findall(f"{OME}Plane")
    assert [int(p.get("TheT")) for p in planes] == list(range(pages))
    read.delta_t = [None if p.get("DeltaT") is None else float(p.get("DeltaT")) for p in planes]
    return read


def wait_for(condition, seconds=10, step=0.02):
    """Polls `condition` until it gives a true value (returned) or `seconds` pass."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def run(*args, env=None, check=True, timeout=60, text=True):
    """Runs a program to its end; with `check`, one that fails fails the test with its output."""
    result = subprocess.run([str(a) for a in args], env=env, capture_output=True,
                            timeout=timeout, text=text)
    assert not check or result.returncode == 0, (args, result.stdout, result.stderr)
    return result


def write_folder_movie(folder, entry, width, height, stamps_us):
    """An emulator-folder movie ENTRY.dat/.info with synthetic movie 0's pixels and these
    frame stamps, written by movie_views_tool."""
    run(VIEWS_TOOL, "folder", folder, entry, width, height, ",".join(map(str, stamps_us)))


class Vemsim:
    """vemsim serving `args` with its pipes in root/pipe and its data in root/data (a private
    temporary root unless given), started once it says "vemsim: serving". `env` is that
    environment, for every client. A second one on the same root (another `log_name`) takes over
    the first one's pipes once that has stopped, as a restarted service would. A context
    manager; stop() may be called any number of times."""

    def __init__(self, args, root=None, log_name="vemsim", vemsim=None, vem=None):
        self.vemsim, self.vem_program = vemsim or VEMSIM, vem or VEM
        self._own_root = None if root else tempfile.TemporaryDirectory(prefix="zelvem-sim-")
        self.root = pathlib.Path(root or self._own_root.name)
        self.env = dict(os.environ, ZELVEM_PIPE_DIR=str(self.root / "pipe"),
                        XDG_DATA_HOME=str(self.root / "data"))
        for setting in ("ZELVEM_ENABLE_EMULATOR", "ZELVEM_SERVE_TOKEN"):
            self.env.pop(setting, None)
        (self.root / "pipe").mkdir(mode=0o700, exist_ok=True)
        (self.root / "data").mkdir(exist_ok=True)
        self.log = self.root / f"{log_name}.log"
        with open(self.log, "wb") as log:  # a file: a pipe nobody reads would stall vemsim
            self.process = subprocess.Popen([self.vemsim, *map(str, args)], stderr=log,
                                            env=self.env)
        if not wait_for(lambda: self.process.poll() is not None
                        or b"vemsim: serving" in self.log.read_bytes(), 30) \
                or self.process.poll() is not None:
            said = self.log.read_text()
            self.stop()
            raise RuntimeError("vemsim did not start:\n" + said)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    def ctl(self, *words):
        """vemsim's answer to a control command, which must succeed."""
        return run(self.vemsim, "ctl", *words, env=self.env, timeout=20).stdout.strip()

    def stats(self):
        """The counters as numbers: frames loaded, requests, faults left..."""
        return {k: int(v) for k, v in (w.split("=") for w in self.ctl("stats").split()[1:])}

    def add(self, width, height, frames, name):
        """Adds a synthetic movie; vemsim's answer as a dict: index, number, entry."""
        head, entry = self.ctl("add", width, height, frames, name).split(" entry=", 1)
        return dict((w.split("=") for w in head.split()[1:]), entry=entry)

    def vem(self, *args, check=True, text=True, timeout=60):
        """`vem ARGS` as a client of this vemsim."""
        return run(self.vem_program, *args, env=self.env, check=check, text=text, timeout=timeout)

    def stop(self):
        """Stops vemsim (SIGTERM, a clean stop) and removes a private root."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self._own_root:
            self._own_root.cleanup()
            self._own_root = None
