"""Planning a job into tasks and running them on dask.distributed."""

from __future__ import annotations

import time
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .._extras import need
from ..errors import DatasetError, SpecError, XrayError
from ..session import Session
from . import output
from .plan import Instrument, Job, chunks, days_needed, instrument_spec
from .source import DAY_MS, Source
from .task import Task, TaskResult, run_task


@dataclass
class Plan:
    source: Source
    instruments: list[Instrument]
    failed: dict[str, str]  # symbol -> why it was not run

    def tasks(self, out: Path, fmt: str) -> list[Task]:
        """Every task of the job, finished or not; finished ones have their file and its sum."""
        return [
            Task(ins.symbol, c.start_ms, c.cursors, c.lo, c.hi, ins.spec, ins.window_ms,
                 self.source.subset(ins.symbol, days_needed(ins.days, c)),
                 str(output.task_path(out, ins.symbol, c.start_ms, fmt)), fmt)  # fmt: skip
            for ins in self.instruments
            for c in ins.chunks
        ]


def plan(job: Job) -> Plan:
    """Instruments with their chunks; an instrument with a bad spec or missing partitions fails here."""
    symbols = list(job.symbols) if job.symbols is not None else job.source.symbols
    unknown = [s for s in [*symbols, *job.overrides] if s not in job.source.files]
    if unknown:
        raise ValueError(f"the source holds no instrument {unknown[0]!r} (it holds {', '.join(job.source.symbols[:8])}...)")
    if job.chunk_ms % 1000:
        raise ValueError(f"chunk must be whole seconds, not {job.chunk_ms} ms")
    instruments, failed = [], {}
    for symbol in symbols:
        try:
            spec, window = instrument_spec(job, symbol)
            Session(spec)  # the engine's own checks, before any task is sent
            job.source.check(symbol, allow_gaps=job.allow_gaps)
        except (SpecError, XrayError, DatasetError, ValueError) as e:
            failed[symbol] = " ".join(str(e).split())
            continue
        days = job.source.days(symbol)
        cut = chunks(spec, window, job.schedule.for_days(days), job.chunk_ms)
        instruments.append(Instrument(symbol, spec, window, days, cut))
    return Plan(job.source, instruments, failed)


@dataclass
class BatchResult:
    """What a run did. `failed` maps a symbol to its first error; its other chunks may be done."""

    tasks: int = 0
    ran: int = 0
    skipped: int = 0
    frames: int = 0
    failed: dict[str, str] = field(default_factory=dict)
    results: list[TaskResult] = field(default_factory=list)
    seconds: float = 0.0

    @property
    def ok(self) -> bool:
        return not self.failed


def run(
    job: Job,
    out: str | Path,
    *,
    fmt: str = "parquet",
    scheduler: str | None = None,
    workers: int | None = None,
    client: Any = None,
    progress: bool = True,
    retries: int = 2,
    log: Callable[[str], None] | None = None,
) -> BatchResult:
    """Compute every frame of `job` into OUT, one file per instrument and chunk.

    Finished tasks (their file matches the sum beside it) are skipped, so a
    rerun after a crash or a failure does only what is left, and redoes a
    file damaged since. Runs on `client`, else a new client
    of `scheduler`, else a local cluster of `workers` processes with one
    thread each. `retries` re-runs a task that raised; a task whose worker
    died is re-run by the scheduler itself.
    """
    if fmt not in output.FORMATS:
        raise ValueError(f"format is one of {', '.join(output.FORMATS)}, not {fmt!r}")
    began = time.perf_counter()
    out = Path(out)
    planned = plan(job)
    output.check_manifest(out, job.describe(), fmt)
    every = planned.tasks(out, fmt)
    todo = [t for t in every if not output.finished(Path(t.path))]
    result = BatchResult(tasks=len(every), skipped=len(every) - len(todo), failed=dict(planned.failed))
    if log:
        log(describe_load(job, planned, len(todo)))
    if todo:
        with _client(client, scheduler, workers) as c:
            if log and getattr(c, "dashboard_link", None):
                log(f"dashboard: {c.dashboard_link}")
            _submit(c, todo, result, progress, retries)
    result.seconds = time.perf_counter() - began
    return result


def describe_load(job: Job, planned: Plan, todo: int) -> str:
    """What each task holds: the chunk plus its look-back, or the history up to it."""
    windows = {ins.window_ms for ins in planned.instruments}
    froms = {ins.spec.get("from_ts") is not None for ins in planned.instruments}
    chunk = _hours(job.chunk_ms)
    if windows and None not in windows:
        bound = f"at most {chunk} of cursors plus a {_hours(max(w for w in windows if w))} look-back"
    elif froms == {True}:
        bound = f"the records from the spec's from_ts to the end of its {chunk} chunk"
    else:
        bound = f"the whole history up to the end of its {chunk} chunk (set a window to bound it)"
    return f"{todo} tasks to run over {len(planned.instruments)} instruments; each task loads {bound}"


def _hours(ms: int) -> str:
    for unit, size in (("d", DAY_MS), ("h", 3_600_000), ("min", 60_000), ("s", 1000)):
        if ms % size == 0:
            return f"{ms // size}{unit}"
    return f"{ms}ms"


@contextmanager
def _client(client: Any, scheduler: str | None, workers: int | None) -> Iterator[Any]:
    need("distributed", "a batch run")
    from distributed import Client, LocalCluster

    if client is not None:
        yield client
        return
    if scheduler is not None:
        with Client(scheduler) as c:
            yield c
        return
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True) as cluster, Client(cluster) as c:
        yield c


def _submit(client: Any, todo: list[Task], result: BatchResult, progress: bool, retries: int) -> None:
    from distributed import wait

    token = uuid.uuid4().hex[:8]
    keys = [f"tarnix-batch-{token}-{t.key}" for t in todo]
    futures = client.map(run_task, todo, key=keys, retries=retries, pure=False)
    if progress:
        from distributed import progress as bar

        bar(futures, notebook=False)
    wait(futures)
    for task, future in zip(todo, futures):
        if future.status == "finished":
            done: TaskResult = future.result()
            if done.error is not None:
                result.failed.setdefault(task.symbol, done.error)
                continue
            result.ran += 1
            result.frames += done.frames
            result.results.append(done)
        else:
            error = future.exception() if future.status == "error" else future.status
            result.failed.setdefault(task.symbol, f"chunk {task.key}: {' '.join(str(error).split())}")
