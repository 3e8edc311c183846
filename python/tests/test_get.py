"""Drive.get against `vem get` (same files, times, manifest and answers) and against what vem
cat reads; interrupted copies and TIFFs leave nothing that looks whole."""

import json
import os
import signal
import subprocess
import threading
import time
import _thread

import pytest

from conftest import MOVIES
from sim_drive import VEM

NAMES = [f"{number}-{MOVIES[number][3]}" for number in sorted(MOVIES)]
# Each format's files of a movie, with the `vem cat` path that reads the same bytes.
FILES = {
    "raw": lambda name: {name: f"vem:///{name}", f"{name}.info": f"vem:///{name}:info"},
    "ome-tiff": lambda name: {f"{name}.ome.tif": f"vem:///{name}.ome.tif"},
}


def folder(path):
    """Every file of a folder: name -> (bytes, modification time); the manifest's time is when
    it was written."""
    return {entry.name: (entry.read_bytes(),
                         None if entry.name == "XXH128SUMS" else entry.stat().st_mtime)
            for entry in path.iterdir()}


def cat(path, out):
    subprocess.run([VEM, "cat", path, "-o", out, "-q"], check=True, timeout=60)
    return out.read_bytes()


def vem_get(args, dest):
    run = subprocess.run([VEM, "get", *args, str(dest), "--json", "-q"], capture_output=True,
                         text=True, timeout=120)
    return run.returncode, [json.loads(line) for line in run.stdout.splitlines()]


def without_seconds(results):
    return [{key: value for key, value in result.items() if key != "seconds"}
            for result in results]


@pytest.mark.parametrize("format", sorted(FILES))
def test_get_writes_what_vem_get_writes_and_skips_it_again(drive, tmp_path, format):
    entries = {entry.name: entry for entry in drive.list()}
    # Every way of naming a movie: a URL, an absolute path, an entry of the listing.
    named = [f"vem:///{NAMES[0]}", f"/{NAMES[1]}", entries[NAMES[2]]]
    results = drive.get(named, tmp_path / "py", format=format)
    code, printed = vem_get(["--format", format, *NAMES], tmp_path / "cli")
    assert code == 0
    assert without_seconds(results) == without_seconds(printed)
    assert [r["status"] for r in results] == ["copied"] * 3
    assert all(r["hash"].startswith("xxh128:") for r in results)

    copied = folder(tmp_path / "py")
    assert copied == folder(tmp_path / "cli")
    expected = {"XXH128SUMS"}
    for name in NAMES:
        for file, source in FILES[format](name).items():
            expected.add(file)
            assert copied[file][0] == cat(source, tmp_path / "cat"), file
            assert copied[file][1] == entries[name].time.timestamp(), file
    assert set(copied) == expected
    assert subprocess.run([VEM, "verify", tmp_path / "py"], capture_output=True,
                          timeout=60).returncode == 0

    again = drive.get(NAMES, tmp_path / "py", format=format)
    assert [r["status"] for r in again] == ["skipped"] * 3
    assert [r["hash"] for r in again] == [r["hash"] for r in results]
    assert folder(tmp_path / "py") == copied
    assert drive.get(NAMES[0], tmp_path / "py", format=format,
                     overwrite=True)[0]["status"] == "copied"


def test_a_missing_movie_fails_alone_and_is_named(drive, tmp_path):
    with pytest.raises(OSError, match="99-none: no such movie") as raised:
        drive.get([NAMES[0], "99-none", NAMES[1], NAMES[0]], tmp_path)
    statuses = [(r["name"], r["status"]) for r in raised.value.results]
    assert statuses == [(NAMES[0], "copied"), ("99-none", "failed"), (NAMES[1], "copied")]
    assert {NAMES[0], NAMES[1]} <= set(os.listdir(tmp_path))
    with pytest.raises(ValueError):
        drive.get(NAMES[0], tmp_path, format="avi")
    with pytest.raises(ValueError):
        drive.get(f"{NAMES[0]}:info", tmp_path)
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(OSError, match="not a folder"):
        drive.get(NAMES[0], tmp_path / "file")


def test_ctrl_c_leaves_a_partial_that_the_next_get_resumes(drive, sim, tmp_path):
    name = NAMES[2]  # 640x480: one frame per write, each read delayed
    width, height, frames, _ = MOVIES[3]
    frame_bytes = width * height * 2
    done = threading.Event()

    def press_ctrl_c_after_a_frame():
        # As a user would, once the copy is under way: a frame is in the partial file.
        while not done.wait(0.01):
            if any(file.stat().st_size >= frame_bytes for file in tmp_path.glob("*.vem-partial")):
                _thread.interrupt_main()
                return

    sim.ctl("fault", "delay", "count=1000", "ms=150")
    watcher = threading.Thread(target=press_ctrl_c_after_a_frame)
    watcher.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            drive.get(name, tmp_path)
    finally:
        done.set()
        watcher.join()
        sim.ctl("clear")
    left = os.listdir(tmp_path)
    assert name not in left and f"{name}.info" not in left
    partials = [file for file in left if file.endswith(".vem-partial")]
    assert len(partials) == 1 and partials[0].startswith(name + ".")
    kept = (tmp_path / partials[0]).stat().st_size
    assert frame_bytes <= kept < frame_bytes * frames

    result = drive.get(name, tmp_path, verify=True)[0]
    assert result["status"] == "resumed"
    assert (tmp_path / name).read_bytes() == cat(f"vem:///{name}", tmp_path / "cat")
    assert not [file for file in os.listdir(tmp_path) if file.endswith(".vem-partial")]
    # The copy wrote output files; the vem program's handler, had it been installed for them,
    # would end this process here instead of raising.
    with pytest.raises(KeyboardInterrupt):
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(5)


@pytest.mark.parametrize("stop", [OSError("the drive went away"), KeyboardInterrupt()])
def test_interrupted_to_tiff_leaves_the_old_file_and_no_temporary(drive, tmp_path,
                                                                 monkeypatch, stop):
    pytest.importorskip("tifffile")
    import zelvem

    target = tmp_path / "movie.tif"
    target.write_bytes(b"an earlier export")
    read = zelvem.Movie._read
    calls = []

    def failing_read(movie, indices):
        calls.append(indices)
        if len(calls) == 3:
            raise stop
        return read(movie, indices)

    monkeypatch.setattr(zelvem.Movie, "_read", failing_read)
    with drive.open(NAMES[1]) as movie, pytest.raises(type(stop)):
        movie.to_tiff(target)
    assert len(calls) == 3
    assert os.listdir(tmp_path) == ["movie.tif"]
    assert target.read_bytes() == b"an earlier export"
