"""frame_at through `command` with a trailing window of 1% of a day.

    python bench/bench_frame_at.py [--hours 24] [--frames 200]

A day of the yardstick's synthetic market (../shared/bench-peers/gen_market.py,
cached under the temp folder) is loaded once; at cursors spread over the day
the spec's from_ts is set to cursor - 1% of the span (set_spec), then
frame_at is timed alone. The four panels are the yardstick's: footprint
(bin 1), book heatmap (bin 1, 1-minute buckets, 40 levels), liquidation map
(bin 10), funding/OI (1 minute). Prints p50, p90 and max in ms, wall and
processor time of the process.
"""
import argparse
import json
import os
import re
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(HERE, "..", "..", "shared", "bench-peers")

PANELS = [{"kind": "footprint", "price_bin": 1.0, "bucket_ms": 60000},
          {"kind": "book_heatmap", "price_bin": 1.0, "bucket_ms": 60000, "depth_levels": 40},
          {"kind": "liquidation_map", "price_bin": 10.0},
          {"kind": "funding_oi_divergence", "bucket_ms": 60000}]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hours", type=float, default=24.0)
    ap.add_argument("--frames", type=int, default=200)
    ap.add_argument("--peers", default=PEERS)
    args = ap.parse_args()
    sys.path.insert(0, args.peers)
    import gen_market
    from tarnix_xray import Xray

    data_dir = os.path.join(tempfile.gettempdir(), "xray-bench-data")
    os.makedirs(data_dir, exist_ok=True)
    path = os.path.join(data_dir, "market-day-%gh-seed7.json" % args.hours)
    if not os.path.exists(path):
        gen_market.generate(path, args.hours, seed=7)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    # The span of the trades, read off the text: their records are the only
    # ones with a "side" of "buy" or "sell".
    trade_ts = re.compile(r'\{"ts":(\d+),"price":[^}]*"side":"(?:buy|sell)"\}')
    start = text.index('"trades":')
    first = int(trade_ts.search(text, start).group(1))
    last = int(trade_ts.findall(text[start:text.index("]", start)])[-1])
    window = (last - first) // 100

    x = Xray(json.dumps({"dataset_ref": "synthetic", "symbol": "SYNTH-PERP",
                         "panels": PANELS}))
    assert x.command(text).startswith('{"ok":true')
    del text
    wall, cpu, sizes = [], [], []
    for i in range(args.frames):
        cursor = first + window + (last - first - window) * i // max(1, args.frames - 1)
        spec = {"dataset_ref": "synthetic", "symbol": "SYNTH-PERP", "panels": PANELS,
                "from_ts": cursor - window}
        assert x.command(json.dumps({"cmd": "set_spec", "spec": spec})) == '{"ok":true}'
        cmd = json.dumps({"cmd": "frame_at", "ts": cursor})
        w0, c0 = time.perf_counter(), time.process_time()
        out = x.command(cmd)
        wall.append((time.perf_counter() - w0) * 1e3)
        cpu.append((time.process_time() - c0) * 1e3)
        sizes.append(len(out))
        assert out.startswith('{"symbol"'), out[:200]
    for name, v in (("wall", wall), ("processor", cpu)):
        v = sorted(v)
        print("frame_at 1%% window, %s: p50 %.3f ms  p90 %.3f ms  max %.3f ms"
              % (name, statistics.median(v), v[int(len(v) * 0.9)], v[-1]))
    print("frame text %d bytes (median), %d frames" % (statistics.median(sizes), len(sizes)))


if __name__ == "__main__":
    main()
