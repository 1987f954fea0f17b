"""One task, run inside a worker process: load a chunk's span, scrub its cursors, write the file.

The Session is created here, on the worker's own thread, and dropped with
the task: no engine instance crosses a thread or a process.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ..errors import DatasetError, SpecError, XrayError
from ..session import Session
from . import output
from .source import Source


@dataclass(frozen=True)
class Task:
    """Plain data: pickled to a worker with the paths of the days it reads, nothing more."""

    symbol: str
    chunk_start_ms: int
    cursors: np.ndarray[Any, np.dtype[np.int64]]
    lo: int | None
    hi: int
    spec: dict[str, Any]
    window_ms: int | None
    source: Source
    path: str
    fmt: str

    @property
    def key(self) -> str:
        return f"{self.symbol}@{self.chunk_start_ms}"


@dataclass(frozen=True)
class TaskResult:
    symbol: str
    chunk_start_ms: int
    frames: int = 0
    records: int = 0
    load_s: float = 0.0
    frames_s: float = 0.0
    write_s: float = 0.0
    error: str | None = None
    reused: bool = False  # the file was there: written by an earlier try


# Errors of the data or the spec: the same on every try, so they are results, not retries.
_INPUT_ERRORS = (DatasetError, SpecError, XrayError)


def run_task(task: Task) -> TaskResult:
    try:
        return _run(task)
    except _INPUT_ERRORS as e:
        return TaskResult(task.symbol, task.chunk_start_ms, error=" ".join(str(e).split()))


def _run(task: Task) -> TaskResult:
    path = Path(task.path)
    if output.finished(path):  # a retry after the rename: the file is whole
        return TaskResult(task.symbol, task.chunk_start_ms, len(task.cursors), reused=True)
    began = time.perf_counter()
    dataset = task.source.read(task.symbol, task.lo, task.hi)
    records = len(dataset)
    if records == 0:
        dataset = _placeholder(task.hi)
    session = Session(task.spec)
    try:
        session.load(dataset)
        loaded = time.perf_counter()
        texts = [session.frame_text(cursor, window=task.window_ms) for cursor in task.cursors.tolist()]
        scrubbed = time.perf_counter()
    finally:
        # Dask's profiler holds frames of task threads and may drop their
        # locals from its own thread; the engine must be dropped on this one.
        session.close()
    output.write(path, task.symbol, task.cursors.tolist(), texts, task.fmt)
    done = time.perf_counter()
    return TaskResult(task.symbol, task.chunk_start_ms, len(texts), records,
                      loaded - began, scrubbed - loaded, done - scrubbed)  # fmt: skip


def _placeholder(hi: int) -> Any:
    # The engine frames nothing without a record; one record after the chunk's
    # last cursor lies outside every window of the chunk, so the frames are the
    # empty ones a load of the whole history gives here.
    from ..data import Dataset

    return Dataset({"funding": (np.array([hi + 1], np.int64), np.zeros(1))})
