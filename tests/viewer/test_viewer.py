# The viewer page in headless Chromium against `vem serve` and vemsim: token, list, frames,
# readout, times, contrast, live list changes, deep links, and a console free of errors.
import io
import subprocess
import urllib.parse

import numpy
import pytest
import tifffile
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from sim_drive import VEM, synthetic, wait_for
from viewer_session import Drive, canvas_grey, chromium, mapped, percentile_limits, wait_drawn

# number -> (width, height, frames, entry name). Odd sides catch row-stride mistakes.
MOVIES = {1: (64, 48, 12, "1-sim"), 2: (37, 23, 6, "2-odd r&d #1")}
ARGS = ["--movie", "64x48x12", "--movie", "37x23x6:odd r&d #1"]


@pytest.fixture(scope="module")
def drive():
    if subprocess.run([VEM, "serve", "--help"], capture_output=True).returncode != 0:
        pytest.skip("this vem has no serve command")
    with Drive(ARGS) as served:
        yield served


@pytest.fixture(scope="module")
def browser():
    driver = chromium()
    yield driver
    driver.quit()


@pytest.fixture
def page(drive, browser):
    """The browser on the viewer; after the test, its console must hold no error."""
    browser.get_log("browser")
    yield browser
    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == [], errors


def open_movie(driver, drive, number, frame=0, limits=""):
    """Opens the viewer on a deep link to `frame` of movie `number` and waits until drawn."""
    name = MOVIES[number][3]
    driver.get(drive.page(f"#movie={urllib.parse.quote(name, safe='')}&frame={frame}{limits}"))
    wait_drawn(driver, name, frame)
    return driver.find_element(By.ID, "frame")


def listed(driver, shown_only=False):
    """The names of the list's items (in one script: items come and go while it runs)."""
    return sorted(driver.execute_script(
        "return [...document.querySelectorAll('#movie-list [data-movie]')]"
        ".filter((item) => !arguments[0] || !item.hidden).map((item) => item.dataset.movie)",
        shown_only))


def point_at(driver, canvas, x, y, width, height):
    """The viewport point (CSS pixels) at the centre of frame pixel (x, y), at any zoom."""
    box = driver.execute_script("return arguments[0].getBoundingClientRect().toJSON()", canvas)
    return (round(box["left"] + (x + 0.5) * box["width"] / width),
            round(box["top"] + (y + 0.5) * box["height"] / height))


def readout_at(driver, canvas, x, y, width, height):
    """Moves the pointer over frame pixel (x, y) and returns the readout."""
    actions = ActionBuilder(driver)
    actions.pointer_action.move_to_location(*point_at(driver, canvas, x, y, width, height))
    actions.perform()
    return driver.find_element(By.ID, "readout").text


def test_token_required(drive, browser):
    assert drive.get("", token=False)[0] == 401
    browser.get(drive.base)
    assert browser.find_elements(By.ID, "frame") == []
    # The refused page's errors are expected: its own 401, and the icon Chromium then asks
    # for (the refused page names none), which may come in late.
    browser.get(drive.page())
    assert wait_for(lambda: listed(browser) == sorted(m[3] for m in MOVIES.values()), 10), \
        listed(browser)
    # The token leaves the address once the cookie holds it.
    assert "token" not in browser.current_url
    refused = [f"{drive.base} -", f"{drive.base}favicon.ico -"]
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"
            and not any(e["message"].startswith(r) for r in refused)] == []


def test_frames_readout_times_and_contrast(drive, page):
    width, height, frames, name = MOVIES[1]
    canvas = open_movie(page, drive, 1)
    raw = synthetic(1, 0, width, height)
    assert (page.execute_script("return [arguments[0].width, arguments[0].height]", canvas)
            == [width, height])
    # Auto contrast per frame: 0.1-99.9 percentiles of the shown frame.
    lo, hi = percentile_limits(raw)
    assert [page.find_element(By.ID, i).get_attribute("value") for i in ("lo", "hi")] \
        == [str(lo), str(hi)]
    assert numpy.array_equal(canvas_grey(page), mapped(raw, lo, hi))
    for x, y in [(0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1), (17, 29),
                 (3, 2)]:
        assert readout_at(page, canvas, x, y, width, height) == f"{x} {y} {raw[y, x]}"

    # ArrowRight: frame 1, its time absolute and since frame 0 (movie 1 records at
    # 2024-02-14 10:30:00.250 UTC, frames 8333 us apart).
    page.find_element(By.TAG_NAME, "body").send_keys(Keys.ARROW_RIGHT)
    wait_drawn(page, name, 1)
    assert page.find_element(By.ID, "frame-index").get_attribute("value") == "1"
    # The times come beside the first frame, perhaps after it.
    frame_time = page.find_element(By.ID, "frame-time")
    assert wait_for(lambda: frame_time.get_attribute("textContent").split()
                    == ["2024-02-14T10:30:00.258333Z", "+0.008333", "s"], 5), \
        frame_time.get_attribute("textContent")
    raw = synthetic(1, 1, width, height)
    # The readout follows the frame under a pointer that did not move.
    assert page.find_element(By.ID, "readout").text == f"3 2 {raw[2, 3]}"

    # Manual limits: the canvas follows the mapping, and the link carries them.
    for lo, hi in [(20000, 40000), (0, 65535), (30000, 30000)]:
        for box, value in (("lo", lo), ("hi", hi)):
            field = page.find_element(By.ID, box)
            field.clear()
            field.send_keys(str(value), Keys.TAB)
        assert wait_for(lambda: numpy.array_equal(canvas_grey(page), mapped(raw, lo, hi)), 5), \
            (lo, hi)
    assert wait_for(lambda: page.execute_script("return location.hash")
                    == "#movie=1-sim&frame=1&lo=30000&hi=30000", 3)
    # Manual limits stay for the next frame.
    page.find_element(By.TAG_NAME, "body").send_keys(Keys.END)
    wait_drawn(page, name, frames - 1)
    assert numpy.array_equal(canvas_grey(page),
                             mapped(synthetic(1, frames - 1, width, height), 30000, 30000))
    page.find_element(By.ID, "reset").click()
    lo, hi = percentile_limits(synthetic(1, frames - 1, width, height))
    assert wait_for(lambda: page.find_element(By.ID, "lo").get_attribute("value") == str(lo), 3)


def test_deep_link(drive, page):
    width, height, frames, name = MOVIES[2]
    canvas = open_movie(page, drive, 2, 4, "&lo=100&hi=40000")
    raw = synthetic(2, 4, width, height)
    assert numpy.array_equal(canvas_grey(page), mapped(raw, 100, 40000))
    assert page.find_element(By.ID, "frame-index").get_attribute("value") == "4"
    assert page.find_element(By.CSS_SELECTOR, "#movie-list li.selected") \
        .get_attribute("data-movie") == name
    assert readout_at(page, canvas, 36, 22, width, height) == f"36 22 {raw[22, 36]}"
    # The details' download links reach the server: the movie's OME-TIFF and the frame range's
    # export hold the movie's frames, in order.
    for link, count in (("download-ome", frames), ("download-range", frames)):
        href = page.find_element(By.ID, link).get_attribute("href")
        status, body = drive.get(href[len(drive.base):])
        assert status == 200, (link, href, body[:200])
        stack = tifffile.imread(io.BytesIO(body))
        assert stack.shape == (count, height, width), link
        assert numpy.array_equal(stack[4], raw), link


def test_list_follows_the_drive(drive, page):
    page.get(drive.page())
    before = sorted(m[3] for m in MOVIES.values())
    assert wait_for(lambda: listed(page) == before, 10)
    entry = drive.add(32, 24, 3, "extra")
    assert wait_for(lambda: entry["entry"] in listed(page), 3), listed(page)
    # The new movie's thumbnail (its middle frame as 8 bits) loaded.
    assert wait_for(lambda: page.execute_script(
        "const i = document.querySelector(`[data-movie='${arguments[0]}'] img`);"
        "return i && i.complete && i.naturalWidth", entry["entry"]) == 32, 5)
    drive.ctl("remove", entry["index"])
    assert wait_for(lambda: listed(page) == before, 3), listed(page)


def test_filter_and_play(drive, page):
    width, height, frames, name = MOVIES[1]
    open_movie(page, drive, 1)
    page.find_element(By.ID, "filter").send_keys("odd")
    assert listed(page, shown_only=True) == [MOVIES[2][3]]
    # Playing runs to the last frame and stops there, drawing every frame on the way.
    drawn = int(page.execute_script("return document.body.dataset.drawn"))
    page.find_element(By.ID, "play").click()
    wait_drawn(page, name, frames - 1, 15)
    assert wait_for(lambda: page.find_element(By.ID, "play").text == "Play", 5)
    assert int(page.execute_script("return document.body.dataset.drawn")) == drawn + frames - 1


def test_zoom_pan_and_histogram_marks(drive, page):
    width, height, frames, name = MOVIES[1]
    canvas = open_movie(page, drive, 1, 2)
    raw = synthetic(1, 2, width, height)
    body = page.find_element(By.TAG_NAME, "body")
    fitted = page.execute_script("return arguments[0].getBoundingClientRect().width", canvas)
    body.send_keys("+", "+", "+")
    assert page.execute_script("return arguments[0].getBoundingClientRect().width", canvas) \
        == pytest.approx(fitted * 1.25 ** 3, rel=1e-3)
    # Pan by dragging the frame: the pixel under the pointer moves with it.
    start = point_at(page, canvas, 30, 22, width, height)
    actions = ActionBuilder(page)
    actions.pointer_action.move_to_location(*start).pointer_down() \
        .move_to_location(start[0] - 45, start[1] - 25).pointer_up()
    actions.perform()
    assert page.find_element(By.ID, "readout").text == f"30 22 {raw[22, 30]}"
    # The readout stays exact on the zoomed, panned frame, at its edges too.
    for x, y in [(31, 23), (29, 21), (40, 30)]:
        assert readout_at(page, canvas, x, y, width, height) == f"{x} {y} {raw[y, x]}"
    body.send_keys("f")

    # Dragging the high mark to the middle of the histogram makes the limits manual.
    histogram = page.find_element(By.ID, "histogram")
    box = page.execute_script("return arguments[0].getBoundingClientRect().toJSON()", histogram)
    lo, hi = percentile_limits(raw)
    # The histogram's axis (docs/viewer.md): the frame's range and the limits, 2 % margin.
    low, high = min(int(raw.min()), lo), max(int(raw.max()), hi)
    margin = max(1, round((high - low) * 0.02))
    low, high = max(0, low - margin), min(65535, high + margin)
    mark_x = box["left"] + (hi - low) / (high - low) * box["width"]
    middle_y = box["top"] + box["height"] / 2
    actions = ActionBuilder(page)
    actions.pointer_action.move_to_location(round(mark_x) - 1, round(middle_y)).pointer_down() \
        .move_to_location(round(box["left"] + box["width"] / 2), round(middle_y)).pointer_up()
    actions.perform()
    assert page.find_element(By.ID, "mode").get_attribute("value") == "manual"
    new_hi = int(page.find_element(By.ID, "hi").get_attribute("value"))
    assert abs(new_hi - (low + high) / 2) <= (high - low) / box["width"] + 1, new_hi
    assert page.find_element(By.ID, "lo").get_attribute("value") == str(lo)
    assert numpy.array_equal(canvas_grey(page), mapped(raw, lo, new_hi))
