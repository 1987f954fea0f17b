"""CSV and Parquet files (also .gz, .zip and folders of daily files) to columns, streamed in chunks.

Each chunk is checked as it comes and copied into its columns' final arrays
(8 bytes a number, 1 a side code), never held as Python objects or a
DataFrame. Those arrays are sized once from the rows the first chunk promises,
with room to spare that is never written and so never paged in; they grow
by half when the estimate falls short. So the peak is about the columns and
a few blocks of text.
"""

from __future__ import annotations

import os
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .._extras import need, optional
from ..errors import DatasetError, UnreadableFile, note
from .archives import Table, tables_of
from .book import concat_events
from .layouts import LAYOUTS, LISTS, lists_named, mapping_for, resolve_columns, unused_columns
from .presets import Preset, choose, presets_of
from .streams import batches, expected_rows, head, looks_like_values
from .tables import Columns, finish, row_columns
from .timestamps import Warn
from .wide import level_columns, wide_events

CHUNK_ROWS = 65_536
# A progress bar is worth showing for files of this many bytes on disk.
_BIG_BYTES = 64 << 20

PathLike = str | os.PathLike[str]
TsUnit = str | Mapping[str, str] | None
Layout = str | Sequence[str] | Mapping[str, str] | None


def list_of_columns(columns: list[str]) -> str | None:
    """The one list whose layout these columns fit exactly, else the one they fit with extras."""
    for strict in (True, False):
        fitting = []
        for name in LISTS:
            try:
                resolve_columns(name, columns, None, strict=strict)
            except DatasetError:
                continue
            fitting.append(name)
        if fitting:
            return fitting[0] if len(fitting) == 1 else None
    return None


def unit_for(ts_unit: TsUnit, list_: str) -> str | None:
    """One list's ts_unit: its own entry ({"book": "us"}) or the one for all."""
    if ts_unit is None or isinstance(ts_unit, str):
        return ts_unit
    from .layouts import list_name

    units = {list_name(k): v for k, v in ts_unit.items()}
    return units.get(list_)


@dataclass
class _Plan:
    """How one table is read: its list, names, column mapping, unit and the columns to stream."""

    list_: str
    names: list[str]
    headerless: bool
    mapping: Mapping[str, str] | None
    unit: str | None
    wanted: list[str]
    extras: list[str]
    numbers: list[str]  # source columns read as float64 whatever the first block holds
    wide: bool


def read_file(
    path: PathLike,
    list_: str | None = None,
    *,
    ts_unit: TsUnit = None,
    columns: Mapping[str, Any] | None = None,
    layout: Layout = None,
    strict: bool = False,
    progress: bool | None = None,
    warn: Warn,
    chunk_rows: int | None = None,
) -> tuple[str, Columns]:
    """(list, writer columns) of one CSV or Parquet file, .zip archive or folder of daily files."""
    path = Path(path)
    need("pyarrow", f"reading {path.name}")  # before any progress bar opens
    chunk_rows = chunk_rows or CHUNK_ROWS
    tables = tables_of(path)
    given = presets_of(layout)
    sink = _Sink()
    extras: dict[str, None] = {}
    plans: list[_Plan] = []
    rows = 0
    for table in tables:
        try:
            plan = _plan(table, list_, given, columns, ts_unit, strict)
        except DatasetError as e:  # its columns' faults, named by the file as its rows' are
            if isinstance(e, UnreadableFile) or table.name in str(e):
                raise
            raise DatasetError(f"{table.name}: {e}") from None
        if plans and (plan.list_, plan.wide) != (plans[0].list_, plans[0].wide):
            raise DatasetError(f"{path.name} mixes {plans[0].list_} and {plan.list_} files; give one list per folder")
        plans.append(plan)
        list_ = plan.list_
        extras.update(dict.fromkeys(plan.extras))
        rows += _stream(table, plan, sink, chunk_rows, progress, warn)
    if rows == 0:  # an empty day among daily files loses nothing; a source with no row at all is a mistake
        name = tables[0].name if len(tables) == 1 else path.name
        raise UnreadableFile(f"{name} holds no rows" + (" (only a header)" if tables[0].kind == "csv" else ""))
    assert list_ is not None
    if extras:
        note(f"{path.name}: left out columns {', '.join(extras)}, which the {list_} layout does not take (strict=True refuses them)")
    if plans[0].wide:
        return list_, concat_events(sink.events)
    return list_, finish(list_, sink.columns())


class _Sink:
    """Row columns filled chunk by chunk (or, for wide books, event chunks to join)."""

    def __init__(self) -> None:
        self.arrays: dict[str, np.ndarray[Any, Any]] = {}
        self.rows = 0
        self.expected = 0  # rows the tables read so far promise in all
        self.events: list[Any] = []

    def expect(self, more: int) -> None:
        self.expected = self.rows + more

    def add(self, chunk: Mapping[str, np.ndarray[Any, Any]]) -> None:
        count = len(next(iter(chunk.values())))
        end = self.rows + count
        for column, values in chunk.items():
            array = self.arrays.get(column)
            if array is None or len(array) < end:
                array = self._grown(column, values.dtype, end)
            array[self.rows : end] = values
        self.rows = end

    def _grown(self, column: str, dtype: Any, end: int) -> np.ndarray[Any, Any]:
        old = self.arrays.get(column)
        room = max(end, self.expected + self.expected // 8, int(len(old) * 1.5) if old is not None else 0)
        array = np.empty(room, dtype)
        if old is not None:
            array[: self.rows] = old[: self.rows]
        self.arrays[column] = array
        return array

    def columns(self) -> dict[str, np.ndarray[Any, Any]]:
        return {c: a[: self.rows] for c, a in self.arrays.items()}


def _plan(
    table: Table, list_: str | None, given: tuple[Preset, ...], columns: Mapping[str, Any] | None,
    ts_unit: TsUnit, strict: bool,
) -> _Plan:  # fmt: skip
    first, parquet_names = head(table)
    headerless = parquet_names is None and looks_like_values(first)
    header = parquet_names if parquet_names is not None else (None if headerless else first)
    if header is not None:
        _refuse_twice(table.name, header)
    named = lists_named(table.name)
    hinted = list_ or (named.pop() if len(named) == 1 else None)
    preset, names = choose(table.name, hinted, header, first, given)
    list_ = hinted or (preset.list_ if preset else list_of_columns(names))
    if list_ is None:
        raise DatasetError(
            f"cannot tell which list {table.name!r} holds (columns: {', '.join(names)}); put the list in its "
            "name (trades.csv), give its layout (layout=NAME), or pass it by keyword (trades=...)"
        )
    if preset is not None and preset.list_ != list_:
        preset = None
    user = mapping_for(columns, list_)
    mapping = merged_mapping(preset.sources(names) if preset else {}, user)
    unit = unit_for(ts_unit, list_) or (preset.ts_unit if preset else None)
    if preset is not None and preset.wide:
        ts = next(s for s, c in (mapping or {}).items() if c == "ts")
        levels = level_columns(names)
        wanted = [ts, *levels]
        if strict and len(wanted) < len(names):
            extra = next(c for c in names if c not in wanted)
            raise DatasetError(f"book has an extra column {extra!r}; strict=True refuses columns the layout does "
                               "not take: drop it")  # fmt: skip
        return _Plan(list_, names, headerless, mapping, unit, wanted, [c for c in names if c not in wanted],
                     levels, True)  # fmt: skip
    chosen = resolve_columns(list_, names, mapping, strict)
    wanted = list(dict.fromkeys(chosen.values()))
    numbers = [s for c, s in chosen.items() if c not in ("ts", "side", "is_snapshot")]
    return _Plan(list_, names, headerless, mapping, unit, wanted, unused_columns(names, chosen), numbers, False)


def merged_mapping(preset: dict[str, str], user: Mapping[str, str] | None) -> Mapping[str, str] | None:
    """The preset's column mapping under the user's: the user's entries win per layout column."""
    if not user:
        return preset or None
    taken = set(user.values())
    merged = {s: c for s, c in preset.items() if c not in taken}
    return type(user)({**merged, **user}) if isinstance(user, dict) else {**merged, **user}


def _refuse_twice(name: str, header: list[str]) -> None:
    seen: set[str] = set()
    for column in header:
        if column in seen:
            raise UnreadableFile(f"{name}: column {column!r} appears twice in its header; rename one")
        seen.add(column)


def _stream(
    table: Table, plan: _Plan, sink: _Sink, chunk_rows: int, progress: bool | None, warn: Warn
) -> int:
    """Stream one table into `sink`; returns its rows."""
    offset = 0
    with _bar(progress, table.size >= _BIG_BYTES, f"{table.name} ({plan.list_})") as bar:
        try:
            for arrays in batches(table, plan.names, not plan.headerless, plan.wanted, plan.numbers, chunk_rows):
                rows = len(next(iter(arrays.values())))
                if offset == 0:
                    sink.expect(expected_rows(table, rows, chunk_rows))
                if plan.wide:
                    sink.events.append(wide_events(arrays, plan.wanted[0], plan.wanted[1:], plan.unit, warn))
                else:
                    sink.add(row_columns(plan.list_, arrays, ts_unit=plan.unit, mapping=plan.mapping, strict=False,
                                         warn=warn))  # fmt: skip
                offset += rows
                bar.update(rows)
        except DatasetError as e:
            if isinstance(e, UnreadableFile):
                raise
            raise DatasetError(_count_rows_from(str(e), offset, table.name)) from None
        except MemoryError:
            raise UnreadableFile(f"{table.name}: out of memory after {offset:,} rows; free memory or read fewer "
                                 "files") from None  # fmt: skip
    return offset


def _count_rows_from(message: str, offset: int, name: str) -> str:
    # Checks count rows within their chunk; the user counts rows of the file.
    shifted = re.sub(r" row (\d+)", lambda m: f" row {int(m[1]) + offset}", message, count=1)
    return f"{name}: {shifted}"


class _Quiet:
    def __enter__(self) -> _Quiet:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def update(self, n: int) -> None:
        return None


def _bar(progress: bool | None, big: bool, label: str) -> Any:
    """tqdm when asked for (or for big files when not said), and installed; else quiet."""
    if progress is False or (progress is None and not big):
        return _Quiet()
    bars = optional("tqdm.auto")
    if bars is None:
        return _Quiet()
    return bars.tqdm(total=None, unit="rows", unit_scale=True, desc=label)


__all__ = ["CHUNK_ROWS", "LAYOUTS", "PathLike", "list_of_columns", "read_file", "unit_for"]
