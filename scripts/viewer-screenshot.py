#!/usr/bin/python3
"""Regenerates docs/viewer.png: the viewer in headless Chromium at 1280x800, showing a frame of
a synthetic movie served by vemsim and `vem serve` from the Linux build.

Usage: scripts/viewer-screenshot.py [--build build/linux] [--out docs/viewer.png]"""

import argparse
import pathlib
import sys

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests" / "viewer"), str(ROOT / "tests" / "support")]
from viewer_session import Drive, chromium, wait_drawn, wait_for  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "linux"))
    parser.add_argument("--out", default=str(ROOT / "docs" / "viewer.png"))
    args = parser.parse_args()
    bin_dir = pathlib.Path(args.build) / "bin"
    drive = Drive(["--movie", "640x480x240:beads", "--movie", "320x240x90:calcium",
                   "--movie", "512x512x60:focus", "--movie", "160x120x30:dark"],
                  vem=str(bin_dir / "vem"), vemsim=str(bin_dir / "vemsim"))
    driver = chromium(1280, 800)
    try:
        driver.get(drive.page("#movie=2-calcium&frame=41"))
        wait_drawn(driver, "2-calcium", 41)
        assert wait_for(lambda: driver.execute_script(
            "return [...document.images].every((i) => i.complete && i.naturalWidth > 0)"), 10)
        driver.find_element(By.ID, "log").click()
        # The pointer over the frame last, so the readout shows a value.
        canvas = driver.find_element(By.ID, "frame")
        ActionChains(driver).move_to_element_with_offset(canvas, 40, -30).perform()
        assert wait_for(lambda: driver.find_element(By.ID, "readout").text != "", 5)
        driver.save_screenshot(args.out)
        print(f"wrote {args.out}")
    finally:
        driver.quit()
        drive.stop()


if __name__ == "__main__":
    main()
