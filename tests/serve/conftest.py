"""Fixtures: vemsim on a private pipe folder, and `vem serve` processes on free ports."""
import re
import signal
import subprocess
from contextlib import contextmanager

import pytest

from sim_drive import VEM, Vemsim

TOKEN = "test-token-0123456789abcdef"
# Odd sides put frame boundaries at odd offsets; "wide" is a browser-sized frame.
MOVIES = ["--movie", "37x23x9:odd", "--movie", "64x48x12:small", "--movie", "640x480x6:wide"]
SHAPES = {"1-odd": (37, 23, 9), "2-small": (64, 48, 12), "3-wide": (640, 480, 6)}
# vemsim records movie n at 2024-02-14 09:30:00 UTC plus n hours (whole seconds here).
BASE_TIME = 1707903000


class Sim(Vemsim):
    """The suite's vemsim, with a token file for the servers started in front of it."""

    def __init__(self, movies=MOVIES, root=None):
        super().__init__(movies, root=root)
        self.token_file = str(self.root / "token")
        with open(self.token_file, "w") as f:
            f.write(TOKEN + "\n")
        self._counter = 0

    def cat(self, path):
        return self.vem("cat", "-q", path, text=False).stdout

    @contextmanager
    def server(self, *args, token_file=True, env=None):
        """A `vem serve` on a free loopback port; yields (base URL, process, log path)."""
        self._counter += 1
        log = str(self.root / ("serve-%d.log" % self._counter))
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


@pytest.fixture(scope="module")
def sim():
    with Sim() as server:
        yield server


@pytest.fixture(scope="module")
def served(sim):
    """One server for the read-only tests: (base URL, authorised requests session)."""
    import requests

    with sim.server() as (base, _, log):
        session = requests.Session()
        session.headers["Authorization"] = "Bearer " + TOKEN
        yield base, session, log
