"""The viewer in a real headless browser: the page loads the demo market,
draws four non-empty panels (read back from the canvases' pixels), follows
the slider and the arrow keys, shows a refused spec's message in place, and
logs no errors. Needs Debian's chromium and chromium-driver and selenium;
skipped with the reason when any is missing.

XRAY_VIEWER_SCREENSHOT=PATH also saves the page there (docs/viewer.png).
"""

import calendar
import itertools
import json
import os
import shutil
import time
import urllib.request
from pathlib import Path

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")

from tarnix_xray import Session
from tarnix_xray.synthetic import generate_market
from tarnix_xray.view import Viewer, window_spec
from tarnix_xray.view._server import running

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")
pytestmark = [
    pytest.mark.skipif(CHROMIUM is None, reason="no chromium: apt-get install chromium"),
    pytest.mark.skipif(DRIVER is None, reason="no chromedriver: apt-get install chromium-driver"),
]
WINDOW_MS = 120_000
BG, GRID = (23, 26, 33), (38, 43, 54)
BUY, SELL = (67, 197, 158), (239, 95, 95)
LONG, SHORT = (255, 92, 138), (124, 212, 255)
CLOSE, FUNDING, OI = (79, 195, 247), (245, 215, 110), (179, 157, 219)
EMPTY_CELL = (20, 24, 48)  # the colour scale's bottom

# Counts, inside the plot area of a canvas, the pixels near each colour and
# those that are neither background nor grid; and a hash of the area.
PIXELS_JS = """
const [id, colours, tol, m] = arguments;
const c = document.getElementById(id), r = window.devicePixelRatio || 1;
const x0 = Math.round(m[0] * r), y0 = Math.round(m[1] * r);
const w = c.width - x0 - Math.round(m[2] * r), h = c.height - y0 - Math.round(m[3] * r);
const d = c.getContext("2d").getImageData(x0, y0, w, h).data;
const near = (i, k) => Math.abs(d[i] - k[0]) <= tol && Math.abs(d[i + 1] - k[1]) <= tol && Math.abs(d[i + 2] - k[2]) <= tol;
const counts = colours.map(() => 0);
let ink = 0, hash = 2166136261;
for (let i = 0; i < d.length; i += 4) {
  if (!near(i, BG) && !near(i, GRID)) ink++;
  colours.forEach((k, n) => { if (near(i, k)) counts[n]++; });
  hash = Math.imul(hash ^ (d[i] + 3 * d[i + 1] + 7 * d[i + 2]), 16777619) >>> 0;
}
return {counts, ink, area: w * h, hash};
""".replace("BG", str(list(BG))).replace("GRID", str(list(GRID)))
PLOT = [64, 10, 58, 24]  # the page's margins: left, top, right, bottom


@pytest.fixture(scope="module")
def market():
    return generate_market(0.25, seed=2)


@pytest.fixture(scope="module")
def server(market):
    def open_session(spec):
        session = Session(spec)
        session.load(**market)
        return session

    viewer = Viewer(open_session, window_spec(market, WINDOW_MS), window_ms=WINDOW_MS)
    with running(viewer.app) as url:
        yield url
    viewer.close()


@pytest.fixture(scope="module")
def browser(server):
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1500,900",
                "--hide-scrollbars", "--force-device-scale-factor=1", "--disable-dev-shm-usage"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service(DRIVER))
    driver.get(server)
    wait_for(driver, "return window.xray && window.xray.drawn > 0")
    yield driver
    driver.quit()


def wait_for(driver, script, *args, timeout=15.0):
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script(script, *args)
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for: {script}")
        time.sleep(0.02)


def move_slider(driver, ts):
    driver.execute_script("const s = document.getElementById('slider'); s.value = arguments[0];"
                          "s.dispatchEvent(new Event('input'));", ts)
    return wait_for(driver, "return window.xray.lastDrawnTs === Number(document.getElementById('slider').value)"
                            " && window.xray.lastDrawnTs", )


def pixels(driver, canvas, *colours, tol=6):
    return driver.execute_script(PIXELS_JS, canvas, [list(c) for c in colours], tol, PLOT)


def errors(driver, allow=()):
    logs = driver.get_log("browser")
    return [e for e in logs if e["level"] == "SEVERE" and not any(a in e["message"] for a in allow)]


def utc_text(ms):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(ms // 1000)) + f".{ms % 1000:03d}"


def api(server, path):
    with urllib.request.urlopen(f"{server}api/{path}") as response:
        return json.loads(response.read())


def submit_depth(browser, value):
    field = browser.find_element("css selector", "input[name='1.depth_levels']")
    field.clear()
    field.send_keys(value)
    browser.find_element("css selector", "#spec-form button[type=submit]").click()


def test_the_page_draws_four_panels(browser, server, market):
    # A cursor just after a burst of liquidations, so the window holds bubbles.
    cursor = int(market["liquidations"]["ts"].iloc[3]) + 20_000
    drawn = move_slider(browser, cursor)
    frame = api(server, f"frame?ts={drawn}")
    kinds = {p["kind"]: p for p in frame["panels"]}
    assert kinds["liquidation_map"]["events"] and kinds["book_heatmap"]["time"]

    heat = pixels(browser, "heatmap", LONG, SHORT, CLOSE, EMPTY_CELL, tol=8)
    assert heat["ink"] > 0.5 * heat["area"], heat  # the book image fills the plot
    assert heat["ink"] - heat["counts"][3] > 0.1 * heat["area"], "no resting quantity drawn"
    assert heat["counts"][0] + heat["counts"][1] > 30, "no liquidation bubbles drawn"
    assert heat["counts"][2] > 20, "no close line over the heatmap"
    fp = pixels(browser, "footprint", BUY, SELL, tol=2)
    assert min(fp["counts"]) > 20, fp
    series = pixels(browser, "series", CLOSE, FUNDING, OI, tol=10)
    assert min(series["counts"]) > 30, series
    assert browser.find_element("id", "cursor-time").text == utc_text(frame["cursor_ts"])
    assert errors(browser) == []
    shot = os.environ.get("XRAY_VIEWER_SCREENSHOT")
    if shot:
        browser.save_screenshot(str(Path(shot)))


HOVERS = [  # canvas, offset from its centre, what the read-out must say
    ("heatmap", (0, 0), r"^time 2026-03-02 \d\d:\d\d:\d\d UTC · price [\d.]+ · resting qty [\d.e+-]+ at [\d.]+$"),
    ("footprint", (0, 0), r"^price [\d.]+"),
    ("series", (0, 0), r"^time 2026-03-02 \d\d:\d\d:\d\d UTC · price [\d.]+, funding [\d.e+-]+, open interest [\d.]+$"),
]


@pytest.mark.parametrize("canvas, offset, pattern", HOVERS)
def test_hover_reads_out_time_price_and_quantity(browser, server, canvas, offset, pattern):
    import re

    from selenium.webdriver.common.action_chains import ActionChains

    ActionChains(browser).move_to_element_with_offset(browser.find_element("id", canvas), *offset).perform()
    text = browser.find_element("id", "readout").text
    assert re.match(pattern, text), text
    if canvas == "heatmap":  # the cell named is the frame's own (1 s buckets: the second names it)
        drawn = browser.execute_script("return window.xray.lastDrawnTs")
        heat = next(p for p in api(server, f"frame?ts={drawn}")["panels"] if p["kind"] == "book_heatmap")
        when = re.search(r"time (\S+ \S+) UTC", text).group(1)
        qty, at = re.search(r"resting qty (\S+) at (\S+)$", text).groups()
        k = heat["time"].index(calendar.timegm(time.strptime(when, "%Y-%m-%d %H:%M:%S")) * 1000)
        i = heat["price"].index(float(at))
        assert float(qty) == pytest.approx(heat["intensity"][k][i], rel=1e-3)


def test_the_slider_and_arrow_keys_move_the_cursor_and_the_heatmap(browser, server, market):
    bounds = api(server, "bounds")
    start = move_slider(browser, bounds["to_ts"] - 300_000)
    before = pixels(browser, "heatmap")["hash"]
    moved = move_slider(browser, bounds["to_ts"] - 60_000)
    assert moved != start and pixels(browser, "heatmap")["hash"] != before
    assert browser.find_element("id", "cursor-time").text == utc_text(api(server, f"frame?ts={moved}")["cursor_ts"])

    step = next(p["bucket_ms"] for p in window_spec(market, WINDOW_MS)["panels"] if p["kind"] == "book_heatmap")
    from selenium.webdriver.common.keys import Keys

    browser.find_element("id", "slider").send_keys(Keys.ARROW_LEFT)
    left = wait_for(browser, "return window.xray.lastDrawnTs !== arguments[0] && window.xray.lastDrawnTs", moved)
    assert left == moved - step
    browser.find_element("tag name", "body").send_keys(Keys.ARROW_RIGHT)
    right = wait_for(browser, "return window.xray.lastDrawnTs !== arguments[0] && window.xray.lastDrawnTs", left)
    assert right == moved
    assert errors(browser) == []


def test_dragging_ends_on_the_last_cursor_asked(browser, server):
    bounds = api(server, "bounds")
    targets = [bounds["from_ts"] + k * 7_000 for k in range(40, 80)]
    drawn_before = browser.execute_script("return window.xray.drawn")
    browser.execute_script("const s = document.getElementById('slider');"
                           "for (const t of arguments[0]) { s.value = t; s.dispatchEvent(new Event('input')); }",
                           targets)
    last = int(browser.execute_script("return Number(document.getElementById('slider').value)"))
    wait_for(browser, "return window.xray.lastDrawnTs === arguments[0]", last)
    time.sleep(0.3)
    drawn = browser.execute_script("return window.xray.drawn") - drawn_before
    # Coalesced: far fewer frames than inputs, and the last one drawn is the last asked.
    assert 1 <= drawn < len(targets) // 2
    assert browser.execute_script("return window.xray.lastDrawnTs") == last


def test_a_refused_spec_shows_its_message_in_place(browser, server):
    good = browser.find_element("css selector", "input[name='1.depth_levels']").get_attribute("value")
    submit_depth(browser, "0")
    message = wait_for(browser, "return document.getElementById('spec-error').textContent")
    assert message == "bad spec: book_heatmap depth_levels must be > 0"
    # The refusal comes as a 422, which the browser itself logs; nothing else may.
    assert errors(browser, allow=("/api/spec",)) == []

    submit_depth(browser, str(int(good) // 2))
    wait_for(browser, "return document.getElementById('spec-error').textContent === ''")
    assert api(server, "spec")["spec"]["panels"][1]["depth_levels"] == int(good) // 2
    assert errors(browser) == []


def test_play_steps_forward_one_bucket_at_a_time_until_paused(browser, server, market):
    start = move_slider(browser, api(server, "bounds")["from_ts"] + 200_000)
    browser.execute_script("window.__seen = []; const f = () => { window.__seen.push(window.xray.lastDrawnTs);"
                           " window.__watch = requestAnimationFrame(f); }; f();")
    browser.find_element("id", "play").click()
    wait_for(browser, "return new Set(window.__seen).size >= 6")
    browser.find_element("id", "play").click()
    assert browser.find_element("id", "play").text == "▶ play"
    time.sleep(0.3)
    drawn = list(dict.fromkeys(browser.execute_script("cancelAnimationFrame(window.__watch); return window.__seen")))
    step = next(p["bucket_ms"] for p in window_spec(market, WINDOW_MS)["panels"] if p["kind"] == "book_heatmap")
    assert drawn[0] == start and len(drawn) >= 6
    assert all(b - a == step for a, b in itertools.pairwise(drawn)), drawn
    paused = browser.execute_script("return window.xray.lastDrawnTs")
    time.sleep(0.3)
    assert browser.execute_script("return window.xray.lastDrawnTs") == paused == drawn[-1]
    assert errors(browser) == []
