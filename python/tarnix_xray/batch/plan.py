"""A batch job: source, spec with per-instrument overrides, schedule of cursors, chunking.

The look-back rule lives here. A frame at cursor t is computed from the
records with from_ts <= ts <= min(t, to_ts) and from nothing else: the book
heatmap replays only the window's book events, the funding series starts at
the window's first record. So a chunk of cursors needs exactly the records
from the earliest from_ts of its frames to its latest effective cursor. With
neither a window nor a spec from_ts, that is the instrument's whole history
up to the chunk's end.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .._clock import duration_ms as duration_ms  # tarnix_xray.batch exports it
from .._suggest import hint
from ..errors import SpecError
from ..session import PANEL_PARAMETERS, SPEC_KEYS, frame_window
from .source import DAY_MS, Source, day_of


@dataclass(frozen=True)
class Schedule:
    """Cursors: every `every_ms` on multiples of it (UTC epoch), or an explicit list.

    Periodic cursors cover each instrument's partition days (from the first
    day's 00:00 to the last day's end), narrowed by start/end (ms, inclusive).
    """

    every_ms: int | None = None
    cursors: tuple[int, ...] | None = None
    start_ms: int | None = None
    end_ms: int | None = None

    def __post_init__(self) -> None:
        if (self.every_ms is None) == (self.cursors is None):
            raise ValueError("a schedule has either every_ms or cursors")

    @classmethod
    def every(cls, every: str | int, *, start: int | None = None, end: int | None = None) -> Schedule:
        return cls(every_ms=duration_ms(every, "every"), start_ms=start, end_ms=end)

    @classmethod
    def at(cls, cursors: Sequence[int]) -> Schedule:
        return cls(cursors=tuple(sorted({int(c) for c in cursors})))

    def for_days(self, days: Sequence[int]) -> np.ndarray[Any, np.dtype[np.int64]]:
        if self.cursors is not None:
            return np.array(self.cursors, np.int64)
        assert self.every_ms is not None
        first, last = days[0], days[-1] + DAY_MS - 1
        if self.start_ms is not None:
            first = max(first, self.start_ms)
        if self.end_ms is not None:
            last = min(last, self.end_ms)
        begin = -(-first // self.every_ms) * self.every_ms  # the first multiple at or after `first`
        return np.arange(begin, last + 1, self.every_ms, dtype=np.int64)

    def describe(self) -> dict[str, Any]:
        return {"every_ms": self.every_ms, "cursors": list(self.cursors) if self.cursors is not None else None,
                "start_ms": self.start_ms, "end_ms": self.end_ms}  # fmt: skip


@dataclass(frozen=True)
class Job:
    """What to compute: every instrument of `source`, framed by `spec` at `schedule`.

    `spec` is an engine spec; its symbol is each instrument's own and
    dataset_ref defaults to the source. `window_ms` makes every frame cover
    the trailing window (cursor - window_ms, cursor] instead of the spec's
    fixed from_ts, which bounds what a task loads. `overrides` maps a symbol
    to changes of its spec: {"price_bin": 5} sets every panel's price_bin,
    {"footprint": {"price_bin": 5}} one kind's, and from_ts, to_ts, panels,
    window replace the job's. Tasks are one instrument and `chunk_ms` of
    cursors each, aligned to multiples of it.
    """

    source: Source
    spec: Mapping[str, Any]
    schedule: Schedule
    window_ms: int | None = None
    overrides: Mapping[str, Mapping[str, Any]] = field(default_factory=dict)
    chunk_ms: int = DAY_MS
    symbols: tuple[str, ...] | None = None
    allow_gaps: bool = False

    def describe(self) -> dict[str, Any]:
        """What decides the output's bytes (not where the input lies): a rerun compares it."""
        return {"spec": dict(self.spec), "overrides": {k: dict(v) for k, v in sorted(self.overrides.items())},
                "window_ms": self.window_ms, "chunk_ms": self.chunk_ms, "schedule": self.schedule.describe()}  # fmt: skip


@dataclass(frozen=True)
class Chunk:
    """One task's cursors and the span of records its frames read."""

    start_ms: int
    cursors: np.ndarray[Any, np.dtype[np.int64]]
    lo: int | None  # None: from the start of the history
    hi: int


@dataclass(frozen=True)
class Instrument:
    symbol: str
    spec: dict[str, Any]
    window_ms: int | None
    days: list[int]
    chunks: list[Chunk]


def instrument_spec(job: Job, symbol: str) -> tuple[dict[str, Any], int | None]:
    """The engine spec and window of one instrument, overrides applied; SpecError on bad overrides."""
    spec = {k: v for k, v in job.spec.items()}
    spec["panels"] = [dict(p) if isinstance(p, Mapping) else p for p in spec.get("panels", [])]
    spec["symbol"] = symbol
    spec.setdefault("dataset_ref", f"{job.source.origin}#{symbol}" if job.source.origin else symbol)
    window = job.window_ms
    for key, value in job.overrides.get(symbol, {}).items():
        if key == "window":
            window = None if value is None else duration_ms(value, f"{symbol} window")
        elif key in SPEC_KEYS and key != "symbol":
            spec[key] = value
        elif key in PANEL_PARAMETERS and isinstance(value, Mapping):
            _set(spec, symbol, value, lambda p: p.get("kind") == key)
        else:
            _set(spec, symbol, {key: value}, lambda p: key in PANEL_PARAMETERS.get(str(p.get("kind")), ()))
    return spec, window


def _set(spec: dict[str, Any], symbol: str, values: Mapping[str, Any], wanted: Any) -> None:
    panels = [p for p in spec["panels"] if isinstance(p, dict) and wanted(p)]
    if not panels:
        key = next(iter(values))
        known = set(SPEC_KEYS) | set(PANEL_PARAMETERS) | {"window"} | {k for ks in PANEL_PARAMETERS.values() for k in ks}
        raise SpecError(f"{symbol}: override {key!r} matches no panel of the spec{hint(key, known)}")
    for panel in panels:
        panel.update(values)


def frame_from(spec: Mapping[str, Any], window_ms: int | None, cursor: int) -> int | None:
    """The from_ts of the frame at `cursor`, by the engine's window rule."""
    low, high = spec.get("from_ts"), spec.get("to_ts")
    return frame_window(cursor, window_ms, from_ts=None if low is None else int(low),
                        to_ts=None if high is None else int(high))[0]  # fmt: skip


def chunks(spec: Mapping[str, Any], window_ms: int | None, cursors: np.ndarray[Any, Any], chunk_ms: int) -> list[Chunk]:
    """Cursors cut at multiples of chunk_ms, each chunk with its look-back span."""
    out: list[Chunk] = []
    if not len(cursors):
        return out
    keys = cursors // chunk_ms
    to_ts = spec.get("to_ts")
    for key in np.unique(keys):
        mine = cursors[keys == key]
        # from_ts and the effective cursor both grow with the cursor, so the ends decide.
        lo = frame_from(spec, window_ms, int(mine[0]))
        last = int(mine[-1])
        hi = last if to_ts is None else min(last, int(to_ts))
        out.append(Chunk(int(key) * chunk_ms, mine, lo, hi))
    return out


def days_needed(days: Sequence[int], chunk: Chunk) -> list[int]:
    """The partition days holding records of the chunk's span."""
    return [d for d in days if d <= chunk.hi and (chunk.lo is None or d >= day_of(chunk.lo))]
