"""The command line as a user meets it: `run` per command, demo phases, dashboard.

1. `run` overhead: the same command lines answered by a direct loop of
   `Xray.command`, by `run_lines` in process (writing to a file, flushed per
   line), and by `python -m tarnix_xray run` over real pipes (start-up
   subtracted: the same process with no lines). Per command, best of --repeat.
2. `demo` phases: generate, load, frame and dashboard (written to PNG),
   each the median of --repeat runs in this process; and the whole
   `python -m tarnix_xray demo`, interpreter start-up included. Wall and
   processor time both, since the machine is often shared.

Usage: PYTHONPATH=python python bench/bench_cli.py [--lines N] [--repeat R] [--hours H]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from tarnix_xray import Session, Xray
from tarnix_xray.cli import run_lines
from tarnix_xray.plot import dashboard
from tarnix_xray.synthetic import demo_spec, generate_market

SPEC = json.dumps({"dataset_ref": "b", "symbol": "B", "panels": [{"kind": "footprint"}]})
DATASET = '{"cmd":"load","dataset":{"trades":[[1000,100.5,1.0,"buy"],[2000,101.0,2.0,"sell"]]}}'
# Small, cheap commands, so that the fixed cost per line is what shows.
COMMANDS = {
    "bounds": '{"cmd":"bounds"}',
    "frame": '{"cmd":"frame_at","ts":1500}',
}


def best_per_command(step, lines: list[str], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        step(lines)
        times.append(time.perf_counter() - start)
    return min(times) / len(lines) * 1e6


def direct(lines: list[str]) -> None:
    x = Xray(SPEC)
    x.command(DATASET)
    command = x.command
    for line in lines:
        command(line)


def in_process(lines: list[str]) -> None:
    session = Session(SPEC, strict=False)  # as `run` makes it
    session.command(DATASET)
    with open(os.devnull, "w") as out:
        run_lines(session, (line + "\n" for line in lines), out)


def over_pipes(lines: list[str]) -> float:
    """Seconds for the whole process with these lines, read back through a pipe."""
    text = "".join(line + "\n" for line in [DATASET, *lines])
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "tarnix_xray", "run", "--spec", SPEC],
                          input=text, capture_output=True, text=True, check=False)
    elapsed = time.perf_counter() - start
    assert proc.stdout.count("\n") == len(lines) + 1, proc.stderr
    return elapsed


def bench_run(n: int, repeat: int) -> None:
    print(f"run: {n} lines per pass, best of {repeat}, microseconds per command")
    print(f"{'command':<8} {'direct':>8} {'run_lines':>10} {'overhead':>9} {'pipe':>8} {'overhead':>9}")
    for name, command in COMMANDS.items():
        lines = [command] * n
        d = best_per_command(direct, lines, repeat)
        r = best_per_command(in_process, lines, repeat)
        empty = min(over_pipes([]) for _ in range(repeat))
        p = (min(over_pipes(lines) for _ in range(repeat)) - empty) / n * 1e6
        print(f"{name:<8} {d:8.2f} {r:10.2f} {r - d:9.2f} {p:8.2f} {p - d:9.2f}")


def bench_demo(hours: float, repeat: int) -> None:
    phases: dict[str, list[float]] = {}

    def timed(name, step):
        start, cpu = time.perf_counter(), time.process_time()
        result = step()
        phases.setdefault(name, []).append((time.perf_counter() - start, time.process_time() - cpu))
        return result

    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(repeat):
            market = timed("generate", lambda: generate_market(hours, seed=0))
            session = Session(demo_spec(market))
            timed("load", lambda: session.load(**market))
            frame = timed("frame", session.frame)
            timed("dashboard", lambda: dashboard(frame, path=os.path.join(tmp, "d.png")))
        runs = []
        for _ in range(repeat):
            start, children = time.perf_counter(), os.times()
            subprocess.run([sys.executable, "-m", "tarnix_xray", "demo", "--hours", str(hours), "--out", tmp],
                           check=True, capture_output=True)
            after = os.times()
            cpu = after.children_user + after.children_system - children.children_user - children.children_system
            runs.append((time.perf_counter() - start, cpu))
    print(f"demo, {hours} h, median of {repeat} (wall s, processor s):")
    for name, values in [*phases.items(), ("command", runs)]:
        wall, cpu = (statistics.median(v) for v in zip(*values))
        print(f"  {name:<10} {wall:7.3f} {cpu:7.3f}")
    print("  (command: python -m tarnix_xray demo in a new process, start-up and imports included)")
    counts = {k: len(v) for k, v in market.items()}
    print(f"  rows: {counts}; heatmap {frame.book_heatmap.intensity.shape}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--hours", type=float, default=1.0)
    args = parser.parse_args()
    bench_run(args.lines, args.repeat)
    bench_demo(args.hours, args.repeat)


if __name__ == "__main__":
    main()
