"""Python's json.loads on the text that bench_reader wrote (same bytes).

Usage: python3 bench/bench_reader_json_loads.py [file, default bench_reader.json]
Run build/bench/bench_reader first; it generates the file.
"""
import json
import sys
import time


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "bench_reader.json"
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8")
    megabytes = len(data) / 1e6
    best = float("inf")
    runs = 3
    for _ in range(runs):
        start = time.perf_counter()
        value = json.loads(text)
        best = min(best, time.perf_counter() - start)
        del value
    print(f"text: {megabytes:.1f} MB from {path}")
    print(f"json.loads:        {megabytes / best:7.0f} MB/s (best of {runs})")


if __name__ == "__main__":
    main()
