"""The "load" command next to what a Python user would do otherwise.

For each size, build/bench/bench_load writes a realistic "load" command text
(one instrument: trades, 1-minute candles, 50-level book snapshots and 100 ms
diffs, funding, open interest, liquidations) and measures the command in C++;
then this script reads the same text and measures json.loads followed by
numpy arrays of every list (sorted by ts, stably), with the garbage collector
on as in a default interpreter. When the extension module is importable, the
command is also timed through Xray.command.

Usage: python3 bench/bench_load.py [--bench build/bench/bench_load] [MB ...]
Default sizes: 20 and 200 MB.
"""
import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np


def status_bytes(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


LIBC = ctypes.CDLL("libc.so.6")


def reset_peak() -> None:
    # Freed heap memory stays resident until trimmed; a later allocation would
    # reuse it without raising the resident set.
    gc.collect()
    LIBC.malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def cpu_and_wall():
    return time.process_time(), time.perf_counter()


def measure(run, runs):
    """Best CPU and wall seconds of `runs`; peak extra RSS of the first run."""
    best_cpu = best_wall = float("inf")
    peak_extra = 0
    for i in range(runs):
        reset_peak()
        before = status_bytes("VmRSS:")
        cpu0, wall0 = cpu_and_wall()
        kept = run()
        cpu1, wall1 = cpu_and_wall()
        best_cpu = min(best_cpu, cpu1 - cpu0)
        best_wall = min(best_wall, wall1 - wall0)
        if i == 0:
            peak_extra = status_bytes("VmHWM:") - before
        del kept
    return best_cpu, best_wall, peak_extra


def column(records, key, dtype):
    return np.fromiter((r[key] for r in records), dtype=dtype, count=len(records))


def sorted_by_ts(arrays):
    order = np.argsort(arrays["ts"], kind="stable")
    return {k: v[order] for k, v in arrays.items()}


def levels(events, side):
    lengths = np.fromiter((len(e[side]) for e in events), dtype=np.int64, count=len(events))
    flat = [lvl for e in events for lvl in e[side]]
    pairs = np.array(flat, dtype=np.float64).reshape(-1, 2)
    return np.concatenate(([0], np.cumsum(lengths))), pairs[:, 0], pairs[:, 1]


def json_loads_numpy(text):
    d = json.loads(text)["dataset"]
    out = {}
    c = d.get("candles", [])
    out["candles"] = sorted_by_ts({k: column(c, k, np.int64 if k == "ts" else np.float64)
                                   for k in ("ts", "open", "high", "low", "close", "volume")})
    t = d.get("trades", [])
    out["trades"] = sorted_by_ts({"ts": column(t, "ts", np.int64),
                                  "price": column(t, "price", np.float64),
                                  "qty": column(t, "qty", np.float64),
                                  "sell": np.fromiter((r["side"] == "sell" for r in t), dtype=np.bool_,
                                                      count=len(t))})
    b = d.get("book", [])
    out["book"] = {"ts": column(b, "ts", np.int64),
                   "diff": np.fromiter((e["kind"] == "diff" for e in b), dtype=np.bool_, count=len(b)),
                   "bids": levels(b, "bids"), "asks": levels(b, "asks")}
    for key, field in (("funding", "rate"), ("oi", "oi")):
        rows = d.get(key, [])
        out[key] = sorted_by_ts({"ts": column(rows, "ts", np.int64), field: column(rows, field, np.float64)})
    liq = d.get("liquidations", [])
    out["liquidations"] = sorted_by_ts({"ts": column(liq, "ts", np.int64),
                                        "price": column(liq, "price", np.float64),
                                        "qty": column(liq, "qty", np.float64),
                                        "short": np.fromiter((r["side"] == "short" for r in liq),
                                                             dtype=np.bool_, count=len(liq))})
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", default="build/bench/bench_load")
    parser.add_argument("sizes", nargs="*", type=float, default=[20, 200])
    args = parser.parse_args()
    try:
        import tarnix_xray
    except ImportError:
        tarnix_xray = None

    for size in args.sizes:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "load.json")
            native = subprocess.run([args.bench, str(size), path], check=True,
                                    capture_output=True, text=True).stdout
            with open(path, "rb") as f:
                text = f.read().decode("utf-8")
        mb = len(text.encode("utf-8")) / 1e6
        runs = 1 if mb > 500 else 3
        print(f"== {mb:.0f} MB of JSON ==")
        print(native.rstrip())
        print(f"{'Python, same text':34} {'CPU time':>14} {'wall clock':>14}")

        def row(what, cpu, wall, peak):
            print(f"{what:34} {mb / cpu:7.0f} MB/s   {mb / wall:7.0f} MB/s  "
                  f"peak extra RSS {peak / 1e6 / mb:.2f}x text")

        if tarnix_xray is not None:
            def via_module():
                x = tarnix_xray.Xray("")
                x.command(text)
                return x
            row("Xray.command (load)", *measure(via_module, runs))
        row("json.loads", *measure(lambda: json.loads(text), runs))
        row("json.loads + numpy arrays", *measure(lambda: json_loads_numpy(text), runs))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
