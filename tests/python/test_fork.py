"""Frames in processes forked after the worker pool exists, and on pools sized
by the environment (never more than four threads per processor): always the same text."""

import json
import multiprocessing
import os
import subprocess
import sys

import pytest

from tarnix_xray import Xray

SPEC = {"dataset_ref": "fork", "symbol": "BTCUSDT", "panels": [
    {"kind": "liquidation_map", "price_bin": 5.0}, {"kind": "footprint", "price_bin": 0.5},
    {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": 1000, "depth_levels": 8},
    {"kind": "funding_oi_divergence", "bucket_ms": 1000}] * 10}  # more panels than the pool may have threads


def frames(_=None):
    data = {"trades": [], "book": [], "liquidations": [], "funding": [], "oi": [], "candles": []}
    for i in range(400):
        ts, price = 1_000_000 + i * 250, 30000.0 + ((i * 37) % 23) * 0.1
        data["trades"].append([ts, price, 0.001 * (i % 17 + 1), "buy" if i % 3 else "sell"])
        data["book"].append([ts, "snapshot" if i % 40 == 0 else "diff",
                             [[price - 0.5 - 0.5 * k, 1.0 + k] for k in range(4)],
                             [[price + 0.5 + 0.5 * k, 2.0 + k] for k in range(4)]])
        if i % 25 == 0:
            data["liquidations"].append([ts, price + 3, 0.5, "long" if i % 2 else "short"])
            data["funding"].append([ts, 0.0001 * (i % 7)])
            data["oi"].append([ts, 1000.0 + i])
            data["candles"].append([ts, price, price + 1, price - 1, price, 3.0])
    x = Xray(json.dumps(SPEC))
    assert x.command(json.dumps({"cmd": "load", "dataset": data})) == '{"ok":true,"loaded":864}'
    return [x.command(f'{{"cmd":"frame_at","ts":{t}}}') for t in (1_020_000, 1_050_000, 1_099_750)]


def test_forked_children_compute_the_parents_frames():
    expected = frames()  # the parent's pool exists from here on
    assert all(json.loads(f)["symbol"] == "BTCUSDT" for f in expected)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        assert pool.map_async(frames, range(4)).get(timeout=60) == [expected] * 4


@pytest.mark.parametrize("threads, most", [("1", 2), ("3", None), ("0", None), ("junk", None),
                                           ("1000000", 1 + 4 * os.cpu_count())])
def test_pool_size_from_environment_keeps_frames_identical(threads, most):
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    env.pop("RAYON_RS_NUM_CPUS", None)
    code = "import json, os, test_fork; print(json.dumps([test_fork.frames(), len(os.listdir('/proc/self/task'))]))"
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=os.path.dirname(__file__),
                         capture_output=True, text=True, timeout=120, check=True).stdout
    got, tasks = json.loads(out)
    assert got == frames() and (most is None or tasks <= most)
