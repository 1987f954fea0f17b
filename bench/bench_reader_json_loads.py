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
    best_wall = best_cpu = float("inf")
    runs = 3
    for _ in range(runs):
        cpu_start = time.process_time()
        start = time.perf_counter()
        value = json.loads(text)
        del value  # releasing the objects counts, as it does for the tree
        best_wall = min(best_wall, time.perf_counter() - start)
        best_cpu = min(best_cpu, time.process_time() - cpu_start)
    print(f"text: {megabytes:.1f} MB from {path}; best of {runs} runs")
    print(f"{'json.loads':<18} {megabytes / best_wall:6.0f} MB/s wall, "
          f"{megabytes / best_cpu:6.0f} MB/s processor time")


if __name__ == "__main__":
    main()
