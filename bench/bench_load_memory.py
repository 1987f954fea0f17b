"""Peak memory of `Session.load(path)` of a large trades CSV, above the process before it.

    python bench/bench_load_memory.py --rows 16000000 --csv /tmp/trades_16m.csv

Writes the CSV once (ts, price, qty, side; about 36 bytes a row), then loads
it in a child process that first loads a two-row file by the same route, so
that lazily imported modules count in its base. Prints the peak (ru_maxrss)
above that base against the file, the checked columns (25 bytes a trade) and
those plus the engine's records (32 bytes a trade).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

CHILD = """
import os, resource, sys, time
import tarnix_xray as tx
path, warm = sys.argv[1], sys.argv[2]
session = tx.Session({"dataset_ref": "m", "symbol": "M", "panels": [{"kind": "footprint", "price_bin": 1.0}]})
with open(warm, "w") as f:
    f.write("ts,price,qty,side\\n1,1.0,1.0,buy\\n2,1.0,1.0,sell\\n")
session.load(warm, progress=False)
with open("/proc/self/status") as f:
    base = next(int(line.split()[1]) for line in f if line.startswith("VmRSS")) * 1024
start = time.perf_counter()
rows = session.load(path, progress=False)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - base
size, columns, records = os.path.getsize(path), rows * 25, rows * 32
print(f"{rows:,} rows, {size / 2**20:.0f} MiB, {seconds:.1f} s: peak {peak / 2**20:.0f} MiB above the base = "
      f"{peak / size:.2f}x the file = {peak / columns:.2f}x the columns = "
      f"{peak / (columns + records):.2f}x columns + engine records")
"""


def write_csv(path: str, rows: int) -> None:
    import numpy as np
    import pyarrow as pa
    import pyarrow.csv as pv

    rng = np.random.default_rng(1)
    schema = pa.schema([("ts", pa.int64()), ("price", pa.float64()), ("qty", pa.float64()), ("side", pa.string())])
    with pv.CSVWriter(path, schema) as writer:
        for start in range(0, rows, 1_000_000):
            n = min(1_000_000, rows - start)
            writer.write_table(pa.table({
                "ts": 1_780_000_000_000 + np.arange(start, start + n) * 3,
                "price": np.round(40_000 + rng.normal(0, 50, n), 1),
                "qty": np.round(rng.exponential(0.05, n), 5),
                "side": np.where(rng.random(n) < 0.5, "buy", "sell"),
            }))  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=16_000_000)
    parser.add_argument("--csv", default="/tmp/trades_load_memory.csv", help="written when missing")
    parser.add_argument("--python", default=sys.executable, help="the interpreter to measure (another install)")
    args = parser.parse_args()
    if not os.path.exists(args.csv):
        write_csv(args.csv, args.rows)
    warm = args.csv + ".warm_trades.csv"
    subprocess.run([args.python, "-c", CHILD, args.csv, warm], check=True)
    os.unlink(warm)


if __name__ == "__main__":
    main()
