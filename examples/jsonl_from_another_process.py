"""Drive the engine from another process over pipes, one JSON line per command.

`python -m tarnix_xray run --spec SPEC` reads one command per line on stdin
and answers each with one line on stdout, flushed at once. Nothing here uses
the package itself: only JSON text goes back and forth, so any language that
can start a process and read lines can do the same.

    python examples/jsonl_from_another_process.py [OUT_DIR]
"""

import json
import subprocess
import sys
from pathlib import Path

out = Path(sys.argv[1] if len(sys.argv) > 1 else "jsonl_from_another_process")
out.mkdir(parents=True, exist_ok=True)

spec = {"dataset_ref": "mine", "symbol": "SYNUSD",
        "panels": [{"kind": "footprint", "price_bin": 0.5}, {"kind": "liquidation_map", "price_bin": 0.5}]}
start = 1_772_442_000_000  # 2026-03-02 09:00 UTC in milliseconds, the engine's time unit
trades = [{"ts": start + 1000 * i, "price": 2450.0 + 0.1 * (i % 7), "qty": 0.25 + 0.05 * i,
           "side": "buy" if i % 3 else "sell"} for i in range(20)]
liquidations = [{"ts": start + 12_000, "price": 2449.6, "qty": 1.5, "side": "long"}]
commands = [
    {"cmd": "version"},
    {"cmd": "load", "dataset": {"trades": trades, "liquidations": liquidations}},
    {"cmd": "bounds"},
    {"cmd": "frame_at", "ts": start + 9_999},  # the first ten trades
    {"cmd": "frame_at", "ts": "soon"},  # a mistake: the engine answers an error line, and carries on
    {"cmd": "frame"},
]

engine = subprocess.Popen(
    [sys.executable, "-m", "tarnix_xray", "run", "--spec", json.dumps(spec)],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, encoding="utf-8",
)
assert engine.stdin is not None and engine.stdout is not None and engine.stderr is not None
transcript = []
for command in commands:
    line = json.dumps(command, separators=(",", ":"))
    try:
        engine.stdin.write(line + "\n")
        engine.stdin.flush()
        answer = engine.stdout.readline().rstrip("\n")  # exactly one line per command
    except BrokenPipeError:  # the runner is gone
        answer = ""
    if not answer:  # it answers even a blank line: no answer means it has exited
        sys.exit(f"the runner stopped answering at command {len(transcript) + 1} "
                 f"(exit code {engine.wait()}): {engine.stderr.read().strip()}")
    transcript.append({"command": command, "response": answer})
    print(">", line if len(line) <= 100 else line[:97] + "...")
    print("<", answer if len(answer) <= 100 else answer[:97] + "...")
engine.stdin.close()  # end of input: the runner exits, 1 because one command failed
print(f"runner exit code {engine.wait()}")
(out / "transcript.jsonl").write_text("".join(json.dumps(t) + "\n" for t in transcript))
print(f"wrote {out / 'transcript.jsonl'}")
