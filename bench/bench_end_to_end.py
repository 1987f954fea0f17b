"""End to end: trades and book levels in pandas -> a four-panel frame as numpy arrays.

Two routes over the same DataFrames in the same run:
  session:    tarnix_xray.Session.load(trades=df, book=df, ...) and Session.frame()
  json.dumps: DataFrame.to_dict("records") (book rows grouped into events by
              hand), json.dumps, Xray.command("load"), Xray.command("frame"),
              json.loads and numpy arrays per panel.
Both must give the same frame text. Usage:
  PYTHONPATH=python python bench/bench_end_to_end.py [--trades 2000000] [--levels 1000000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import json
import time
from typing import Any

import numpy as np
import pandas as pd

from tarnix_xray import Session, Xray

START_MS = 1_764_547_200_000  # 2025-12-01T00:00:00Z
HOURS = 4
SPEC = {
    "dataset_ref": "bench",
    "symbol": "BENCH",
    "panels": [
        {"kind": "footprint", "price_bin": 5.0},
        {"kind": "book_heatmap", "price_bin": 5.0, "bucket_ms": 60_000, "depth_levels": 40},
        {"kind": "liquidation_map", "price_bin": 10.0},
        {"kind": "funding_oi_divergence", "bucket_ms": 60_000},
    ],
}


def market(trades: int, levels: int, seed: int = 11) -> dict[str, pd.DataFrame]:
    """Random-walk prices on a 0.1 tick; book snapshots of 20 levels a side and diffs of 10."""
    rng = np.random.default_rng(seed)
    span = HOURS * 3_600_000
    walk = 30_000 + np.cumsum(rng.integers(-3, 4, trades)) / 10
    out = {
        "trades": pd.DataFrame(
            {
                "ts": START_MS + np.sort(rng.integers(0, span, trades)),
                "price": np.round(walk, 1),
                "qty": rng.integers(1, 100_000, trades) / 10_000,
                "side": np.where(rng.random(trades) < 0.5, "buy", "sell"),
            }
        )
    }
    events = levels // 10
    ts = START_MS + np.sort(rng.integers(0, span, events))
    snapshot = np.arange(events) % 500 == 0
    per_event = np.where(snapshot, 40, 10)
    rows = np.repeat(np.arange(events), per_event)
    rows = rows[:levels]
    n = len(rows)
    mid = np.round(walk[np.minimum(rows * (trades // events), trades - 1)], 1)
    side_bid = (np.arange(n) % 2) == 0
    offset = rng.integers(1, 60, n) / 10
    out["book"] = pd.DataFrame(
        {
            "ts": ts[rows],
            "is_snapshot": snapshot[rows],
            "side": np.where(side_bid, "bid", "ask"),
            "price": np.round(np.where(side_bid, mid - offset, mid + offset), 1),
            "qty": np.where(rng.random(n) < 0.1, 0.0, rng.integers(1, 50_000, n) / 1000),
        }
    )
    minutes = np.arange(HOURS * 60) * 60_000 + START_MS
    close = np.round(walk[np.linspace(0, trades - 1, len(minutes)).astype(int)], 1)
    out["candles"] = pd.DataFrame(
        {"ts": minutes, "open": close, "high": close + 1, "low": close - 1, "close": close, "volume": 10.0}
    )
    out["funding"] = pd.DataFrame({"ts": minutes[::60], "rate": 0.0001})
    out["oi"] = pd.DataFrame({"ts": minutes, "oi": 50_000 + np.arange(len(minutes)) / 4})
    liq = rng.integers(0, trades, 2_000)
    out["liquidations"] = pd.DataFrame(
        {
            "ts": out["trades"]["ts"].to_numpy()[liq],
            "price": out["trades"]["price"].to_numpy()[liq],
            "qty": rng.integers(1, 1000, len(liq)) / 100,
            "side": np.where(rng.random(len(liq)) < 0.5, "long", "short"),
        }
    )
    return out


def via_session(tables: dict[str, pd.DataFrame]) -> tuple[str, Any]:
    session = Session(SPEC)
    session.load(**tables, progress=False)
    frame = session.frame()
    return frame.text, frame


def book_events(book: pd.DataFrame) -> list[dict[str, Any]]:
    """Rows of one ts and kind as one event, as a user without the data layer would."""
    book = book.sort_values(["ts"], kind="stable")
    ts = book["ts"].to_numpy()
    snap = book["is_snapshot"].to_numpy()
    start = np.flatnonzero(np.r_[True, (ts[1:] != ts[:-1]) | (snap[1:] != snap[:-1])])
    bounds = np.r_[start, len(book)]
    side = book["side"].to_numpy()
    levels = book[["price", "qty"]].to_numpy().tolist()
    events = []
    for a, b in zip(bounds[:-1], bounds[1:]):
        bids = [levels[i] for i in range(a, b) if side[i] == "bid"]
        asks = [levels[i] for i in range(a, b) if side[i] == "ask"]
        kind = "snapshot" if snap[a] else "diff"
        events.append({"ts": int(ts[a]), "kind": kind, "bids": bids, "asks": asks})
    return events


def via_json(tables: dict[str, pd.DataFrame]) -> tuple[str, Any]:
    dataset: dict[str, Any] = {n: t.to_dict("records") for n, t in tables.items() if n != "book"}
    dataset["book"] = book_events(tables["book"])
    x = Xray(json.dumps(SPEC))
    response = x.command(json.dumps({"cmd": "load", "dataset": dataset}))
    assert response.startswith('{"ok":true'), response[:200]
    text = x.command('{"cmd":"frame"}')
    obj = json.loads(text)
    arrays = []
    for panel in obj["panels"]:
        if panel["kind"] == "liquidation_map":
            events = panel["events"]
            arrays.append({k: np.array([e[k] for e in events]) for k in ("ts", "price_bin", "qty", "side")})
        else:
            arrays.append({k: np.array(v, dtype=float) for k, v in panel.items() if k != "kind"})
    return text, arrays


def timed(route: Any, tables: dict[str, pd.DataFrame], repeat: int) -> tuple[float, str]:
    best, text = float("inf"), ""
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        text, _ = route(tables)
        best = min(best, time.perf_counter() - t0)
    return best, text


def session_phases(tables: dict[str, pd.DataFrame]) -> str:
    """One session run split into its steps, to see where the time goes."""
    from tarnix_xray import Frame
    from tarnix_xray.data import dataset

    x = Xray(json.dumps(SPEC))
    t0 = time.perf_counter()
    data = dataset(**tables)
    t1 = time.perf_counter()
    text = data.load_text()
    t2 = time.perf_counter()
    x.command(text)
    t3 = time.perf_counter()
    Frame.from_json(x.command('{"cmd":"frame"}'))
    t4 = time.perf_counter()
    mb = len(text) / 1e6
    return (
        f"  checks and columns {t1 - t0:.3f} s, writer {t2 - t1:.3f} s ({mb:.0f} MB, {mb / (t2 - t1):.0f} MB/s), "
        f"load {t3 - t2:.3f} s, frame as arrays {t4 - t3:.3f} s"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trades", type=int, default=2_000_000)
    parser.add_argument("--levels", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    tables = market(args.trades, args.levels)
    records = sum(len(t) for n, t in tables.items() if n != "book")
    print(f"{args.trades:,} trades, {len(tables['book']):,} book levels, {records:,} other records")
    session_s, session_text = timed(via_session, tables, args.repeat)
    json_s, json_text = timed(via_json, tables, args.repeat)
    assert session_text == json_text, "the two routes gave different frames"
    print(f"session    (columns writer)          {session_s:7.3f} s")
    print(f"json.dumps (to_dict + dumps + loads) {json_s:7.3f} s")
    print(f"speed-up {json_s / session_s:.1f}x, best of {args.repeat}, same frame text ({len(session_text):,} bytes)")
    print(session_phases(tables))


if __name__ == "__main__":
    main()
