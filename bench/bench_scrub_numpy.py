"""Scrubbing as a Python user would do it with numpy: 100 footprint frames
over a window of 1% of a day of trades, the window found by a boolean mask
over the whole arrays (the obvious way) or by np.searchsorted, the footprint
by np.floor, rounding, np.unique and np.bincount, the frame text by
json.dumps. Same trade stream shape as bench_frame (20 trades/s, random walk
around 30000, tick 0.1).

    python3 bench/bench_scrub_numpy.py [hours]
"""

import json
import sys
import time

import numpy as np


def trades(hours, seed=7):
    rng = np.random.default_rng(seed)
    n = int(hours * 3600 * 20)
    ts = 1_700_000_000_000 + np.cumsum(rng.exponential(50.0, n)).astype(np.int64)
    mid = 30000.0 + 0.1 * np.cumsum(np.round(rng.normal(0.0, 0.6, n)))
    buy = rng.integers(0, 2, n).astype(bool)
    price = np.round((mid + np.where(buy, 0.05, -0.05)) * 10) / 10
    qty = np.round(rng.exponential(0.2, n) * 1000) / 1000 + 0.001
    return ts, price, qty, buy


def round8(x):
    return np.round(x * 1e8) / 1e8  # numpy rounds halves to even: close enough here


def footprint(price, qty, buy, price_bin):
    keys = round8(np.floor(price / price_bin) * price_bin)
    bins, index = np.unique(keys, return_inverse=True)
    buy_vol = np.bincount(index, weights=np.where(buy, qty, 0.0), minlength=len(bins))
    sell_vol = np.bincount(index, weights=np.where(buy, 0.0, qty), minlength=len(bins))
    return {"kind": "footprint", "price_bins": round8(bins).tolist(),
            "buy_vol": round8(buy_vol).tolist(), "sell_vol": round8(sell_vol).tolist()}


def scrub(ts, price, qty, buy, window_ms, cut):
    first, last = int(ts[0]), int(ts[-1])
    t0 = time.perf_counter()
    for i in range(100):
        cursor = first + window_ms + (last - first - window_ms) * (i + 1) // 100
        lo, hi = cut(ts, cursor - window_ms, cursor)
        panel = footprint(price[lo:hi] if hi is not None else price[lo],
                          qty[lo:hi] if hi is not None else qty[lo],
                          buy[lo:hi] if hi is not None else buy[lo], 0.5)
        json.dumps({"symbol": "BTCUSDT", "cursor_ts": cursor, "panels": [panel]},
                   separators=(",", ":"))
    return (time.perf_counter() - t0) * 1000 / 100


def by_mask(ts, lo, hi):
    return (ts >= lo) & (ts <= hi), None


def by_search(ts, lo, hi):
    return np.searchsorted(ts, lo, "left"), np.searchsorted(ts, hi, "right")


def main():
    hours = float(sys.argv[1]) if len(sys.argv) > 1 else 24
    ts, price, qty, buy = trades(hours)
    span = int(ts[-1] - ts[0])
    print(f"{len(ts)} trades over {hours:g} h")
    for name, cut in (("boolean mask", by_mask), ("searchsorted", by_search)):
        for label, window in (("1% window", span // 100), ("whole data", span)):
            print(f"  {name:13s} {label:11s} {scrub(ts, price, qty, buy, window, cut):8.3f} ms/frame")


if __name__ == "__main__":
    main()
