#!/usr/bin/python3
"""Measures the viewer in headless Chromium over loopback: sustained playback of a 640x480
movie (frames the page drew per second) and the time from moving the slider to a drawn
2048x2048 frame. Prints the numbers docs/benchmarks.md records.

Usage: scripts/bench-viewer.py [--build build/linux] [--seconds 10]"""

import argparse
import pathlib
import statistics
import sys
import time

from selenium.webdriver.common.by import By

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests" / "viewer"), str(ROOT / "tests" / "support")]
from viewer_session import Drive, chromium, wait_drawn  # noqa: E402

# Moves the slider to arguments[0] as a user's drag does, then answers the milliseconds until
# the page reports that frame drawn (checked on every animation frame).
SLIDER_SCRIPT = """
const [target, done] = arguments;
const slider = document.getElementById('frame-slider');
const start = performance.now();
slider.value = target;
slider.dispatchEvent(new Event('input'));
const check = () => {
  const d = document.body.dataset;
  if (d.frame === String(target) && d.ready === '1') {
    done(performance.now() - start);
  } else {
    requestAnimationFrame(check);
  }
};
check();
"""


def drawn(driver):
    return int(driver.execute_script("return document.body.dataset.drawn || 0"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "linux"))
    parser.add_argument("--seconds", type=float, default=10)
    args = parser.parse_args()
    bin_dir = pathlib.Path(args.build) / "bin"
    drive = Drive(["--movie", "640x480x5000:play", "--movie", "2048x2048x24:large"],
                  vem=str(bin_dir / "vem"), vemsim=str(bin_dir / "vemsim"))
    driver = chromium(1280, 800)
    try:
        driver.get(drive.page("#movie=1-play&frame=0"))
        wait_drawn(driver, "1-play", 0)
        # The movie's own rate (vemsim stamps frames 8333 us apart), whatever the page found.
        rate = driver.find_element(By.ID, "rate")
        rate.clear()
        rate.send_keys("120")
        driver.find_element(By.ID, "play").click()
        time.sleep(1)  # past the start, so the rate is the sustained one
        first, start = drawn(driver), time.monotonic()
        time.sleep(args.seconds)
        count, elapsed = drawn(driver) - first, time.monotonic() - start
        driver.find_element(By.ID, "play").click()
        print(f"playback 640x480: {count} frames in {elapsed:.1f} s = {count / elapsed:.1f} "
              f"frames/s (movie rate {driver.find_element(By.ID, 'rate').get_attribute('value')})")

        # vemsim makes a synthetic frame the first time it is asked for; a drive has its
        # frames already. Each frame is asked for once before the clock runs.
        for frame in range(24):
            assert drive.get(f"api/v1/movies/2-large/frames/{frame}?format=raw")[0] == 200
        driver.get(drive.page("#movie=2-large&frame=0"))
        wait_drawn(driver, "2-large", 0, 30)
        driver.set_script_timeout(30)
        times, fetches = [], []
        for frame in range(1, 24, 2):
            times.append(driver.execute_async_script(SLIDER_SCRIPT, frame))
            # How much of it was the frame's transfer (request to last byte).
            fetches.append(driver.execute_script(
                "const e = performance.getEntriesByType('resource')"
                ".filter((r) => r.name.includes('/frames/' + arguments[0] + '?format=raw'));"
                "return e.length ? e[e.length - 1].duration : null;", frame))
        print(f"slider to drawn 2048x2048 frame: median {statistics.median(times):.0f} ms, "
              f"max {max(times):.0f} ms over {len(times)} moves; of which the frame's "
              f"transfer: median {statistics.median(fetches):.0f} ms")
    finally:
        driver.quit()
        drive.stop()


if __name__ == "__main__":
    main()
