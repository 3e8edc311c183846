# vem view: a private viewer whose link is good for one visit, handed to the desktop's browser.
import os
import re
import signal
import stat
import subprocess
import urllib.parse
from contextlib import contextmanager

import pytest
import requests

from sim_drive import VEM, wait_for


@contextmanager
def view(sim, *args, env=None):
    """`vem view ARGS`; yields (one-time link, process)."""
    proc = subprocess.Popen([VEM, "view", *args], env=env or sim.env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        serving = proc.stdout.readline()
        link = proc.stdout.readline()
        assert serving.startswith("vem view: serving http://127.0.0.1:"), (serving,
                                                                          proc.stderr.read())
        match = re.match(r"vem view: open (http://\S+) \(valid once\)", link)
        assert match, link
        yield match.group(1), proc
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
        proc.wait(timeout=15)
    assert proc.returncode == 0, proc.stderr.read()


def test_the_link_is_good_for_one_visit(sim):
    with view(sim, "--no-browser", "vem:///2-small") as (link, _):
        parts = urllib.parse.urlsplit(link)
        base = "%s://%s/" % (parts.scheme, parts.netloc)
        query = urllib.parse.parse_qs(parts.query)
        assert parts.path == "/open" and query["movie"] == ["2-small"]
        assert len(query["code"][0]) >= 32

        # Wrong codes and other methods spend nothing.
        for method, url in [("GET", base + "open?code=" + "0" * 64), ("GET", base + "open"),
                            ("POST", link)]:
            assert requests.request(method, url, allow_redirects=False).status_code in (401, 405)

        browser = requests.Session()
        first = browser.get(link, allow_redirects=False)
        assert first.status_code == 303
        assert first.headers["Location"] == "/#movie=2-small"
        assert "HttpOnly" in first.headers["Set-Cookie"]
        # The cookie opens the page and the API; the code does not a second time, for anyone.
        assert browser.get(base).status_code == 200
        assert browser.get(base + "api/v1/movies").status_code == 200
        assert requests.get(base + "api/v1/movies").status_code == 401
        again = requests.get(link, allow_redirects=False)
        assert again.status_code == 401 and "vem view" in again.json()["error"]
        assert browser.get(link, allow_redirects=False).status_code == 401


@pytest.mark.parametrize("path, message", [
    ("vem:///9-none", "9-none"),
    ("1-odd:info", ":info"),
    ("vem://host/1-odd", "vem://host/1-odd"),
])
def test_bad_movies_fail_before_serving(sim, path, message):
    done = subprocess.run([VEM, "view", "--no-browser", path], env=sim.env, capture_output=True,
                          text=True, timeout=30)
    assert done.returncode != 0 and message in done.stderr, done.stderr
    assert "serving" not in done.stdout


def test_the_browser_gets_the_link_and_never_the_token(sim, tmp_path):
    # A stand-in for the desktop's opener records what it was handed.
    seen = tmp_path / "seen"
    opener = tmp_path / "xdg-open"
    opener.write_text('#!/bin/sh\nprintf "%%s\\n" "$@" > %s.tmp && mv %s.tmp %s\n'
                      % (seen, seen, seen))
    opener.chmod(opener.stat().st_mode | stat.S_IEXEC)
    env = dict(sim.env, PATH="%s:%s" % (tmp_path, os.environ["PATH"]), DISPLAY=":77")
    with view(sim, env=env) as (link, _):
        assert wait_for(seen.exists, 10)
        assert seen.read_text() == link + "\n"
        assert requests.get(link, allow_redirects=False).status_code == 303

    # No display: nothing is started, and the link is printed all the same.
    env.pop("DISPLAY")
    env.pop("WAYLAND_DISPLAY", None)
    seen.unlink()
    with view(sim, env=env) as (link, proc):
        assert requests.get(link, allow_redirects=False).status_code == 303
    assert not seen.exists()
