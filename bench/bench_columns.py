"""Writing the "load" text from columns next to what a Python user would do.

One deterministic market history in numpy columns: trades (a random walk
around 30000 with tick 0.01, quantities with 3 decimals, random sides) and
book events of 50 bid and 50 ask levels (prices on a 0.1 tick around the
walk, quantities with 3 decimals). On the same data, in the same run:

- tarnix_xray._native.load_text(trades=..., book=...);
- DataFrame.to_json(orient="values", double_precision=15) of a trades frame
  and of a flat book-level frame (the text pandas writes for the same values);
- json.dumps of lists, timed alone and with the .tolist() that builds them.

Throughput is MB of text written per second (each writer's own text), best
of --repeat runs, by wall clock and by processor time (the machines are
shared; every writer here runs on one thread); "x" is the time of the same
data relative to load_text.

With --full-precision, trade prices and all quantities are full-precision
doubles instead (the general path of the exact text, not the short decimals).

Usage: PYTHONPATH=python python3 bench/bench_columns.py [--trades N] [--events N]
       [--levels N] [--repeat N] [--full-precision]
"""

from __future__ import annotations

import argparse
import json
import time
from typing import Callable

import numpy as np
import pandas as pd

from tarnix_xray import _native


def make_columns(trades: int, events: int, levels: int, full: bool = False,
                 seed: int = 7) -> dict[str, tuple]:
    rng = np.random.default_rng(seed)
    ts = 1_700_000_000_000 + np.cumsum(rng.integers(0, 50, trades)).astype(np.int64)
    ticks = 3_000_000 + np.cumsum(rng.integers(-3, 4, trades))
    price = ticks / 100.0
    qty = rng.integers(1, 5000, trades) / 1000.0
    side = rng.integers(0, 2, trades).astype(np.uint8)

    ev_ts = np.sort(rng.choice(ts, events)).astype(np.int64)
    kind = (np.arange(events) % 600 != 0).astype(np.uint8)  # a snapshot every 600 events
    mid = rng.integers(299_000, 301_000, events)
    steps = np.arange(1, levels + 1)
    bid_price = ((mid[:, None] - steps[None, :]) / 10.0).ravel()
    ask_price = ((mid[:, None] + steps[None, :]) / 10.0).ravel()
    bid_qty = rng.integers(0, 20000, events * levels) / 1000.0
    ask_qty = rng.integers(0, 20000, events * levels) / 1000.0
    offsets = np.arange(0, events * levels + 1, levels, dtype=np.int64)
    if full:  # full-precision doubles instead of short decimals: the general path
        price = price * (1 + rng.random(trades) * 1e-9)
        qty = qty * rng.random(trades)
        bid_qty = bid_qty * rng.random(events * levels)
        ask_qty = ask_qty * rng.random(events * levels)
    return {
        "trades": (ts, price, qty, side),
        "book": (ev_ts, kind, offsets, bid_price, bid_qty, offsets, ask_price, ask_qty),
    }


def best(fn: Callable[[], object], repeat: int) -> tuple[float, float, object]:
    """Best wall-clock and best processor time of repeat runs, and the output."""
    walls, cpus = [], []
    out: object = None
    for _ in range(repeat):
        out = None  # the previous output is released before the next run
        cpu, wall = time.process_time(), time.perf_counter()
        out = fn()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus), out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trades", type=int, default=2_000_000)
    parser.add_argument("--events", type=int, default=20_000)
    parser.add_argument("--levels", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--full-precision", action="store_true",
                        help="prices and quantities with all 17 digits")
    args = parser.parse_args()
    cols = make_columns(args.trades, args.events, args.levels, args.full_precision)
    ts, price, qty, side = cols["trades"]
    ev_ts, kind, offsets, bid_price, bid_qty, _, ask_price, ask_qty = cols["book"]
    levels = len(bid_price) + len(ask_price)
    print(f"{args.trades} trades, {args.events} book events, {levels} levels")

    names = np.array(["buy", "sell"], dtype=object)
    trades_df = pd.DataFrame({"ts": ts, "price": price, "qty": qty, "side": names[side]})
    levels_df = pd.DataFrame(
        {
            "price": np.concatenate([bid_price, ask_price]),
            "qty": np.concatenate([bid_qty, ask_qty]),
        }
    )

    def ours() -> str:
        return _native.load_text(trades=cols["trades"], book=cols["book"])

    def pandas_json() -> list[str]:
        return [
            trades_df.to_json(orient="values", double_precision=15),
            levels_df.to_json(orient="values", double_precision=15),
        ]

    trade_lists = [[int(a), float(b), float(c), str(d)] for a, b, c, d in
                   zip(ts.tolist(), price.tolist(), qty.tolist(), names[side].tolist())]
    level_lists = [[p, q] for p, q in zip(np.concatenate([bid_price, ask_price]).tolist(),
                                          np.concatenate([bid_qty, ask_qty]).tolist())]

    def dumps() -> str:
        return json.dumps({"trades": trade_lists, "levels": level_lists}, separators=(",", ":"))

    def tolist_dumps() -> str:
        t = [list(r) for r in zip(ts.tolist(), price.tolist(), qty.tolist(),
                                  names[side].tolist())]
        lv = [list(r) for r in zip(np.concatenate([bid_price, ask_price]).tolist(),
                                   np.concatenate([bid_qty, ask_qty]).tolist())]
        return json.dumps({"trades": t, "levels": lv}, separators=(",", ":"))

    rows = []
    for name, fn in [
        ("load_text", ours),
        ("DataFrame.to_json(double_precision=15)", pandas_json),
        ("json.dumps of lists", dumps),
        (".tolist() + json.dumps", tolist_dumps),
    ]:
        wall, cpu, out = best(fn, args.repeat)
        size = sum(len(t) for t in out) if isinstance(out, list) else len(out)
        rows.append((name, wall, cpu, size))
        del out
    base_wall, base_cpu = rows[0][1], rows[0][2]
    print(f"{'writer':40} {'MB':>6} {'wall s':>7} {'MB/s':>6} {'cpu s':>7} {'MB/s':>6}"
          f" {'x wall':>7} {'x cpu':>6}")
    for name, wall, cpu, size in rows:
        mb = size / 1e6
        print(f"{name:40} {mb:6.1f} {wall:7.3f} {mb / wall:6.0f} {cpu:7.3f} {mb / cpu:6.0f}"
              f" {wall / base_wall:7.1f} {cpu / base_cpu:6.1f}")


if __name__ == "__main__":
    main()
