"""The one thread that touches the Session: every request reaches it through a queue.

An Xray answers only the thread that created it, so the owner thread builds
the view state itself and runs each job in turn. Control jobs (bounds, spec)
go first; frame requests coalesce: only the newest cursor waits, an older
waiting one is answered `Superseded`, so no request waits for more than the
frame in progress plus its own.
"""

from __future__ import annotations

import functools
import threading
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any, Generic, TypeVar

S = TypeVar("S")
T = TypeVar("T")


class Superseded(Exception):
    """A frame request that a newer one replaced before it started."""


class Owner(Generic[S]):
    """Runs `build()` and then every job on one thread; `S` is the state it built."""

    def __init__(self, build: Callable[[], S], frame: Callable[[S, int], Any], name: str = "xray-owner") -> None:
        self._build = build
        self._frame = frame
        self._lock = threading.Condition()
        self._jobs: deque[tuple[Callable[[S], Any], Future[Any]]] = deque()
        self._pending: tuple[int, list[Future[Any]]] | None = None
        self._closing = False
        self._ready: Future[None] = Future()
        self.thread = threading.Thread(target=self._run, name=name, daemon=True)

    def start(self, timeout: float | None = None) -> None:
        """Start the thread and wait until the state is built; its error is raised here."""
        self.thread.start()
        self._ready.result(timeout)

    def call(self, job: Callable[[S], T]) -> Future[T]:
        """Run `job(state)` on the owner thread, ahead of any waiting frame."""
        future: Future[T] = Future()
        with self._lock:
            if self._closing:
                raise RuntimeError("the viewer is closed")
            self._jobs.append((job, future))
            self._lock.notify()
        return future

    def frame(self, ts: int) -> Future[Any]:
        """The frame at `ts`; replaces a waiting request for another cursor."""
        future: Future[Any] = Future()
        with self._lock:
            if self._closing:
                raise RuntimeError("the viewer is closed")
            if self._pending is not None and self._pending[0] == ts:
                self._pending[1].append(future)
            else:
                if self._pending is not None:
                    for old in self._pending[1]:
                        old.set_exception(Superseded(f"superseded by a newer frame request (ts {ts})"))
                self._pending = (ts, [future])
            self._lock.notify()
        return future

    def close(self, timeout: float | None = 5.0) -> None:
        with self._lock:
            self._closing = True
            self._lock.notify()
        if self.thread.is_alive() and threading.current_thread() is not self.thread:
            self.thread.join(timeout)

    def _run(self) -> None:
        try:
            state = self._build()
        except BaseException as e:  # noqa: BLE001 - handed to start()'s caller
            _drop_tracebacks(e)
            self._ready.set_exception(e)
            return
        self._ready.set_result(None)
        while True:
            with self._lock:
                while not (self._jobs or self._pending or self._closing):
                    self._lock.wait()
                if self._closing:
                    self._fail_waiting()
                    break
                job: Callable[[S], Any] | None = None
                if self._jobs:
                    job, future = self._jobs.popleft()
                    futures = [future]
                else:
                    assert self._pending is not None
                    ts, futures = self._pending
                    self._pending = None
            if job is None:
                job = functools.partial(_frame_at, self._frame, ts)
            _settle(futures, job, state)
        # Released here: the Session must not be dropped by another thread.
        release = getattr(state, "close", None)
        if release is not None:
            release()
        del state

    def _fail_waiting(self) -> None:
        waiting = [f for _, f in self._jobs] + (self._pending[1] if self._pending else [])
        self._jobs.clear()
        self._pending = None
        for f in waiting:
            f.set_exception(RuntimeError("the viewer is closed"))


def _frame_at(frame: Callable[[Any, int], Any], ts: int, state: Any) -> Any:
    return frame(state, ts)


def _settle(futures: list[Future[Any]], run: Callable[[Any], Any], state: Any) -> None:
    try:
        result = run(state)
    except Exception as e:  # noqa: BLE001 - the request's answer, not the thread's end
        _drop_tracebacks(e)
        for f in futures:
            f.set_exception(e)
    else:
        for f in futures:
            f.set_result(result)


def _drop_tracebacks(error: BaseException | None) -> None:
    # A traceback keeps the frames, and so the Session, alive in whichever
    # thread reads the answer; the answer needs only the message.
    seen: set[int] = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        error.__traceback__ = None
        error = error.__cause__ or error.__context__
