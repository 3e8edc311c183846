# The drive mounted with `vem mount`, checked with ordinary tools against vemsim's own bytes.
import errno
import json
import os
import random
import shutil
import signal
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from types import SimpleNamespace

import pytest

from sim_drive import VEM, VEMSIM, Vemsim, run, wait_for

# Odd frame sides, so that frames straddle the kernel's 4 KiB pages; a movie big enough to take
# several large reads; frames above 16 MiB, which the mount reads without keeping them.
MOVIES = ["--movie", "37x23x90:odd", "--movie", "64x48x30:small", "--movie", "640x480x24:big",
          "--movie", "4100x2100x2:huge"]
NAMES = ["1-odd", "2-small", "3-big", "4-huge"]
SIZES = {"1-odd": 37 * 23 * 90 * 2, "2-small": 64 * 48 * 30 * 2, "3-big": 640 * 480 * 24 * 2,
         "4-huge": 4100 * 2100 * 2 * 2}


def with_views(names):
    """What the folder lists: every movie and its two views."""
    return sorted(n + tail for n in names for tail in ("", ".ome.tif", ".zarr"))


LISTED = with_views(NAMES)
# vemsim records movie n at 2024-02-14 09:30:00 UTC plus n hours (whole seconds for the file time).
BASE_TIME = 1707903000


@pytest.fixture(scope="module")
def drive():
    if not os.path.exists("/dev/fuse"):
        pytest.fail("/dev/fuse is missing: the mount tests need FUSE")
    with Vemsim(MOVIES) as sim:
        yield sim


@pytest.fixture(scope="module")
def ref(drive):
    """The same movies written out by vemsim itself."""
    run(VEMSIM, "--write-folder", drive.root / "ref", *MOVIES, env=drive.env)
    return drive.root / "ref"


@contextmanager
def mounted(sim, *flags):
    """`vem mount` in the foreground on a new folder under sim.root, a client of sim.env."""
    point = tempfile.mkdtemp(dir=sim.root)
    proc = subprocess.Popen([VEM, "mount", point, "--foreground", *flags], env=sim.env,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: os.path.ismount(point), 10), "the mount did not appear"
        yield point
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        subprocess.run(["fusermount3", "-uz", point], capture_output=True)
    assert not os.path.ismount(point)
    assert proc.returncode == 0, proc.stderr.read()


def test_listing_reading_and_properties(drive, ref):
    env = drive.env
    with mounted(drive) as point:
        listing = run("ls", "-l", "--time-style=+%s", point, env=env).stdout.splitlines()[1:]
        seen = [(f[0], int(f[4]), int(f[5]), f[6]) for f in (line.split() for line in listing)
                if f[6] in NAMES]
        assert seen == [("-r--r--r--", SIZES[name], BASE_TIME + 3600 * (i + 1), name)
                        for i, name in enumerate(NAMES)]

        # Every byte, whole and in pieces that start and end inside frames and pages.
        for name in NAMES:
            run("cmp", os.path.join(point, name), os.path.join(ref, name + ".dat"), env=env)
        # A sequential read loads each frame from the service once: kept blocks are not thrown
        # away while the kernel still asks for them.
        before = drive.stats()["frames"]
        run("cmp", os.path.join(point, "3-big"), os.path.join(ref, "3-big.dat"), env=env)
        assert drive.stats()["frames"] - before == 24

        pieces = [  # movie, offset, length
            ("1-odd", 1, 1), ("1-odd", 1701, 3), ("1-odd", 4095, 4099),
            ("1-odd", SIZES["1-odd"] - 5, 5), ("3-big", 614399, 614402),
            ("3-big", 7777777, 1234567), ("3-big", SIZES["3-big"] - 1, 1),
            ("4-huge", 17219999, 3), ("4-huge", 5, 20000000),
        ]
        for name, offset, length in pieces:
            with open(os.path.join(point, name), "rb", buffering=0) as f:
                got = os.pread(f.fileno(), length, offset)
            with open(os.path.join(ref, name + ".dat"), "rb") as f:
                want = os.pread(f.fileno(), length, offset)
            assert got == want, (name, offset, length)

        # Several processes at once, on one movie at different places and on different movies.
        jobs = [["cmp", "-i", f"{skip}:{skip}", os.path.join(point, name),
                 os.path.join(ref, name + ".dat")]
                for name, skip in [("3-big", 0), ("3-big", 3000001), ("3-big", 9000000),
                                   ("1-odd", 0), ("2-small", 777)]]
        procs = [subprocess.Popen(job) for job in jobs]
        assert [p.wait(timeout=60) for p in procs] == [0] * len(jobs)

        # Short opens, one small read each, from several threads: the kernel releases a file as
        # soon as its last read is answered, while the mount may still be finishing that read.
        with open(os.path.join(ref, "3-big.dat"), "rb") as f:
            whole = f.read()

        def short_reads(seed):
            offsets = random.Random(seed).sample(range(SIZES["3-big"] - 4096), 150)
            for offset in offsets:
                fd = os.open(os.path.join(point, "3-big"), os.O_RDONLY)
                try:
                    assert os.pread(fd, 4096, offset) == whole[offset:offset + 4096], offset
                finally:
                    os.close(fd)

        with ThreadPoolExecutor(4) as pool:
            list(pool.map(short_reads, range(4)))

        # The properties, as `vem info --json` gives them.
        for name in NAMES:
            info = json.loads(run(VEM, "info", name, "--json", env=env).stdout)
            dump = run("getfattr", "-d", "--absolute-names", os.path.join(point, name),
                       env=env).stdout
            attrs = dict(line.split("=", 1) for line in dump.splitlines() if "=" in line)
            assert attrs == {f"user.vem.{k}": f'"{v}"' for k, v in info["properties"].items()}
            assert len(attrs) == 7

        # The info stream by name in any case, never listed.
        for suffix in [":info", ":INFO", ":Info"]:
            run("cmp", os.path.join(point, "2-small" + suffix), os.path.join(ref, "2-small.info"),
                env=env)
        assert sorted(os.listdir(point)) == LISTED


def test_writes_refused_and_delete_only_when_allowed(drive):
    env = drive.env
    with mounted(drive) as point:
        refused = [  # command, the error it must report
            (["rm", "-f", "2-small"], "Permission denied"),
            (["rm", "-f", "2-small:info"], "Operation not permitted"),
            (["touch", "new"], "Read-only file system"),
            (["sh", "-c", "echo x >> 1-odd"], "Read-only file system"),
            (["mkdir", "dir"], "Read-only file system"),
            (["mv", "1-odd", "moved"], "Read-only file system"),
            (["setfattr", "-n", "user.x", "-v", "1", "1-odd"], "Read-only file system"),
            (["truncate", "-s", "0", "1-odd"], "Read-only file system"),
        ]
        for command, error in refused:
            result = subprocess.run(command, cwd=point, capture_output=True, text=True,
                                    timeout=30)
            assert result.returncode != 0 and error in result.stderr, (command, result.stderr)
        assert sorted(os.listdir(point)) == LISTED

    doomed = drive.add(16, 8, 3, "doomed")["entry"]
    with mounted(drive, "--allow-delete") as point:
        assert run("stat", "-c", "%A", os.path.join(point, doomed), env=env).stdout.strip() \
            == "-rw-r--r--"
        # The stream goes only with its movie, whether deleting is allowed or not.
        result = subprocess.run(["rm", doomed + ":info"], cwd=point, capture_output=True,
                                text=True, timeout=30)
        assert result.returncode != 0 and "Operation not permitted" in result.stderr
        run("rm", os.path.join(point, doomed), env=env)
        assert sorted(os.listdir(point)) == LISTED
        assert "doomed" not in drive.ctl("list")


def test_changes_show_within_a_second(drive):
    with mounted(drive) as point:
        first = drive.add(8, 8, 2, "late")
        assert wait_for(lambda: os.path.exists(os.path.join(point, first["entry"])), 1.0)
        # vemsim numbers the next movie one higher: have the kernel cache that name as missing.
        second_path = os.path.join(point, f"{int(first['number']) + 1}-late")
        assert not os.path.exists(second_path)
        second = drive.add(8, 8, 2, "late")
        assert os.path.join(point, second["entry"]) == second_path
        assert wait_for(lambda: os.path.exists(second_path), 1.0)
        assert os.path.getsize(second_path) == 8 * 8 * 2 * 2
        drive.ctl("remove", second["index"])
        drive.ctl("remove", first["index"])
        assert wait_for(lambda: sorted(os.listdir(point)) == LISTED, 1.0)
        assert wait_for(lambda: not os.path.exists(second_path), 1.0)


def test_open_movies_follow_removals(drive):
    # Bytes the mount keeps in memory must not outlive their movie; a movie renumbered while open
    # reads on under its new index.
    with mounted(drive) as point:
        before = drive.add(16, 8, 3, "before")
        kept = drive.add(640, 480, 4, "kept")
        path = os.path.join(point, kept["entry"])
        assert wait_for(lambda: os.path.exists(path), 1.0)
        with open(path, "rb") as f:
            whole = f.read()
        assert len(whole) == 640 * 480 * 4 * 2
        with open(path, "rb") as f:
            assert os.pread(f.fileno(), 5000, 1000) == whole[1000:6000]
            drive.ctl("remove", before["index"])
            assert wait_for(lambda: before["entry"] not in os.listdir(point), 1.0)
            for offset in (1000, 2_000_000):  # a kept block, and one read from the library
                assert os.pread(f.fileno(), 5000, offset) == whole[offset:offset + 5000]
            drive.ctl("remove", int(kept["index"]) - 1)
            assert wait_for(lambda: kept["entry"] not in os.listdir(point), 1.0)
            # A removed file's open handle: every read fails, a kept block's too.
            for offset in (1000, 2_000_000):
                with pytest.raises(OSError) as error:
                    os.pread(f.fileno(), 5000, offset)
                assert error.value.errno == errno.EIO
        assert sorted(os.listdir(point)) == LISTED


def test_refused_frames_are_errors_and_a_lost_service_never_hangs(drive):
    env = drive.env
    with mounted(drive) as point:
        # Every frame load refused: cat must fail, not deliver a zero-filled file.
        drive.ctl("fault", "error", "ord=6", "count=100000")
        result = subprocess.run(["cat", os.path.join(point, "3-big")], capture_output=True,
                                timeout=30)
        assert result.returncode != 0 and b"Input/output error" in result.stderr
        assert len(result.stdout) < SIZES["3-big"]
        drive.ctl("clear")

        # A service that answers late holds only the reads waiting for it.
        drive.ctl("fault", "delay", "ord=6", "count=1", "ms=4000")
        slow = subprocess.Popen(["cat", os.path.join(point, "1-odd")], stdout=subprocess.DEVNULL)
        time.sleep(0.3)
        started = time.monotonic()
        assert sorted(os.listdir(point)) == LISTED
        run("getfattr", "-d", os.path.join(point, "3-big"), env=env)
        assert time.monotonic() - started < 2
        assert slow.wait(timeout=30) == 0


def test_background_mount_leaves_nothing_behind(drive):
    env = drive.env
    point = tempfile.mkdtemp(dir=drive.root)
    run(VEM, "mount", point, env=env)  # returns once the mount is ready
    try:
        assert os.path.ismount(point)
        assert sorted(os.listdir(point)) == LISTED
    finally:
        run("fusermount3", "-u", point, env=env, check=False)

    def server_gone():
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmdline = f.read()
                with open(f"/proc/{pid}/stat") as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                continue
            if point.encode() in cmdline and state != "Z":
                return False
        return True

    assert wait_for(server_gone, 10)
    assert not os.path.ismount(point)
    # A folder that cannot take the mount is a clear failure, not a background process, and
    # leaves the folder as it was.
    full = tempfile.mkdtemp(dir=drive.root)
    with open(os.path.join(full, "kept"), "w") as f:
        f.write("mine")
    with mounted(drive) as busy:
        refused = [  # mount point, what the message says
            (os.path.join(point, "missing"), "does not exist"),
            (full, "is not empty"),
            (busy, "is already a mount point"),
        ]
        for folder, message in refused:
            for flags in ([], ["--foreground"]):
                result = run(VEM, "mount", folder, *flags, env=env, check=False)
                assert result.returncode == 1 and result.stderr.startswith("vem: "), folder
                assert message in result.stderr, result.stderr
        assert sorted(os.listdir(busy)) == LISTED
    assert os.listdir(full) == ["kept"] and not os.path.ismount(full)


def test_a_restarted_service_never_serves_the_old_movies_bytes(drive):
    # Restarted with another movie of the same name (and number, and time): readers opened
    # after the restart get only the new movie's bytes while a handle from before is still open,
    # and that handle fails.
    root = tempfile.mkdtemp(dir=drive.root)
    before, after = ["--movie", "640x480x6:again"], ["--movie", "800x600x7:again"]
    refs = {}
    for which, movies in (("before", before), ("after", after)):
        run(VEMSIM, "--write-folder", os.path.join(root, which), *movies, env=drive.env)
        with open(os.path.join(root, which, "1-again.dat"), "rb") as f:
            refs[which] = f.read()
    with Vemsim(before, root=root, log_name="before") as first:
        with mounted(first) as point:
            path = os.path.join(point, "1-again")
            old = os.open(path, os.O_RDONLY)
            try:
                assert os.pread(old, 5000, 1000) == refs["before"][1000:6000]
                first.stop()
                with Vemsim(after, root=root, log_name="after"):
                    assert wait_for(lambda: os.path.exists(path) and
                                    os.path.getsize(path) == len(refs["after"]), 10)
                    with open(path, "rb") as f:
                        assert f.read() == refs["after"]
                    for offset in (1000, 3_000_000):  # a kept block, and one never loaded
                        with pytest.raises(OSError) as error:
                            os.pread(old, 5000, offset)
                        assert error.value.errno == errno.EIO
            finally:
                os.close(old)


def test_a_name_the_folder_cannot_hold_leaves_out_that_movie_alone(drive):
    # The emulator folder takes names the drive would refuse: one ending in ":info" would shadow
    # another movie's info stream.
    root = tempfile.mkdtemp(dir=drive.root)
    env = dict(drive.env, XDG_DATA_HOME=os.path.join(root, "data"))
    folder = os.path.join(env["XDG_DATA_HOME"], "Quen Systems", "VEM")
    run(VEMSIM, "--write-folder", folder, "--movie", "16x8x3:kept", "--movie", "24x8x2:other",
        env=env)
    shutil.copy(os.path.join(folder, "1-kept.dat"), os.path.join(folder, "2-other:info.dat"))
    with mounted(SimpleNamespace(root=root, env=env), "--emulator") as point:
        assert sorted(os.listdir(point)) == with_views(["1-kept", "2-other"])
        run("cmp", os.path.join(point, "2-other"), os.path.join(folder, "2-other.dat"), env=env)
        run("cmp", os.path.join(point, "2-other:info"), os.path.join(folder, "2-other.info"),
            env=env)
