"""Scrubbing the viewer in headless chromium: slider-to-pixels per step.

A day of the synthetic demo market (seed 0) behind the viewer with a
trailing window of 1% of the span (14.4 min: from_ts = cursor - window),
the spec from `window_spec` (about 150 heatmap buckets per window). The
page is driven by the slider:

- steps: the slider is set to each of STEPS cursors spread over the day
  and the next one waits until the frame for it is painted. One step is
  the time from the slider's input event to the first animation frame
  after the four panels are drawn (the page's own performance.now()).
  Its parts: fetch + JSON parse, and drawing; and, for comparison, the
  engine's frame_at alone on the same cursors (in-process, no server).
- drag: inputs every 16 ms (one per 60 Hz frame) for 3 s, as a fast drag;
  how many frames were drawn and how long after the last input its frame
  was painted.

    PYTHONPATH=python python bench/bench_view.py [--hours 24] [--steps 200]

Needs the [view] extra, selenium, and Debian's chromium + chromium-driver.
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import sys
import time
from typing import Any


def percentiles(values: list[float]) -> str:
    ordered = sorted(values)
    p95 = ordered[min(len(ordered) - 1, int(0.95 * len(ordered)))]
    return f"p50 {statistics.median(ordered):7.1f}  p95 {p95:7.1f}  max {ordered[-1]:7.1f} ms"


def browser(width: int, height: int):  # type: ignore[no-untyped-def]
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", f"--window-size={width},{height}",
                "--force-device-scale-factor=1", "--disable-dev-shm-usage"):
        options.add_argument(arg)
    return webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver") or "chromedriver"))


def wait_for(driver, script: str, *args: object, timeout: float = 30.0) -> object:  # type: ignore[no-untyped-def]
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script(script, *args)
        if value:
            return value
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out: {script}")
        time.sleep(0.002)


SET = "const s = document.getElementById('slider'); s.value = arguments[0]; s.dispatchEvent(new Event('input'));"
DRAWN = "return window.xray.lastDrawnTs === Number(document.getElementById('slider').value)"
# A drag inside the page: one input per 16 ms timer tick; answers when the
# frame of the last input is painted.
DRAG = """
const [cursors, done] = arguments, s = document.getElementById('slider');
let i = 0;
const tick = () => {
  s.value = cursors[i++]; s.dispatchEvent(new Event('input'));
  if (i < cursors.length) { setTimeout(tick, 16); return; }
  const want = Number(s.value);
  const check = () => window.xray.lastDrawnTs === want ? done(true) : requestAnimationFrame(check);
  requestAnimationFrame(check);
};
tick();
"""
# One step inside the page: move the slider, answer once its frame is painted
# (no polling from outside while the step runs).
STEP = """
const [ts, done] = arguments, s = document.getElementById('slider');
s.value = ts; s.dispatchEvent(new Event('input'));
const want = Number(s.value);
const check = () => window.xray.lastDrawnTs === want ? done(true) : requestAnimationFrame(check);
requestAnimationFrame(check);
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--hours", type=float, default=24.0)
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    from tarnix_xray import Session
    from tarnix_xray.synthetic import generate_market
    from tarnix_xray.view import Viewer, window_spec
    from tarnix_xray.view._server import running

    t = time.perf_counter()
    market: dict[str, Any] = generate_market(args.hours, seed=args.seed)
    print(f"market: {args.hours:g} h, {sum(len(v) for v in market.values()):,} rows, "
          f"generated in {time.perf_counter() - t:.1f} s")
    span = int(market["candles"]["ts"].iloc[-1] - market["candles"]["ts"].iloc[0]) + 60_000
    window = span // 100
    spec = window_spec(market, window)
    heat = next(p for p in spec["panels"] if p["kind"] == "book_heatmap")
    print(f"window {window / 60_000:.1f} min; heatmap bucket {heat['bucket_ms']} ms x {heat['depth_levels']} levels")

    def open_session(s: dict) -> Session:
        session = Session(s)
        session.load(**market)
        return session

    viewer = Viewer(open_session, spec, window_ms=window)
    reference = open_session(spec)
    bounds = reference.bounds()
    first = bounds.from_ts + window
    cursors = [first + (bounds.to_ts - first) * (i + 1) // args.steps for i in range(args.steps)]

    engine, sizes = [], []
    for ts in cursors:
        reference.set_spec({**spec, "from_ts": ts - window})
        t = time.perf_counter()
        text = reference.xray.command(f'{{"cmd":"frame_at","ts":{ts}}}')
        engine.append((time.perf_counter() - t) * 1000)
        sizes.append(len(text))

    driver = browser(1500, 900)
    try:
        with running(viewer.app) as url:
            driver.get(url)
            wait_for(driver, "return window.xray && window.xray.drawn > 0")
            driver.execute_script("window.xray.latencies.length = 0; window.xray.fetches.length = 0;"
                                  "window.xray.draws.length = 0;")
            driver.set_script_timeout(30)
            for ts in cursors:
                driver.execute_async_script(STEP, ts)
            time.sleep(0.1)
            steps = driver.execute_script("return window.xray.latencies")
            fetches = driver.execute_script("return window.xray.fetches")
            draws = driver.execute_script("return window.xray.draws")

            drawn_before = driver.execute_script("return window.xray.drawn")
            drag = [cursors[0] + (cursors[-1] - cursors[0]) * i // 188 for i in range(188)]
            driver.execute_script("window.xray.latencies.length = 0;")
            driver.execute_async_script(DRAG, drag)
            drawn = driver.execute_script("return window.xray.drawn") - drawn_before
            settle = driver.execute_script("return window.xray.latencies.at(-1)")
            errors = driver.execute_script("return window.xray.errors")
    finally:
        driver.quit()
        viewer.close()

    print(f"frame text: median {statistics.median(sizes) / 1000:.0f} KB")
    print(f"steps ({len(steps)}), slider-to-pixels  {percentiles(steps)}")
    print(f"  fetch + parse                   {percentiles(fetches)}")
    print(f"  draw (4 panels)                 {percentiles(draws)}")
    print(f"  engine frame_at (in-process)    {percentiles(engine)}")
    print(f"drag: {len(drag)} inputs over {len(drag) * 16 / 1000:.1f} s, {drawn} frames drawn, "
          f"last input to its frame painted {settle:.0f} ms")
    if errors:
        print("page errors:", errors)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
