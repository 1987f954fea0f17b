"""Scrub a cursor over a day of the synthetic market.

A trailing window of 1% of the span follows the cursor. At each cursor the
frame gives the footprint's point of control, volume and delta, and the
liquidations of the window; they are collected into a pandas DataFrame, written
to scrub.csv and summarised with the frames computed per second.

    python examples/scrub_a_day.py [OUT_DIR] [--hours H] [--steps N]

Generating the day takes about 10 s of processor time, most of it for the
book, which these panels do not read; --hours 2 runs in a couple of seconds.
"""

import argparse
import time
from pathlib import Path

import pandas as pd

from tarnix_xray import Session
from tarnix_xray.synthetic import generate_market

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("out", nargs="?", default="scrub_a_day", help="output folder")
parser.add_argument("--hours", type=float, default=24.0, help="market length (default 24; less is faster)")
parser.add_argument("--steps", type=int, default=500, help="cursor positions (default 500)")
args = parser.parse_args()
out = Path(args.out)
out.mkdir(parents=True, exist_ok=True)

market = generate_market(args.hours, seed=0)
spec = {"dataset_ref": "synthetic", "symbol": "SYNUSD",
        "panels": [{"kind": "footprint", "price_bin": 1.0}, {"kind": "liquidation_map", "price_bin": 1.0}]}
session = Session(spec)
# These panels read trades and liquidations only; the book would just be carried along.
session.load(trades=market["trades"], liquidations=market["liquidations"])
first, last, _ = session.bounds()
window = (last - first) // 100

rows = []
started = time.perf_counter()
for i in range(args.steps):
    # From one window after the start to the last record, in equal steps.
    cursor = first + window + (last - first - window) * i // max(args.steps - 1, 1)
    frame = session.frame(at=cursor, window=window)  # the last `window` ms up to the cursor
    fp, liq = frame.footprint, frame.liquidation_map
    assert fp is not None and liq is not None
    rows.append({
        "cursor": frame.cursor_time, "poc": fp.poc, "volume": fp.volume.sum(), "delta": fp.total_delta,
        "liq_long": liq.qty[liq.side == "long"].sum(), "liq_short": liq.qty[liq.side == "short"].sum(),
    })
elapsed = time.perf_counter() - started

scrub = pd.DataFrame(rows).set_index("cursor")
scrub.to_csv(out / "scrub.csv")
print(scrub.describe().loc[["mean", "min", "max"]].round(3).to_string())
busiest = scrub["liq_long"].add(scrub["liq_short"]).idxmax()
print(f"most liquidated window ends {busiest} UTC")
print(f"{len(scrub)} frames over {args.hours:g} h with {window / 60_000:.1f} min windows: "
      f"{len(scrub) / elapsed:,.0f} frames/s")
print(f"wrote {out / 'scrub.csv'}")
