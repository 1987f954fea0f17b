"""What a Python user pays to write the same frame texts with json.dumps.

    bench_frame --dump DIR            # writes DIR/book.json, foot.json, ...
    python3 bench/bench_frame_json.py DIR

Each text is parsed once into the dict a Python implementation would hold,
then json.dumps (compact separators) is timed on that dict; MB/s counts the
bytes of the frame text, as the encode_frame figures do.
"""

import json
import pathlib
import statistics
import sys
import time


def main(directory):
    for path in sorted(pathlib.Path(directory).glob("*.json")):
        text = path.read_text()
        frame = json.loads(text)
        times = []
        for _ in range(5):
            t0 = time.perf_counter()
            out = json.dumps(frame, separators=(",", ":"))
            times.append(time.perf_counter() - t0)
        secs = statistics.median(times)
        same = "same text" if out == text else "different text (null/-0.0/float forms)"
        print(f"{path.stem:6s} {len(text) / 1e6:8.2f} MB  {secs * 1e3:9.2f} ms  "
              f"{len(text) / 1e6 / secs:8.0f} MB/s  {same}")


if __name__ == "__main__":
    main(sys.argv[1])
