"""Frames in processes forked after the worker pool exists, and frames on
pools sized by the environment: always the same text."""

import json
import multiprocessing
import os
import subprocess
import sys

import pytest

from tarnix_xray import Xray

SPEC = {
    "dataset_ref": "fork",
    "symbol": "BTCUSDT",
    "panels": [
        {"kind": "liquidation_map", "price_bin": 5.0},
        {"kind": "footprint", "price_bin": 0.5},
        {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": 1000, "depth_levels": 8},
        {"kind": "funding_oi_divergence", "bucket_ms": 1000},
    ],
}


def dataset():
    trades, book, liqs, funding, oi, candles = [], [], [], [], [], []
    for i in range(400):
        ts = 1_000_000 + i * 250
        price = 30000.0 + ((i * 37) % 23) * 0.1
        trades.append({"ts": ts, "price": price, "qty": 0.001 * (i % 17 + 1),
                       "side": "buy" if i % 3 else "sell"})
        kind = "snapshot" if i % 40 == 0 else "diff"
        book.append({"ts": ts, "kind": kind,
                     "bids": [[price - 0.5 - 0.5 * k, 1.0 + k] for k in range(4)],
                     "asks": [[price + 0.5 + 0.5 * k, 2.0 + k] for k in range(4)]})
        if i % 25 == 0:
            liqs.append({"ts": ts, "price": price + 3, "qty": 0.5, "side": "long" if i % 2 else "short"})
            funding.append({"ts": ts, "rate": 0.0001 * (i % 7)})
            oi.append({"ts": ts, "oi": 1000.0 + i})
            candles.append({"ts": ts, "open": price, "high": price + 1, "low": price - 1,
                            "close": price, "volume": 3.0})
    return {"candles": candles, "trades": trades, "book": book, "funding": funding,
            "oi": oi, "liquidations": liqs}


CURSORS = [1_020_000, 1_050_000, 1_099_750]


def frames():
    x = Xray(json.dumps(SPEC))
    loaded = json.loads(x.command(json.dumps({"cmd": "load", "dataset": dataset()})))
    assert loaded["ok"] is True
    return [x.command(json.dumps({"cmd": "frame_at", "ts": ts})) for ts in CURSORS]


def frames_in_child(_):
    return frames()


def test_forked_children_compute_the_parents_frames():
    expected = frames()  # the parent's pool exists from here on
    assert all(json.loads(f)["symbol"] == "BTCUSDT" for f in expected)
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        results = pool.map_async(frames_in_child, range(4)).get(timeout=60)
    assert results == [expected] * 4


@pytest.mark.parametrize("threads", ["1", "3", "0", "junk"])
def test_pool_size_from_environment_keeps_frames_identical(threads):
    expected = frames()
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    env.pop("RAYON_RS_NUM_CPUS", None)
    code = "import json, test_fork; print(json.dumps(test_fork.frames()))"
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=os.path.dirname(__file__),
                         capture_output=True, text=True, timeout=120, check=True).stdout
    assert json.loads(out) == expected
