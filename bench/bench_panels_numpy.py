"""The panel computations as a Python user would write them, next to this
module's own, on the same generated data and in the same run.

    python3 bench/bench_panels_numpy.py build/bench/bench_panels

Runs the C++ benchmark (which writes its generated data and heatmap outputs
to a temporary directory and prints its timings), then times numpy and plain
Python versions on those arrays, checks that they agree with the C++ output,
and prints one table. Figures are medians of several runs.
"""
import bisect
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

BUCKET_MS = 60_000
HEATMAP_BIN = 0.5
FOOTPRINT_BIN = 0.5
LIQUIDATION_BIN = 0.5
SERIES_BUCKET_MS = 1000


def timed(fn, runs):
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times), result


def load(directory, name):
    dtype = {"i64": np.int64, "f64": np.float64, "u8": np.uint8, "u32": np.uint32}[
        name.rsplit(".", 1)[1]]
    return np.fromfile(os.path.join(directory, name), dtype=dtype)


def round8(x):
    return np.round(x * 1e8) / 1e8


# ---- footprint: np.floor, rounding, np.unique, np.bincount

def footprint_numpy(price, qty, side):
    bins = round8(np.floor(price / FOOTPRINT_BIN) * FOOTPRINT_BIN)
    keys, inverse = np.unique(bins, return_inverse=True)
    buy = np.bincount(inverse, weights=np.where(side == 0, qty, 0.0), minlength=len(keys))
    sell = np.bincount(inverse, weights=np.where(side == 1, qty, 0.0), minlength=len(keys))
    return keys, round8(buy), round8(sell)


# ---- book heatmap

class Book:
    """The book events flattened into level arrays."""

    def __init__(self, d, prefix):
        self.ts = load(d, f"{prefix}_ev_ts.i64")
        self.kind = load(d, f"{prefix}_ev_kind.u8")
        nb = load(d, f"{prefix}_ev_nb.u32").astype(np.int64)
        na = load(d, f"{prefix}_ev_na.u32").astype(np.int64)
        self.price = load(d, f"{prefix}_lv_price.f64")
        self.qty = load(d, f"{prefix}_lv_qty.f64")
        counts = nb + na
        self.event = np.repeat(np.arange(len(self.ts)), counts)
        first = np.cumsum(counts) - counts
        self.side = ((np.arange(len(self.price)) - first[self.event]) >= nb[self.event]).astype(
            np.int8)  # 0 bid, 1 ask
        self.nb, self.na = nb, na


def grid_from_mid(mid, depth):
    centre = round8(np.floor(mid / HEATMAP_BIN) * HEATMAP_BIN)
    lo = round8(centre + (np.arange(depth) - depth // 2) * HEATMAP_BIN)
    return lo, round8(HEATMAP_BIN + lo)


def final_book_numpy(book):
    """Replays from the last snapshot: the last update of each price wins."""
    snapshots = np.flatnonzero(book.kind == 0)
    start_event = snapshots[-1] if len(snapshots) else 0
    start = np.searchsorted(book.event, start_event)
    best = []
    for side, pick in ((0, np.max), (1, np.min)):
        mask = book.side[start:] == side
        price = book.price[start:][mask][::-1]
        qty = book.qty[start:][mask][::-1]
        keys, first = np.unique(price, return_index=True)  # first of reversed = last update
        alive = keys[qty[first] != 0]
        best.append(pick(alive))
    return (best[0] + best[1]) * 0.5


def heatmap_numpy(book, depth):
    """Forward-fills each price's last update to the end of every bucket,
    dropping updates made before the latest snapshot."""
    lo, hi = grid_from_mid(final_book_numpy(book), depth)
    q0, q1 = book.ts[0] // BUCKET_MS, book.ts[-1] // BUCKET_MS
    n = int(q1 - q0 + 1)
    ends = (q0 + np.arange(n) + 1) * BUCKET_MS
    applied = np.searchsorted(book.ts, ends, side="left")  # events before each bucket end
    epoch_of_event = np.cumsum(book.kind == 0)
    bucket_epoch = epoch_of_event[applied - 1]

    in_grid = (book.price >= lo[0]) & (book.price < hi[-1])
    idx = np.flatnonzero(in_grid)
    key = book.price[idx] + 1j * book.side[idx]  # one column per (price, side)
    columns, column = np.unique(key, return_inverse=True)
    bucket = book.ts[book.event[idx]] // BUCKET_MS - q0
    last = np.full((n, len(columns)), -1, dtype=np.int64)
    last[bucket, column] = np.arange(len(idx))  # later updates overwrite earlier ones
    last = np.maximum.accumulate(last, axis=0)
    valid = last >= 0
    safe = np.where(valid, last, 0)
    epoch = epoch_of_event[book.event[idx]][safe]
    qty = np.where(valid & (epoch == bucket_epoch[:, None]), book.qty[idx][safe], 0.0)

    column_price = columns.real
    level = np.searchsorted(lo, column_price, side="right") - 1
    onehot = np.zeros((len(columns), depth))
    onehot[np.arange(len(columns)), level] = 1.0
    onehot[column_price >= hi[level], level[column_price >= hi[level]]] = 0.0
    return lo, round8(qty @ onehot)


def book_as_json_lists(book):
    """The book events in the form json.loads gives them."""
    events, offset = [], 0
    prices, qtys = book.price.tolist(), book.qty.tolist()
    for ts, kind, nb, na in zip(book.ts.tolist(), book.kind.tolist(), book.nb.tolist(),
                                book.na.tolist()):
        bids = [[prices[j], qtys[j]] for j in range(offset, offset + nb)]
        asks = [[prices[j], qtys[j]] for j in range(offset + nb, offset + nb + na)]
        events.append({"ts": ts, "kind": "snapshot" if kind == 0 else "diff",
                       "bids": bids, "asks": asks})
        offset += nb + na
    return events


def heatmap_python(events, depth):
    """A plain replay with two dicts, bucket by bucket, on the decoded JSON."""
    def apply(bids, asks, event):
        if event["kind"] == "snapshot":
            bids.clear()
            asks.clear()
        for side, levels in ((bids, event["bids"]), (asks, event["asks"])):
            for price, qty in levels:
                if qty == 0.0:
                    side.pop(price, None)
                else:
                    side[price] = qty

    last_snapshot = max((i for i, e in enumerate(events) if e["kind"] == "snapshot"), default=0)
    bids, asks = {}, {}
    for event in events[last_snapshot:]:
        apply(bids, asks, event)
    lo, hi = grid_from_mid((max(bids) + min(asks)) * 0.5, depth)
    lo, hi = lo.tolist(), hi.tolist()

    q0, q1 = events[0]["ts"] // BUCKET_MS, events[-1]["ts"] // BUCKET_MS
    bids, asks = {}, {}
    rows, cursor = [], 0
    for k in range(q1 - q0 + 1):
        end = (q0 + k + 1) * BUCKET_MS
        while cursor < len(events) and events[cursor]["ts"] < end:
            apply(bids, asks, events[cursor])
            cursor += 1
        row = [0.0] * depth
        for side in (bids, asks):
            for p, q in side.items():
                i = bisect.bisect_right(lo, p) - 1
                if 0 <= i and p < hi[i]:
                    row[i] += q
        rows.append([round(x, 8) for x in row])
    return rows


# ---- funding / open interest: searchsorted forward fill

def series_numpy(d):
    lists = [(load(d, "funding_ts.i64"), load(d, "funding_rate.f64")),
             (load(d, "oi_ts.i64"), load(d, "oi_value.f64")),
             (load(d, "candle_ts.i64"), load(d, "candle_close.f64"))]

    def run():
        start = min(ts[0] for ts, _ in lists)
        end = max(ts[-1] for ts, _ in lists)
        q0, q1 = start // SERIES_BUCKET_MS, end // SERIES_BUCKET_MS
        time_grid = (q0 + np.arange(q1 - q0 + 1)) * SERIES_BUCKET_MS
        out = [time_grid]
        for ts, values in lists:
            last = np.searchsorted(ts, time_grid + SERIES_BUCKET_MS, side="left") - 1
            out.append(round8(np.where(last >= 0, values[np.maximum(last, 0)], 0.0)))
        return out

    return run


# ---- liquidation map: np.lexsort is stable

def liquidations_numpy(d):
    ts, price = load(d, "liq_ts.i64"), load(d, "liq_price.f64")
    qty, side = load(d, "liq_qty.f64"), load(d, "liq_side.u8")

    def run():
        bins = round8(np.floor(price / LIQUIDATION_BIN) * LIQUIDATION_BIN)
        order = np.lexsort((side, bins, ts))
        return ts[order], bins[order], round8(qty[order]), side[order]

    return run


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bench_panels"
    with tempfile.TemporaryDirectory() as d:
        text = subprocess.run([binary, d], check=True, capture_output=True, text=True).stdout
        print(text, end="")
        cpp = {line.split()[1]: float(line.split()[2])
               for line in text.splitlines() if line.startswith("RESULT")}
        rows = []

        price, qty = load(d, "trade_price.f64"), load(d, "trade_qty.f64")
        side = load(d, "trade_side.u8")
        ms, _ = timed(lambda: footprint_numpy(price, qty, side), 9)
        rows.append(("footprint, 1M trades", cpp["footprint"], "numpy", ms))

        for prefix, label in (("walk", "steady book"), ("market", "frame benchmarks' day")):
            book = Book(d, prefix)
            json_events = book_as_json_lists(book)
            for depth in (40, 400):
                name = f"{prefix}_heatmap_{depth}"
                panel = f"heatmap, {label}, {depth} levels"
                ms, (lo, cells) = timed(lambda: heatmap_numpy(book, depth), 5)
                expected = load(d, f"{name}_intensity.f64").reshape(cells.shape)
                assert np.array_equal(lo, load(d, f"{name}_price.f64")), "grids differ"
                assert np.allclose(cells, expected, atol=1e-7), "numpy heatmap differs"
                rows.append((panel, cpp[name], "numpy", ms))
                ms, py_rows = timed(lambda: heatmap_python(json_events, depth), 1)
                assert np.allclose(np.array(py_rows), expected, atol=1e-7), "Python heatmap differs"
                rows.append((panel, cpp[name], "plain Python", ms))

        ms, _ = timed(series_numpy(d), 9)
        rows.append(("funding/OI, week, 1 s grid", cpp["funding_oi"], "numpy", ms))
        ms, _ = timed(liquidations_numpy(d), 9)
        rows.append(("liquidation map, 1M", cpp["liquidation_map"], "numpy", ms))

    print()
    print(f"| panel | this module (ms) | Python version | Python (ms) | speed-up |")
    print(f"|---|---:|---|---:|---:|")
    for panel, ours, who, theirs in rows:
        print(f"| {panel} | {ours:.2f} | {who} | {theirs:.2f} | {theirs / ours:.1f}x |")


if __name__ == "__main__":
    main()
