"""The seam between the package and its engine, measured in one run.

Loads: a DataFrame of trades (full-precision floats, and prices on a tick
grid) and of L2 book rows into a Session, against
  - DataFrame.to_json(orient="values", double_precision=15) of the same frame,
  - the text route: the same checked columns written by load_text and loaded
    with Xray.command("load") (how Session.load worked before it took columns),
  - with --baseline-python, Session.load of another install (an earlier
    version) on the same DataFrame, in a child process,
and the peak memory of the columns load above the columns themselves, in a
child process of its own.

Frames: the market of shared/bench-peers at size M, four panels and the
liquidation map alone: Session.frame (arrays) against Xray.command +
json.loads, and against Frame.from_json (the text read into the same arrays).

    PYTHONPATH=python python bench/bench_seam.py [--trades 2000000] [--levels 1000000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np
import pandas as pd

from tarnix_xray import Frame, Session, Xray
from tarnix_xray.data import dataset

SPEC = {"dataset_ref": "bench", "symbol": "BENCH",
        "panels": [{"kind": "footprint", "price_bin": 5.0}, {"kind": "book_heatmap", "price_bin": 5.0}]}  # fmt: skip
START_MS = 1_764_547_200_000
PEERS = Path(__file__).resolve().parents[2] / "shared" / "bench-peers"


def trades_frame(n: int, tick: bool, seed: int = 5) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    price = 30_000 + np.cumsum(rng.normal(0, 2, n))
    qty = rng.lognormal(0, 1, n)
    if tick:
        price, qty = np.round(price, 1), np.round(qty, 4)
    return pd.DataFrame({"ts": START_MS + np.sort(rng.integers(0, 4 * 3_600_000, n)), "price": price,
                         "qty": qty, "side": np.where(rng.random(n) < 0.5, "buy", "sell")})  # fmt: skip


def book_frame(levels: int, seed: int = 6) -> pd.DataFrame:
    """Snapshots of 40 levels every 500 events, diffs of 10; full-precision quantities."""
    rng = np.random.default_rng(seed)
    per_event = np.where(np.arange(levels // 10) % 500 == 0, 40, 10)
    event = np.repeat(np.arange(len(per_event)), per_event)[:levels]
    ts = START_MS + np.sort(rng.integers(0, 4 * 3_600_000, len(per_event)))
    return pd.DataFrame({"ts": ts[event], "is_snapshot": per_event[event] == 40,
                         "side": np.where(rng.random(levels) < 0.5, "bid", "ask"),
                         "price": np.round(30_000 + rng.normal(0, 50, levels), 1),
                         "qty": rng.lognormal(0, 1, levels)})  # fmt: skip


def timed(step: Callable[[], Any], repeat: int) -> tuple[float, Any]:
    """Median seconds of `repeat` runs, and the last result."""
    seconds, result = [], None
    for _ in range(repeat):
        gc.collect()
        began = time.perf_counter()
        result = step()
        seconds.append(time.perf_counter() - began)
    return statistics.median(seconds), result


def baseline_load(python: str, df: pd.DataFrame, repeat: int) -> float:
    """Median seconds of Session.load of the same rows under another interpreter."""
    path = Path(os.environ.get("TMPDIR", "/tmp")) / "bench_seam_baseline.parquet"
    df.to_parquet(path)
    kind = "book" if "is_snapshot" in df else "trades"
    code = f"""
import gc, statistics, time, pandas as pd
from tarnix_xray import Session
df = pd.read_parquet({str(path)!r})
seconds = []
for _ in range({repeat}):
    gc.collect()
    began = time.perf_counter()
    Session({SPEC!r}).load({kind}=df)
    seconds.append(time.perf_counter() - began)
print(statistics.median(seconds))
"""
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
    path.unlink()
    return float(out.stdout.strip())


def per_call(step: Callable[[], Any], calls: int) -> float:
    """Median seconds of one call over `calls` back-to-back calls, as a scrub makes them."""
    seconds = []
    for _ in range(calls):
        began = time.perf_counter()
        step()
        seconds.append(time.perf_counter() - began)
    return statistics.median(seconds)


def load_rows(name: str, df: pd.DataFrame, repeat: int, baseline: str | None) -> dict[str, Any]:
    lists = {"book" if "is_snapshot" in df else "trades": df}
    t_json, _ = timed(lambda: df.to_json(orient="values", double_precision=15), repeat)
    t_session, _ = timed(lambda: Session(SPEC).load(**lists), repeat)
    t_check, checked = timed(lambda: dataset(**lists), repeat)
    engine = Session(SPEC)._engine
    t_columns, _ = timed(lambda: engine.load_columns(**checked.lists), repeat)
    t_text, text = timed(checked.load_text, repeat)
    xray = Xray(json.dumps(SPEC))
    t_engine_text, _ = timed(lambda: xray.command(text), repeat)
    old = t_check + t_text + t_engine_text
    row = {"rows": name, "session.load s": t_session, "check+columns s": t_check,
           "columns load s": t_columns, "text route s": old, "to_json s": t_json,
           "x to_json": t_json / t_session, "x text route": old / t_session}  # fmt: skip
    if baseline:
        t_base = baseline_load(baseline, df, repeat)
        row |= {"baseline load s": t_base, "x baseline": t_base / t_session}
    return row | {"peak / columns": peak_ratio(lists)}


def peak_ratio(lists: dict[str, pd.DataFrame]) -> float:
    """Peak resident memory of load_columns above the columns held, over the columns' bytes.

    In a child process that holds nothing but the columns (read from .npy
    files), so no freed heap of the DataFrame's conversion is there to reuse.
    """
    kind = next(iter(lists))
    checked = dataset(**lists).lists[kind]
    folder = Path(os.environ.get("TMPDIR", "/tmp"))
    paths = [folder / f"bench_seam_{kind}_{i}.npy" for i in range(len(checked))]
    for path, column in zip(paths, checked):
        np.save(path, column)
    code = f"""
import resource, threading, numpy as np
from tarnix_xray._native import Engine
columns = tuple(np.load(p) for p in {[str(p) for p in paths]!r})
engine = Engine({json.dumps(SPEC)!r})
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * resource.getpagesize()
before = peak = rss()
stop = threading.Event()
def watch():
    global peak
    while not stop.is_set():
        peak = max(peak, rss())
        stop.wait(0.0002)
watcher = threading.Thread(target=watch)
watcher.start()
engine.load_columns({kind}=columns)
stop.set()
watcher.join()
print((max(peak, rss()) - before) / sum(c.nbytes for c in columns))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    for path in paths:
        path.unlink()
    return float(out.stdout.strip())


def frames(repeat: int) -> list[dict[str, Any]]:
    sys.path.insert(0, str(PEERS))
    import gen_market  # noqa: PLC0415 - the yardstick's own generator

    path = Path(os.environ.get("TMPDIR", "/tmp")) / "bench_seam_market_M.json"
    if not path.exists():
        gen_market.generate(str(path), gen_market.PRESETS["M"], seed=gen_market.DEFAULTS["seed"])
    text = path.read_text()
    panels = [{"kind": "footprint", "price_bin": 1.0, "bucket_ms": 60000},
              {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 60000, "depth_levels": 40},
              {"kind": "liquidation_map", "price_bin": 10.0},
              {"kind": "funding_oi_divergence", "bucket_ms": 60000}]  # fmt: skip
    rows = []
    for label, chosen in (("all four", panels), ("liquidation_map", panels[2:3])):
        spec = {"dataset_ref": "synthetic", "symbol": "SYNTH-PERP", "panels": chosen}
        session, xray = Session(spec), Xray(json.dumps(spec))
        session.load_json(text, command=True)
        xray.command(text)
        assert session.frame_text() == xray.command('{"cmd":"frame"}')
        reps = repeat * 40
        t_arrays = per_call(session.frame, reps)
        t_loads = per_call(lambda: json.loads(xray.command('{"cmd":"frame"}')), reps)
        t_parsed = per_call(lambda: Frame.from_json(xray.command('{"cmd":"frame"}')), reps)
        rows.append({"frame": label, "Session.frame ms": 1e3 * t_arrays,
                     "command+json.loads ms": 1e3 * t_loads, "Frame.from_json ms": 1e3 * t_parsed,
                     "x json.loads": t_loads / t_arrays, "x from_json": t_parsed / t_arrays})  # fmt: skip
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trades", type=int, default=2_000_000)
    parser.add_argument("--levels", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--baseline-python", help="an interpreter with an earlier install, for its Session.load")
    args = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f}")
    base = args.baseline_python
    loads = [load_rows(f"{args.trades:,} trades, full precision", trades_frame(args.trades, False), args.repeat, base),
             load_rows(f"{args.trades:,} trades, 0.1 tick", trades_frame(args.trades, True), args.repeat, base),
             load_rows(f"{args.levels:,} book levels", book_frame(args.levels), args.repeat, base)]  # fmt: skip
    print(pd.DataFrame(loads).set_index("rows").round(3).to_string())
    print()
    print(pd.DataFrame(frames(args.repeat)).set_index("frame").round(3).to_string())
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
