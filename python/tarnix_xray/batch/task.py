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
from .plan import frame_from
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
    if path.exists():  # a retry after the rename: the file is whole
        return TaskResult(task.symbol, task.chunk_start_ms, len(task.cursors), reused=True)
    began = time.perf_counter()
    dataset = task.source.read(task.symbol, task.lo, task.hi)
    records = len(dataset)
    if records == 0:
        dataset = _placeholder(task.hi)
    session = Session(_with_from(task.spec, task.window_ms, int(task.cursors[0])))
    try:
        session.load(dataset)
        loaded = time.perf_counter()
        texts = _scrub(session, task)
        scrubbed = time.perf_counter()
    finally:
        # Dask's profiler holds frames of task threads and may drop their
        # locals from its own thread; the engine must be dropped on this one.
        del session.xray
    output.write(path, task.symbol, task.cursors.tolist(), texts, task.fmt)
    done = time.perf_counter()
    return TaskResult(task.symbol, task.chunk_start_ms, len(texts), records,
                      loaded - began, scrubbed - loaded, done - scrubbed)  # fmt: skip


def _scrub(session: Session, task: Task) -> list[str]:
    texts = []
    current = frame_from(task.spec, task.window_ms, int(task.cursors[0]))
    for cursor in task.cursors.tolist():
        if task.window_ms is not None:
            low = frame_from(task.spec, task.window_ms, cursor)
            if low != current:
                session.set_spec(_with_from(task.spec, task.window_ms, cursor))
                current = low
        text = session.xray.command(f'{{"cmd":"frame_at","ts":{cursor}}}')
        error = XrayError.from_response(text)
        if error is not None:
            raise error
        texts.append(text)
    return texts


def _with_from(spec: dict[str, Any], window_ms: int | None, cursor: int) -> dict[str, Any]:
    if window_ms is None:
        return spec
    return {**spec, "from_ts": frame_from(spec, window_ms, cursor)}


def _placeholder(hi: int) -> Any:
    # The engine frames nothing without a record; one record after the chunk's
    # last cursor lies outside every window of the chunk, so the frames are the
    # empty ones a load of the whole history gives here.
    from ..data import Dataset

    return Dataset({"funding": (np.array([hi + 1], np.int64), np.zeros(1))})
