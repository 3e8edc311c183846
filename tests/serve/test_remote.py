# zelvem.Drive(url=...) and fsspec's "vem" with url=: the Python API over `vem serve`, checked
# against the server's JSON, vemsim's pixel formula and the local library.
import json
import os
import pathlib
import pickle
import subprocess
import sys
import tempfile

import numpy
import pytest

from conftest import SHAPES, TOKEN, Sim
from sim_drive import BUILD_BIN, Vemsim, synthetic, synthetic_movie, wait_for

# By hand (no ctest), the Linux build's package.
if not any(pathlib.Path(p, "zelvem").is_dir() for p in sys.path if p):
    sys.path.insert(0, str(BUILD_BIN.parent / "python"))
import zelvem  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def drive(served):
    base, _, _ = served
    return zelvem.Drive(url=base, token=TOKEN)


def test_list_and_info_are_the_servers(served, drive):
    base, s, _ = served
    listed = s.get(base + "api/v1/movies").json()
    entries = drive.list()
    assert [e.name for e in entries] == [m["name"] for m in listed] == list(SHAPES)
    for entry, movie in zip(entries, listed):
        p = movie["properties"]
        assert (entry.path, entry.size, entry.properties) == (movie["path"], movie["size"], p)
        assert (entry.width, entry.height, entry.num_frames, entry.index, entry.duration) == (
            int(p["width"]), int(p["height"]), int(p["numFrames"]), int(p["index"]),
            int(p["duration"]))
        assert entry.time.strftime("%Y-%m-%dT%H:%M:%SZ") == movie["time"]
        assert drive.info(entry.name) == drive.info("vem:///" + entry.name) == entry
    assert [e.name for e in drive.list("*-s*")] == ["2-small"]
    with pytest.raises(FileNotFoundError, match="nope"):
        drive.info("nope")
    with pytest.raises(FileNotFoundError):
        drive.open("nope")


# Keys on the frame axis and across axes, each compared with numpy on the formula's frames.
KEYS = [4, -1, numpy.int64(2), slice(2, 7), slice(None, None, -2), slice(8, 100), [3, 1, 3],
        numpy.array([[0, 8], [4, 4]]), (slice(1, 4), 5, slice(2, 9)), (Ellipsis, 3),
        ([0, 2], slice(None), [1, 5]), numpy.arange(9) % 3 == 0, []]


def test_frames_follow_the_pixel_formula(drive):
    width, height, frames = SHAPES["1-odd"]
    expected = synthetic_movie(1, width, height, frames)
    with drive.open("1-odd") as movie:
        assert (movie.shape, movie.frame_shape, movie.dtype, movie.name, len(movie)) == (
            expected.shape, expected.shape[1:], numpy.uint16, "1-odd", frames)
        assert isinstance(movie, zelvem.Movie) and TOKEN not in repr(movie)
        for key in KEYS:
            got = movie[key]
            assert got.dtype == numpy.uint16 and numpy.array_equal(got, expected[key]), key
        assert numpy.array_equal(numpy.asarray(movie), expected)
        assert numpy.array_equal(numpy.stack(list(movie)), expected)
        for key in (9, -10, [9], numpy.array([0, 100])):
            with pytest.raises(IndexError):
                movie[key]
    with pytest.raises(ValueError):
        movie[0]
    with drive.open("/3-wide") as wide:
        assert numpy.array_equal(wide[[5, 0]], synthetic_movie(3, 640, 480, [5, 0]))


def test_fsspec_lists_and_reads(served, sim):
    import fsspec

    base, _, _ = served
    fs = fsspec.filesystem("vem", url=base, token=TOKEN)
    assert type(fs).__name__ == "RemoteVemFileSystem" and TOKEN not in repr(fs)
    assert fs.ls("/", detail=False) == ["/" + name for name in SHAPES]
    info = fs.info("vem:///2-small")
    assert (info["size"], info["type"], info["num_frames"]) == (64 * 48 * 12 * 2, "file", 12)
    whole = sim.cat("2-small")
    assert fs.cat_file("/2-small", 1000, 7001) == whole[1000:7001]
    assert fs.cat_file("2-small", -5) == whole[-5:]
    with fs.open("/2-small") as f:
        f.seek(64 * 48 * 2 * 3 + 1)
        assert f.read(10) == whole[64 * 48 * 6 + 1:64 * 48 * 6 + 11]
    with pytest.raises(FileNotFoundError):
        fs.info("/nope")


def test_times_equal_the_local_librarys(served, sim, drive):
    names = list(SHAPES)
    script = ("import json, zelvem\nd = zelvem.Drive()\nout = {}\n"
              "for n in %r:\n    m = d.open(n)\n"
              "    out[n] = [m.times.view('int64').tolist(), m.elapsed.tolist(), m.frame_rate]\n"
              "print(json.dumps(out))\n" % names)
    local = json.loads(subprocess.run([sys.executable, "-c", script], env=_local_env(sim),
                                      capture_output=True, text=True, check=True).stdout)
    for name in names:
        with drive.open(name) as movie:
            assert movie.times.dtype == numpy.dtype("datetime64[ns]")
            stamps, elapsed, rate = local[name]
            assert movie.times.view("int64").tolist() == stamps
            assert movie.elapsed.tolist() == elapsed
            assert movie.frame_rate == rate and rate is not None


def _local_env(sim):
    env = dict(sim.env)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def test_wrong_or_missing_token_is_a_clear_error(served, monkeypatch):
    base, _, _ = served
    monkeypatch.delenv("ZELVEM_TOKEN", raising=False)
    for drive in (zelvem.Drive(url=base, token="wrong"), zelvem.Drive(url=base)):
        with pytest.raises(PermissionError, match="refused the token"):
            drive.list()
        with pytest.raises(PermissionError):
            drive.open("1-odd")
    monkeypatch.setenv("ZELVEM_TOKEN", TOKEN)
    assert len(zelvem.Drive(url=base).list()) == len(SHAPES)


def test_a_movie_replaced_under_its_name_fails_reads():
    """vemsim restarted with another movie of the same entry name (number and name): the open
    movie's reads and times fail (412) rather than return the new movie's bytes."""
    with tempfile.TemporaryDirectory(prefix="zelvem-replace-") as root:
        sim = Sim(["--movie", "37x23x9:odd"], root=root)
        try:
            with sim.server() as (base, _, _):
                drive = zelvem.Drive(url=base, token=TOKEN)
                movie = drive.open("1-odd")
                assert numpy.array_equal(movie[3], synthetic(1, 3, 37, 23))
                sim.stop()
                with Vemsim(["--movie", "38x23x9:odd"], root=root, log_name="vemsim2"):
                    assert wait_for(lambda: _width(drive, "1-odd") == 38, 20)
                    for read in (lambda: movie[3], lambda: movie[0:2], lambda: movie.times):
                        with pytest.raises(OSError, match="changed"):
                            read()
                    with drive.open("1-odd") as again:
                        assert numpy.array_equal(again[3], synthetic(1, 3, 38, 23))
        finally:
            sim.stop()


def _width(drive, name):
    try:
        return drive.info(name).width
    except OSError:
        return None


def test_to_dask_on_worker_processes(served, monkeypatch):
    """The graph carries address, name and tag, not the token (taken from ZELVEM_TOKEN by
    each worker), and two worker processes read the right frames."""
    distributed = pytest.importorskip("distributed")
    base, _, _ = served
    monkeypatch.setenv("ZELVEM_TOKEN", TOKEN)
    width, height, frames = SHAPES["2-small"]
    expected = synthetic_movie(2, width, height, frames)
    array = zelvem.Drive(url=base).open("2-small").to_dask()
    assert TOKEN.encode() not in pickle.dumps(dict(array.dask))
    assert TOKEN not in repr(dict(array.dask))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        assert int(array.sum(dtype=numpy.uint64).compute()) == int(expected.sum(
            dtype=numpy.uint64))
        assert numpy.array_equal(array[[1, 7], :5, -3:].compute(), expected[[1, 7], :5, -3:])


def test_wheel_works_without_the_library(served, tmp_path):
    """The pure-Python wheel in a fresh venv (Debian's numpy and requests), no extension."""
    base, _, _ = served
    subprocess.run([str(REPO / "scripts" / "build-wheel.sh"), str(tmp_path)], check=True,
                   capture_output=True)
    wheel, = tmp_path.glob("zelvem-*-py3-none-any.whl")
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", "--without-pip",
                    str(venv)], check=True)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps",
                    str(wheel)], check=True, env=env, capture_output=True)
    script = """
import importlib.util, sys, numpy, zelvem
assert zelvem.__file__.startswith(sys.prefix), zelvem.__file__
assert importlib.util.find_spec("zelvem._zelvem") is None
drive = zelvem.Drive(url=sys.argv[1])
print(" ".join(e.name for e in drive.list()), int(drive.open("1-odd")[2].sum()))
try:
    zelvem.Drive()
except ImportError as error:
    print("local:", error)
"""
    out = subprocess.run([python, "-c", script, base], env=dict(env, ZELVEM_TOKEN=TOKEN),
                         capture_output=True, text=True, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    names, total, local = out.stdout.split("\n", 2)[0].rsplit(" ", 1) + [out.stdout]
    assert names.split() == list(SHAPES)
    assert int(total) == int(synthetic(1, 2, 37, 23).sum())
    assert "local: zelvem: reading the drive of this machine needs" in local
