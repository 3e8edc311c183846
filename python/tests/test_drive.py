"""The fsspec file system, removal and watches, and emulator mode in a process of its own."""

import os
import subprocess
import sys
import threading

import fsspec
import pytest

from conftest import MOVIES, run_python
from sim_drive import VEMSIM, Vemsim, run, synthetic_movie, wait_for

FRAME2 = 33 * 17 * 2  # bytes in a frame of movie 2-odd


def movie_bytes(number):
    width, height, frames, _ = MOVIES[number]
    return synthetic_movie(number, width, height, frames).astype("<u2").tobytes()


def test_listing_and_info(fs):
    names = fs.ls("vem:///", detail=False)
    assert {"/1-sim", "/2-odd", "/3-wide"} <= set(names)
    detail = {e["name"]: e for e in fs.ls("/")}
    assert detail["/2-odd"]["size"] == FRAME2 * 9 and detail["/2-odd"]["type"] == "file"
    assert fs.info("vem:///2-odd") == detail["/2-odd"]
    assert fs.info("/")["type"] == "directory" and fs.isfile("2-odd")
    with pytest.raises(FileNotFoundError):
        fs.info("/99-none")


@pytest.mark.parametrize("start, end", [
    (None, None), (1, 2), (FRAME2 - 3, FRAME2 + 5), (7, 3 * FRAME2 + 1), (-5, None),
    (FRAME2 * 9 - 1, FRAME2 * 20), (FRAME2 * 10, None), (-FRAME2 - 1, -FRAME2 + 2),
])
def test_cat_file_ranges(fs, start, end):
    assert fs.cat_file("vem:///2-odd", start, end) == movie_bytes(2)[start:end]


def test_open_seek_read_readinto_at_odd_offsets(fs):
    data = movie_bytes(2)
    with fsspec.open("vem:///2-odd", "rb") as f:
        assert f.seekable() and f.size == len(data)
        f.seek(FRAME2 - 1)
        assert f.read(3) == data[FRAME2 - 1:FRAME2 + 2]
        buffer = bytearray(2 * FRAME2 + 1)
        assert f.readinto(buffer) == len(buffer)
        assert buffer == data[FRAME2 + 2:3 * FRAME2 + 3]
        f.seek(-4, 2)
        assert f.read() == data[-4:] and f.read() == b""
        f.seek(11)
        assert f.read(-1) == data[11:]


def test_range_read_loads_only_the_frames_it_covers(fs, sim):
    before = sim.stats()["frames"]
    fs.cat_file("/3-wide", 640 * 480 * 2 - 1, 640 * 480 * 2 + 1)
    assert sim.stats()["frames"] - before == 2


@pytest.mark.parametrize("write", [
    lambda fs: fs.open("/1-sim", "wb"), lambda fs: fs.pipe_file("/new", b"x"),
    lambda fs: fs.mkdir("/dir"), lambda fs: fs.rm("/"), lambda fs: fs.touch("/1-sim"),
    lambda fs: fs.open("/1-sim", "ab"),
])
def test_writing_is_refused(fs, write):
    with pytest.raises(PermissionError):
        write(fs)


def test_refused_frame_in_a_byte_read(fs, sim):
    with fs.open("/2-odd") as f:
        sim.ctl("fault", "error", "ord=6")
        f.seek(4 * FRAME2 + 1)
        with pytest.raises(OSError, match="frame 4"):
            f.read(10)


def test_entry_point_finds_the_package_without_importing_it(sim):
    code = ("import sys, fsspec\n"
            "assert 'zelvem' not in sys.modules\n"
            "print(sorted(fsspec.filesystem('vem').ls('/', detail=False)))")
    result = run_python(code, dict(os.environ))
    assert result.returncode == 0, result.stderr
    assert "'/2-odd'" in result.stdout


def test_watch_sees_additions_and_removals(drive, fs, sim):
    seen = threading.Semaphore(0)
    broken_calls = []
    reported = []
    # Python's default unraisable hook prints to stderr; catching it here shows the failure
    # went there rather than into the library's thread.
    default_hook, sys.unraisablehook = sys.unraisablehook, reported.append

    def broken():
        broken_calls.append(1)
        raise RuntimeError("callback failure")

    def changed():
        drive.list()  # calling back into the library from its own thread must not deadlock
        seen.release()

    with drive.watch(broken), drive.watch(changed) as watch:
        sim.ctl("add", 16, 8, 2, "extra")
        assert seen.acquire(timeout=10)
        added = [e for e in drive.list() if e.name.endswith("-extra")]
        assert len(added) == 1
        fs.rm(added[0].path)
        assert seen.acquire(timeout=10)
        assert not [e for e in drive.list() if e.name.endswith("-extra")]
        with pytest.raises(FileNotFoundError):
            drive.remove(added[0].path)
    sys.unraisablehook = default_hook
    calls = len(broken_calls)
    assert watch.closed and calls >= 2  # kept being called after it raised
    assert [str(r.exc_value) for r in reported] == ["callback failure"] * calls
    # A closed watch is not called any more (a later one proves the change was handled).
    later = threading.Event()
    with drive.watch(later.set):
        sim.ctl("add", 16, 8, 2, "later")
        assert later.wait(timeout=10)
    assert len(broken_calls) == calls


@pytest.mark.parametrize("call, path, error", [
    ("remove", "vem:///99-none", FileNotFoundError), ("open", "vem:///99-none", FileNotFoundError),
    ("info", "vem:///99-none", FileNotFoundError), ("remove", "1-sim:info", PermissionError),
    ("remove", "vem://elsewhere/1-sim", ValueError), ("remove", "/", IsADirectoryError),
    ("remove", "1-*", FileNotFoundError), ("remove", "sim", FileNotFoundError),
    ("open", "2-odd:INFO", FileNotFoundError), ("open", "vem://elsewhere/2-odd", ValueError),
    ("open", "vem:///2-odd/x", ValueError), ("info", "vem://host/2-odd", ValueError),
    ("info", "1-sim\x85", ValueError), ("info", "1-sim\n", ValueError),
])
def test_paths_the_grammar_or_the_drive_refuse(drive, call, path, error):
    with pytest.raises(error):
        getattr(drive, call)(path)
    assert drive.info("vem://1-sim").name == "1-sim"  # the relative form names the movie


def test_removal_takes_the_named_movie_or_fails_saying_why(drive, sim):
    entry = sim.add(16, 8, 2, "doomed")["entry"]
    assert wait_for(lambda: entry in [e.name for e in drive.list()])
    before = [e.name for e in drive.list()]
    sim.ctl("fault", "error", "ord=7")
    with pytest.raises(OSError) as refused:
        drive.remove(entry)
    assert not isinstance(refused.value, FileNotFoundError)
    assert [e.name for e in drive.list()] == before
    drive.remove(entry)
    assert [e.name for e in drive.list()] == [n for n in before if n != entry]
    sim.ctl("detach")
    try:
        assert wait_for(lambda: not drive.present)
        for call in (drive.list, lambda: drive.open("1-sim"), lambda: drive.remove("1-sim")):
            with pytest.raises(ConnectionError, match="no recording drive"):
                call()
    finally:
        sim.ctl("attach")
    assert wait_for(lambda: drive.present and "1-sim" in [e.name for e in drive.list()])


EMULATOR_SCRIPT = """
import numpy, zelvem
from sim_drive import synthetic_movie
drive = zelvem.Drive(emulator=True)
entries = drive.list()
assert [e.name for e in entries] == ["1-sim", "2-sim"], entries
for e in entries:
    with drive.open(e.path) as movie:
        assert movie.shape == (5, 30, 40)
        assert numpy.array_equal(movie[:], synthetic_movie(int(e.name[0]), 40, 30, 5))
        assert numpy.array_equal(movie[[4, 1]], synthetic_movie(int(e.name[0]), 40, 30, 5)[[4, 1]])
try:
    zelvem.Drive(emulator=False)
except RuntimeError:
    print("ok")
"""


def test_emulator_mode_on_a_written_folder(tmp_path):
    env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "data"),
               ZELVEM_PIPE_DIR=str(tmp_path / "pipe"))
    env.pop("ZELVEM_ENABLE_EMULATOR", None)
    folder = tmp_path / "data" / "Quen Systems" / "VEM"
    run(VEMSIM, "--write-folder", folder, "--movies", "2x40x30x5", env=env)
    result = run_python(EMULATOR_SCRIPT, env)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


NO_SERVICE_SCRIPT = """
import fsspec, zelvem
drive = zelvem.Drive(emulator=False)
calls = [drive.list, lambda: drive.info("1-sim"), lambda: drive.open("1-sim"),
         lambda: drive.remove("1-sim"), lambda: fsspec.filesystem("vem").ls("/")]
for call in calls:
    try:
        call()
        print("no error")
    except ConnectionError as e:
        print(type(e).__name__, e)
"""


@pytest.mark.parametrize("named", [True, False])
def test_without_service_every_call_says_there_is_no_drive_and_where_it_looked(tmp_path, named):
    # "No such movie", or an empty list, would send a user looking for the wrong fault; and
    # the pipe folder names the commonest one, a ZELVEM_PIPE_DIR set for the service only.
    env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "data"),
               XDG_RUNTIME_DIR=str(tmp_path / "run"))
    env.pop("ZELVEM_ENABLE_EMULATOR", None)
    if named:
        env["ZELVEM_PIPE_DIR"] = folder = str(tmp_path / "pipe")
    else:
        env.pop("ZELVEM_PIPE_DIR", None)
        folder = str(tmp_path / "run" / "zelvem")
    os.makedirs(folder)
    result = run_python(NO_SERVICE_SCRIPT, env)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 5 and len(set(lines)) == 1, lines
    assert lines[0].startswith("ConnectionError no drive detected") and folder in lines[0]


RACING_REMOVAL_SCRIPT = """
import zelvem
drive = zelvem.Drive()
drive.list()
print("ready", flush=True)
input()
try:
    drive.remove("3-sim")
    print("removed")
except OSError as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("slow", ["ord=2", "ord=7"])
def test_a_removal_racing_another_clients_takes_the_named_movie_or_says_so(slow):
    # Another client removes the first movie while our confirmation (ord 2) or removal (ord 7)
    # is held up: every later movie moves down one place under the request.
    with Vemsim(["--movies", "5x16x8x2"]) as sim:
        child = subprocess.Popen([sys.executable, "-c", RACING_REMOVAL_SCRIPT], env=sim.env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "ready\n", child.stderr.read()
            sim.ctl("fault", "delay", slow, "ms=1500")
            child.stdin.write("\n")
            child.stdin.flush()
            assert wait_for(lambda: sim.stats()["faults"] == 0)
            sim.ctl("remove", 0)
            out, err = child.communicate(timeout=60)
            left = {word for word in sim.ctl("list").split() if word.endswith("-sim")}
        finally:
            child.kill()
    if out == "removed\n":
        assert left == {"2-sim", "4-sim", "5-sim"}, out + err
    else:
        assert out.startswith("OSError ") and "3-sim is still there" in out, out + err
        assert "3-sim" in left
