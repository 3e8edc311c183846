"""vemsim and `vem serve` on a private pipe folder and a free port, and headless Chromium on the
viewer page: shared by the viewer's tests, its screenshot and its benchmark."""

import socket
import subprocess
import urllib.error
import urllib.request

import numpy

from sim_drive import Vemsim, wait_for

CHROMEDRIVER = "/usr/bin/chromedriver"


def percentile_limits(pixels, low=0.1, high=99.9):
    """The viewer's auto limits (docs/viewer.md): the values at 0-based ranks p/100 * (n - 1) of
    the sorted pixels, the low rank rounded down and the high one up."""
    ordered = numpy.sort(pixels, axis=None)
    last = ordered.size - 1
    lo_rank = int(numpy.floor(round(low / 100 * last, 9)))
    hi_rank = int(numpy.ceil(round(high / 100 * last, 9)))
    return int(ordered[lo_rank]), int(ordered[hi_rank])


def mapped(pixels, lo, hi, gamma=1.0):
    """The viewer's 16-to-8-bit mapping (docs/viewer.md)."""
    values = pixels.astype(numpy.float64)
    if hi <= lo:
        t = (values > lo).astype(numpy.float64)
    else:
        t = numpy.clip((values - lo) / (hi - lo), 0, 1)
    t = numpy.where((t > 0) & (t < 1), t ** gamma, t)
    # Half-way values round up, as JavaScript's Math.round does.
    return numpy.floor(t * 255 + 0.5).astype(numpy.uint8)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Drive(Vemsim):
    """vemsim with `args`, and `vem serve` in front of it with a token from a file (the
    programs given, or those the tests are given)."""

    def __init__(self, args, vem=None, vemsim=None, token="viewer-test-token-0123456789abcdef"):
        self.token, self.serve = token, None
        super().__init__(args, vem=vem, vemsim=vemsim)
        try:
            token_file = self.root / "token"
            token_file.write_text(token + "\n")
            token_file.chmod(0o600)
            self.serve_log = self.root / "serve.log"
            self.port = free_port()
            self.base = f"http://127.0.0.1:{self.port}/"
            with open(self.serve_log, "wb") as log:
                self.serve = subprocess.Popen(
                    [self.vem_program, "serve", "--listen", f"127.0.0.1:{self.port}",
                     "--token-file", str(token_file)], stderr=log, stdout=log, env=self.env)
            if not wait_for(lambda: self.serve.poll() is not None or self.answers(), 20, 0.1) \
                    or self.serve.poll() is not None:
                raise RuntimeError("vem serve did not start:\n" + self.serve_log.read_text())
        except BaseException:
            self.stop()
            raise

    def answers(self):
        try:
            return self.get("api/v1/status")[0] == 200
        except OSError:
            return False

    def get(self, path, token=True):
        """(status, body) of a GET, with the token in the header unless `token` is False."""
        request = urllib.request.Request(self.base + path)
        if token:
            request.add_header("Authorization", f"Bearer {self.token}")
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()

    def page(self, fragment=""):
        return f"{self.base}?token={self.token}{fragment}"

    def stop(self):
        if self.serve and self.serve.poll() is None:
            self.serve.terminate()
            try:
                self.serve.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.serve.kill()
                self.serve.wait()
        super().stop()


def chromium(width=1280, height=800, scale=1):
    """Headless Chromium with a page area of width x height CSS pixels at `scale` device
    pixels each, keeping its console messages for `get_log("browser")`."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", f"--window-size={width},{height + 200}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    # The window's size includes what headless Chromium keeps for its own frame: the page's
    # area is set exactly instead.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": scale,
                            "mobile": False})
    return driver


def wait_drawn(driver, movie, frame, seconds=10):
    """Waits until the page shows `frame` of `movie`, drawn."""
    script = "const d = document.body.dataset; return [d.movie, d.frame, d.ready];"
    wanted = [movie, str(frame), "1"]
    if not wait_for(lambda: driver.execute_script(script) == wanted, seconds, 0.05):
        shown = driver.execute_script(script)
        note = driver.find_element("id", "message").text
        raise AssertionError(f"wanted {wanted}, the page shows {shown} (message: {note!r})")


def canvas_grey(driver):
    """The frame canvas's red channel (the page draws grey) as a height x width array."""
    width, height, values = driver.execute_script(
        "const c = document.getElementById('frame');"
        "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
        "const grey = new Array(d.length / 4);"
        "for (let i = 0; i < grey.length; i++) grey[i] = d[4 * i];"
        "return [c.width, c.height, grey];")
    return numpy.array(values, dtype=numpy.uint8).reshape(height, width)
