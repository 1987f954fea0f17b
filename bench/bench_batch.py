"""Batch runs: frames per second on 1 and 2 local workers, the Dask layer's cost per task, task memory.

A synthetic market per instrument, written as symbol=/date= Parquet
partitions (starting 22:30 UTC, so it spans two days), framed with four
panels at every --every over a trailing --window, in chunks of --chunk.

1. The same tasks run in a plain loop in this process (no Dask): the tasks'
   own time, split into reading partitions, frames and writing.
2. `batch.run` on a LocalCluster of 1 and of 2 worker processes (one thread
   each; cluster start-up not counted): wall time, frames per second, and
   the Dask layer's cost per task = (wall x workers - sum of the tasks' own
   times) / tasks. Also a no-op task's round trip on the same cluster.
3. Peak memory of one task in a fresh process (peak resident set during the
   task minus the resident set before it), for two chunk sizes.

Usage: PYTHONPATH=python python bench/bench_batch.py [--instruments 4] [--hours 3]
       [--every 1m] [--window 1h] [--chunk 30m] [--repeat 2] [--engine-threads N]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import multiprocessing
import os
import shutil
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np

from tarnix_xray.batch import Job, Schedule, Source, duration_ms, plan, run
from tarnix_xray.batch.source import DAY_MS
from tarnix_xray.batch.task import Task, run_task
from tarnix_xray.synthetic import generate_market

START = int(np.datetime64("2026-03-02T22:30:00", "ms").astype(np.int64))
SPEC: dict[str, Any] = {
    "panels": [
        {"kind": "footprint", "price_bin": 1.0},
        {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": 60_000, "depth_levels": 40},
        {"kind": "liquidation_map", "price_bin": 1.0},
        {"kind": "funding_oi_divergence", "bucket_ms": 60_000},
    ]
}


def write_market(root: Path, instruments: int, hours: float) -> None:
    for i in range(instruments):
        market = generate_market(hours, seed=i, start_ms=START)
        for name, table in market.items():
            for day, part in table.groupby(table["ts"] // DAY_MS * DAY_MS):
                folder = root / f"symbol=S{i}" / f"date={np.datetime64(int(day), 'ms').astype('datetime64[D]')}"
                folder.mkdir(parents=True, exist_ok=True)
                part.to_parquet(folder / f"{name}.parquet", index=False)


def tasks_of(job: Job, out: Path) -> list[Task]:
    return plan(job).tasks(out, "parquet")


def loop(job: Job, out: Path) -> dict[str, float]:
    shutil.rmtree(out, ignore_errors=True)
    start = time.perf_counter()
    results = [run_task(t) for t in tasks_of(job, out)]
    wall = time.perf_counter() - start
    assert all(r.error is None for r in results)
    return {"wall": wall, "tasks": len(results), "frames": sum(r.frames for r in results),
            "load": sum(r.load_s for r in results), "frame": sum(r.frames_s for r in results),
            "write": sum(r.write_s for r in results)}  # fmt: skip


def noop(x: int) -> int:
    return x


def on_cluster(job: Job, out: Path, workers: int, repeat: int, engine_threads: int | None) -> dict[str, float]:
    from distributed import Client, LocalCluster

    env = {"RAYON_NUM_THREADS": str(engine_threads)} if engine_threads else None
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", env=env) as cluster:
        with Client(cluster) as client:
            client.submit(noop, 0).result()  # workers up and importing
            best: dict[str, float] = {}
            for _ in range(repeat):
                shutil.rmtree(out, ignore_errors=True)
                start = time.perf_counter()
                result = run(job, out, client=client, progress=False)
                wall = time.perf_counter() - start
                assert result.ok and result.ran == result.tasks
                own = sum(r.load_s + r.frames_s + r.write_s for r in result.results)
                if not best or wall < best["wall"]:
                    best = {"wall": wall, "tasks": result.tasks, "frames": result.frames, "own": own,
                            "frame": sum(r.frames_s for r in result.results)}  # fmt: skip
            n = 400
            start = time.perf_counter()
            client.gather(client.map(noop, range(n), pure=False))
            best["noop"] = (time.perf_counter() - start) / n
    return best


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1])


def peak_rss_of(task: Task) -> tuple[float, int]:
    """(peak MB above the resident set before the task, records loaded), in this fresh process."""
    import gc

    gc.collect()
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets the peak resident set (VmHWM) to the current one
    before = _status_kb("VmRSS")
    result = run_task(task)
    return (_status_kb("VmHWM") - before) / 1024, result.records


def task_memory(job: Job, out: Path) -> tuple[float, int, int]:
    tasks = tasks_of(job, out)
    task = max(tasks, key=lambda t: len(t.cursors))
    shutil.rmtree(out, ignore_errors=True)
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        mb, records = pool.submit(peak_rss_of, task).result()
    return mb, records, len(task.cursors)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--instruments", type=int, default=4)
    parser.add_argument("--hours", type=float, default=3.0)
    parser.add_argument("--every", default="1m")
    parser.add_argument("--window", default="1h")
    parser.add_argument("--chunk", default="30m")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--engine-threads", type=int, help="RAYON_NUM_THREADS for the workers' engine pools")
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="bench_batch_"))
    try:
        began = time.perf_counter()
        write_market(work / "in", args.instruments, args.hours)
        print(f"market: {args.instruments} instruments x {args.hours:g} h, written in {time.perf_counter() - began:.1f} s")
        schedule = Schedule.every(args.every, start=START, end=START + int(args.hours * 3_600_000) - 1)
        job = Job(Source.directory(work / "in"), SPEC, schedule, window_ms=duration_ms(args.window),
                  chunk_ms=duration_ms(args.chunk))  # fmt: skip

        base = loop(job, work / "loop")
        per = 1e3 / base["tasks"]
        print(f"\nplain loop, this process: {base['tasks']} tasks, {base['frames']} frames, "
              f"{base['frames'] / base['wall']:.0f} frames/s")  # fmt: skip
        print(f"  per task: read {base['load'] * per:.1f} ms, frames {base['frame'] * per:.1f} ms, "
              f"write {base['write'] * per:.1f} ms; per frame {base['frame'] / base['frames'] * 1e3:.2f} ms")  # fmt: skip

        rates = {}
        for workers in (1, 2):
            r = on_cluster(job, work / f"out{workers}", workers, args.repeat, args.engine_threads)
            rates[workers] = r["frames"] / r["wall"]
            dask_cost = (r["wall"] * workers - r["own"]) / r["tasks"]
            print(f"\n{workers} worker(s): wall {r['wall']:.2f} s, {rates[workers]:.0f} frames/s")
            print(f"  per task: own {r['own'] / r['tasks'] * 1e3:.1f} ms (frames {r['frame'] / r['tasks'] * 1e3:.1f} ms), "
                  f"Dask layer {dask_cost * 1e3:.1f} ms; no-op task round trip {r['noop'] * 1e3:.2f} ms")  # fmt: skip
        print(f"\nscaling 1 -> 2 workers: {rates[2] / rates[1]:.2f}x")

        for chunk in (args.chunk, "2h"):
            sized = Job(job.source, SPEC, schedule, window_ms=job.window_ms, chunk_ms=duration_ms(chunk))
            mb, records, cursors = task_memory(sized, work / "mem")
            print(f"task memory, chunk {chunk} + {args.window} look-back: {cursors} frames over {records} records, "
                  f"peak {mb:.0f} MB above the process before it")  # fmt: skip
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
