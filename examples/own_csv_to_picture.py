"""Your own CSV files to a picture.

Writes trades, book and candles as an exchange export might: its own column
names, ISO text times for trades and epoch seconds for the rest. Then reads the
files back through the data layer with a column mapping, sizes a spec to them,
computes one frame and saves the dashboard.

    python examples/own_csv_to_picture.py [OUT_DIR] [--hours H]
"""

import argparse
import json
from pathlib import Path

import pandas as pd

from tarnix_xray import Session, data
from tarnix_xray.plot import dashboard
from tarnix_xray.synthetic import generate_market

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("out", nargs="?", default="own_csv_to_picture", help="output folder")
parser.add_argument("--hours", type=float, default=1.0, help="market length (default 1)")
args = parser.parse_args()
out = Path(args.out)
out.mkdir(parents=True, exist_ok=True)

# 1. Stand-in for your export: the synthetic market, renamed.
market = generate_market(args.hours, seed=7)
t, b, c = market["trades"], market["book"], market["candles"]
pd.DataFrame({
    "timestamp": pd.to_datetime(t["ts"], unit="ms").dt.strftime("%Y-%m-%dT%H:%M:%S.%fZ"),
    "price": t["price"], "amount": t["qty"],
    "is_buyer_maker": t["side"] == "sell",  # True: the buyer rested, a seller hit the bid
}).to_csv(out / "my_trades.csv", index=False)
pd.DataFrame({
    "event_time": b["ts"] / 1000,  # seconds with a millisecond fraction
    "kind": b["is_snapshot"].map({True: "snapshot", False: "update"}),
    "side": b["side"], "level_px": b["price"], "level_qty": b["qty"],
}).to_csv(out / "my_depth.csv", index=False)
pd.DataFrame({
    "open_time": c["ts"] // 1000,  # whole seconds
    "Open": c["open"], "High": c["high"], "Low": c["low"], "Close": c["close"], "Volume": c["volume"],
}).to_csv(out / "my_klines.csv", index=False)

# 2. Read them back: the list comes from each file's name ("trades", "depth",
#    "klines"); names the layouts don't know are mapped per list. Integer and
#    fractional epoch times are in seconds here; ISO text needs no unit.
dataset = data.read(
    out / "my_trades.csv", out / "my_depth.csv", out / "my_klines.csv",
    ts_unit="s",
    columns={"book": {"event_time": "ts", "level_px": "price", "level_qty": "qty"},
             "candles": {"open_time": "ts"}},
)

# 3. Size a spec to the data (panels for the lists loaded), frame it and draw it.
session = Session("")  # no spec yet
loaded = session.load(dataset)
spec = session.suggest_spec(symbol="SYNUSD", dataset_ref="my-export")
session.set_spec(spec)
frame = session.frame()
dashboard(frame, path=out / "dashboard.png")
(out / "spec.json").write_text(json.dumps(spec, indent=1))
# The checked dataset in the engine's own form: `tarnix-xray frame dataset.json --spec ...` takes it.
(out / "dataset.json").write_text(dataset.load_text(command=False))
(out / "frame.json").write_text(frame.text)
fp = frame.footprint
assert fp is not None
lists = ", ".join(f"{name} {n:,}" for name, n in dataset.counts.items() if n)
print(f"{loaded:,} records loaded ({lists}; a book event counts once)")
print(f"POC {fp.poc:g}, total delta {fp.total_delta:+.3f}")
print(f"wrote {out / 'dashboard.png'}, {out / 'spec.json'}, {out / 'dataset.json'}, {out / 'frame.json'}")
