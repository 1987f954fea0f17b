"""Datasets partitioned by instrument and UTC day: found in a directory tree or listed in a table.

A partition is the files of one symbol and one day, one or more per list.
Reading a span of days concatenates them per list and keeps the records with
lo <= ts <= hi, so a task holds its span and not the instrument's history.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any
from urllib.parse import unquote

import numpy as np

from .._clock import to_ms
from .._suggest import hint
from ..data import Dataset
from ..data.archives import DATA_SUFFIXES
from ..data.book import concat_events
from ..data.files import read_file
from ..data.layouts import LIST_ALIASES, LISTS, lists_named
from ..errors import DatasetError, OnceWarner, note

DAY_MS = 86_400_000
Files = dict[str, dict[int, dict[str, tuple[str, ...]]]]  # symbol -> day start (ms) -> list -> paths
# A file manager's copy of a file: "trades (copy).parquet", "trades - Copy.csv", "trades (2).parquet".
_COPY = re.compile(r"\bcopy\b|\(\d+\)\s*$", re.IGNORECASE)


def day_of(ms: int) -> int:
    """Start (ms) of the UTC day holding `ms`."""
    return ms // DAY_MS * DAY_MS


def day_text(day_ms: int) -> str:
    return str(np.datetime64(day_ms, "ms").astype("datetime64[D]"))


def parse_day(value: Any, where: str) -> int:
    """A partition date (2026-03-02, 20260302, a date or a time in it) as its UTC day start in ms."""
    text = str(value).strip()
    when = text if isinstance(value, str) else value
    try:
        if re.fullmatch(r"[+-]?\d+", text):  # a number is a day without dashes, never milliseconds
            if len(text) != 8:
                raise ValueError(text)
            when = f"{text[:4]}-{text[4:6]}-{text[6:]}"
        return day_of(to_ms(when, what=where))
    except (TypeError, ValueError):
        raise DatasetError(f"{where}: {value!r} is not a date (2026-03-02 or 20260302)") from None


class Source:
    """Files of a partitioned dataset by symbol, UTC day and list.

    Build one with `Source.directory(root)` or `Source.table(files)`; the read
    options (ts_unit, columns, layout, strict) are those of `tarnix_xray.data.read`.
    It holds only paths, so it travels to worker processes cheaply. `refused`
    holds, per symbol, why its files cannot be read as they lie (a stray copy).
    """

    def __init__(
        self,
        files: Files,
        *,
        ts_unit: str | Mapping[str, str] | None = None,
        columns: Mapping[str, Any] | None = None,
        layout: str | Sequence[str] | Mapping[str, str] | None = None,
        strict: bool = False,
        origin: str = "",
        refused: Mapping[str, str] | None = None,
    ) -> None:
        self.files = files
        self.options: dict[str, Any] = {"ts_unit": ts_unit, "columns": columns, "layout": layout, "strict": strict}
        self.origin = origin
        self.refused = dict(refused or {})

    @classmethod
    def directory(cls, root: str | os.PathLike[str], **options: Any) -> Source:
        """Files under `root` whose path holds symbol=... and date=... folders (hive style).

        The list of a file is told by its name or a folder of its path:
        root/trades/symbol=BTC/date=2026-03-02/part-0.parquet. Files whose
        names tell no list are listed once and skipped (strict=True refuses
        them); a copy of a file beside it ("trades (copy).parquet") fails its
        instrument, since its records would count twice.
        """
        base = Path(root)
        if not base.is_dir():
            raise DatasetError(f"no such directory: {str(base)!r}")
        rows: list[tuple[str, str, str, str]] = []
        unknown: list[str] = []
        refused: dict[str, str] = {}
        for path in sorted(base.rglob("*")):
            rel = path.relative_to(base).parts
            if not path.is_file() or any(p.startswith((".", "_")) for p in rel):
                continue  # hidden files, _SUCCESS and _metadata
            if not path.name.lower().endswith(DATA_SUFFIXES):
                continue
            keys = {k.lower(): unquote(v) for k, _, v in (p.partition("=") for p in rel[:-1] if "=" in p)}
            missing = [k for k in ("symbol", "date") if k not in keys]
            if missing:
                raise DatasetError(f"{'/'.join(rel)} has no {missing[0]}=... folder in its path")
            words = [p for p in rel[:-1] if "=" not in p] + [path.name]
            found = set().union(*(lists_named(w) for w in words))
            if len(found) != 1:
                unknown.append("/".join(rel))
                continue
            if _COPY.search(path.name.split(".")[0]):
                refused.setdefault(keys["symbol"], f"{'/'.join(rel)} looks like a copy (its name says so) of one of "
                                   f"the partition's {found.pop()} files; its records would count twice: remove "
                                   "or rename it")  # fmt: skip
                continue
            rows.append((keys["symbol"], keys["date"], found.pop(), str(path)))
        if unknown:
            shown = ", ".join(unknown[:5]) + (f" and {len(unknown) - 5} more" if len(unknown) > 5 else "")
            if options.get("strict"):
                raise DatasetError(f"{len(unknown)} files whose names tell no list: {shown}; name them after their "
                                   "list (trades.parquet) or move them away")  # fmt: skip
            note(f"{str(base)!r}: left out {len(unknown)} files whose names tell no list: {shown} "
                 "(strict=True refuses them)")  # fmt: skip
        if not rows:
            raise DatasetError(f"{str(base)!r} holds no .parquet or .csv files under symbol=/date= folders")
        return cls(_index(rows), origin=str(base), refused=refused, **options)

    @classmethod
    def table(cls, table: Any, **options: Any) -> Source:
        """Files listed in a table (DataFrame, or CSV/Parquet file) with columns symbol, date, path
        and optionally list (else told by the file's name)."""
        import pandas as pd

        origin = ""
        if isinstance(table, (str, os.PathLike)):
            origin = str(table)
            name = str(table).lower()
            table = pd.read_parquet(table) if name.endswith((".parquet", ".pq")) else pd.read_csv(table)
        frame = pd.DataFrame(table)
        for column in ("symbol", "date", "path"):
            if column not in frame.columns:
                raise DatasetError(f"the file table has no column {column!r} (columns: {', '.join(map(str, frame.columns))})")
        rows = []
        for i, row in enumerate(frame.itertuples(index=False)):
            path = str(row.path)
            where = f"file table row {i} ({path})"
            list_ = _list_of([Path(path).name], where) if "list" not in frame.columns else _named_list(str(row.list), where)
            rows.append((str(row.symbol), row.date, list_, path))
        return cls(_index(rows), origin=origin, **options)

    # -- what it holds ----------------------------------------------------

    @property
    def symbols(self) -> list[str]:
        return sorted(self.files)

    def days(self, symbol: str) -> list[int]:
        return sorted(self.files[symbol])

    def subset(self, symbol: str, days: Iterable[int]) -> Source:
        """The same source narrowed to one symbol's given days: what one task needs."""
        held = self.files[symbol]
        narrowed = {symbol: {d: held[d] for d in days if d in held}}
        return Source(narrowed, origin=self.origin, refused=self.refused, **self.options)

    def check(self, symbol: str, *, allow_gaps: bool = False) -> None:
        """DatasetError when a listed file is missing or a day between the first and last has no
        partition: either would change every frame after it. (A day may lack a list: a quiet
        day has no liquidations.) Also a stray copy found among its files."""
        if symbol in self.refused:
            raise DatasetError(f"{symbol}: {self.refused[symbol]}")
        days = self.days(symbol)
        for day in days:
            for paths in self.files[symbol][day].values():
                absent = next((p for p in paths if not Path(p).exists()), None)
                if absent is not None:
                    raise DatasetError(f"{symbol}: the file {absent!r} of the {day_text(day)} partition does not exist")
        if allow_gaps:
            return
        present = set(days)
        for day in range(days[0], days[-1], DAY_MS):
            if day not in present:
                raise DatasetError(
                    f"{symbol}: no partition for {day_text(day)} between {day_text(days[0])} and "
                    f"{day_text(days[-1])}; allow gaps if the market was closed"
                )

    # -- reading ----------------------------------------------------------

    def read(self, symbol: str, lo: int | None, hi: int) -> Dataset:
        """Records of `symbol` with lo <= ts <= hi (no lower bound when lo is None).

        Reads whole day partitions, checks that each holds only its own day,
        and keeps the span; the engine's stable sort then sees the window's
        records in the order a load of the whole history gives them.
        """
        warn = OnceWarner()
        parts: dict[str, list[tuple[np.ndarray[Any, Any], ...]]] = {}
        for day in self.days(symbol):
            if day > hi or (lo is not None and day + DAY_MS <= lo):
                continue
            for list_, paths in sorted(self.files[symbol][day].items()):
                for path in paths:
                    _, columns = read_file(path, list_, progress=False, warn=warn, **self.options)
                    _check_day(columns[0], day, path)
                    parts.setdefault(list_, []).append(columns)
        lists = {}
        for list_, chunks in parts.items():
            columns = concat_events(chunks) if list_ == "book" else _concat(chunks)
            ts = columns[0]
            keep = ts <= hi if lo is None else (ts >= lo) & (ts <= hi)
            lists[list_] = _take_book(columns, keep) if list_ == "book" else tuple(c[keep] for c in columns)
        return Dataset(lists)


def _list_of(words: Sequence[str], where: str) -> str:
    found = set().union(*(lists_named(w) for w in words))
    if len(found) != 1:
        named = f" (names {', '.join(sorted(found))})" if found else ""
        raise DatasetError(f"cannot tell which list {where} holds{named}; name its file or a folder after the list (trades)")
    return found.pop()


def _named_list(name: str, where: str) -> str:
    key = name.lower()
    if key in LISTS:
        return key
    if key in LIST_ALIASES:
        return LIST_ALIASES[key]
    raise DatasetError(f"{where}: no list {name!r}{hint(name, LISTS)}")


def _index(rows: Iterable[tuple[str, Any, str, str]]) -> Files:
    files: dict[str, dict[int, dict[str, list[str]]]] = {}
    for symbol, date, list_, path in rows:
        day = parse_day(date, f"{symbol} {path}")
        files.setdefault(symbol, {}).setdefault(day, {}).setdefault(list_, []).append(path)
    return {s: {d: {n: tuple(sorted(p)) for n, p in lists.items()} for d, lists in days.items()} for s, days in files.items()}


def _check_day(ts: np.ndarray[Any, Any], day: int, path: str) -> None:
    # A record outside its partition's day would be missed by a task reading only the days it needs.
    outside = (ts < day) | (ts >= day + DAY_MS)
    if outside.any():
        at = int(ts[outside][0])
        raise DatasetError(
            f"{path} is the partition of {day_text(day)} (UTC) but holds ts {at} "
            f"({np.datetime64(at, 'ms')}); partition by the UTC day of ts"
        )


def _concat(chunks: list[tuple[np.ndarray[Any, Any], ...]]) -> tuple[np.ndarray[Any, Any], ...]:
    return tuple(np.concatenate(column) for column in zip(*chunks))


def _take_book(columns: tuple[np.ndarray[Any, Any], ...], keep: np.ndarray[Any, Any]) -> tuple[np.ndarray[Any, Any], ...]:
    """The kept events with their levels, offsets rebuilt."""
    idx = np.flatnonzero(keep)
    out: list[np.ndarray[Any, Any]] = [columns[0][idx], columns[1][idx]]
    for side in (2, 5):
        offsets = columns[side]
        starts, counts = offsets[idx], offsets[idx + 1] - offsets[idx]
        new = np.r_[0, np.cumsum(counts)].astype(np.int64)
        levels = np.repeat(starts - new[:-1], counts) + np.arange(new[-1], dtype=np.int64)
        out += [new, columns[side + 1][levels], columns[side + 2][levels]]
    return tuple(out)
