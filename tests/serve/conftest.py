"""Fixtures: vemsim on a private pipe folder, and `vem serve` processes on free ports."""
import os
import re
import signal
import subprocess
import tempfile
import time
from contextlib import contextmanager

import numpy
import pytest

VEM = os.environ["VEM"]
VEMSIM = os.environ["VEMSIM"]
TOKEN = "test-token-0123456789abcdef"
# Odd sides put frame boundaries at odd offsets; "wide" is a browser-sized frame.
MOVIES = ["--movie", "37x23x9:odd", "--movie", "64x48x12:small", "--movie", "640x480x6:wide"]
SHAPES = {"1-odd": (37, 23, 9), "2-small": (64, 48, 12), "3-wide": (640, 480, 6)}
# vemsim records movie n at 2024-02-14 09:30:00 UTC plus n hours (whole seconds here).
BASE_TIME = 1707903000


def synthetic(number, frame, width, height):
    """vemsim's documented pixel function (docs/vemsim.md) for frame `frame` of movie `number`."""
    x = numpy.arange(width, dtype=numpy.int64)[None, :]
    y = numpy.arange(height, dtype=numpy.int64)[:, None]
    side = max(1, min(width, height) // 8)
    inside = (((x - (3 * frame % width)) % width < side)
              & ((y - (2 * frame % height)) % height < side))
    high = numpy.where(inside, 255, (x + y + 4 * frame + 16 * number) % 256)
    low = (7 * x + 13 * y + 5 * frame + 31 * number) % 251
    return (high * 256 + low).astype(numpy.uint16)


def run(*args, env, check=True, timeout=60):
    return subprocess.run(args, env=env, capture_output=True, check=check, timeout=timeout)


class Sim:
    def __init__(self, root):
        self.root = root
        self.env = dict(os.environ, ZELVEM_PIPE_DIR=os.path.join(root, "pipe"),
                        XDG_DATA_HOME=os.path.join(root, "data"))
        for name in ("ZELVEM_ENABLE_EMULATOR", "ZELVEM_SERVE_TOKEN"):
            self.env.pop(name, None)
        os.makedirs(self.env["ZELVEM_PIPE_DIR"])
        self.token_file = os.path.join(root, "token")
        with open(self.token_file, "w") as f:
            f.write(TOKEN + "\n")
        self.process = subprocess.Popen([VEMSIM, *MOVIES], env=self.env, stderr=subprocess.PIPE,
                                        text=True)
        for line in self.process.stderr:
            if "serving" in line:
                break
        self._counter = 0

    def ctl(self, *words):
        return run(VEMSIM, "ctl", *map(str, words), env=self.env).stdout.decode().strip()

    def stats(self):
        return dict(word.split("=") for word in self.ctl("stats").split()[1:])

    def index_of(self, entry):
        listing = self.ctl("list")
        return int(re.search(r"\| (\d+) " + re.escape(entry) + " ", listing).group(1))

    def cat(self, path):
        return run(VEM, "cat", "-q", path, env=self.env).stdout

    @contextmanager
    def server(self, *args, token_file=True, env=None):
        """A `vem serve` on a free loopback port; yields (base URL, process, log path)."""
        self._counter += 1
        log = os.path.join(self.root, "serve-%d.log" % self._counter)
        command = [VEM, "serve", "--listen", "127.0.0.1:0", "--log", log, *args]
        if token_file:
            command += ["--token-file", self.token_file]
        proc = subprocess.Popen(command, env=env or self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            line = proc.stdout.readline()
            match = re.match(r"vem serve: serving (http://\S+/)", line)
            assert match, "no start line: %r %s" % (line, proc.stderr.read())
            yield match.group(1), proc, log
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                pytest.fail("vem serve did not stop on SIGTERM")
        assert proc.returncode == 0, proc.stderr.read()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)


@pytest.fixture(scope="module")
def sim():
    with tempfile.TemporaryDirectory(prefix="zelvem-serve-") as root:
        server = Sim(root)
        try:
            yield server
        finally:
            server.stop()


@pytest.fixture(scope="module")
def served(sim):
    """One server for the read-only tests: (base URL, authorised requests session)."""
    import requests

    with sim.server() as (base, _, log):
        session = requests.Session()
        session.headers["Authorization"] = "Bearer " + TOKEN
        yield base, session, log


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()
