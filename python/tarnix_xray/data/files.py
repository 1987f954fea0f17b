"""CSV and Parquet files to columns, streamed in chunks with an optional progress bar."""

from __future__ import annotations

import os
import re
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from .._extras import need, optional
from ..errors import DatasetError
from .layouts import LAYOUTS, LIST_ALIASES, LISTS, mapping_for, resolve_columns
from .tables import Columns, finish, row_columns
from .timestamps import Warn

CHUNK_ROWS = 1_000_000
# A progress bar is worth showing from this many rows (Parquet) or bytes (CSV) on.
_BIG_ROWS = 2_000_000
_BIG_BYTES = 64 << 20

PathLike = str | os.PathLike[str]


def list_of_file(path: PathLike, columns: list[str]) -> str:
    """The list a file holds: from its name (btc_trades.csv), else from its columns."""
    words = re.split(r"[^a-z0-9]+", Path(path).name.lower())
    named = {w if w in LISTS else LIST_ALIASES[w] for w in words if w in LISTS or w in LIST_ALIASES}
    if len(named) == 1:
        return named.pop()
    fitting = []
    for name in LISTS:
        try:
            resolve_columns(name, columns, None, strict=True)
        except DatasetError:
            continue
        fitting.append(name)
    if len(fitting) == 1:
        return fitting[0]
    raise DatasetError(
        f"cannot tell which list {str(path)!r} holds (columns: {', '.join(columns)}); "
        f"put the list in its name (trades.csv) or pass it by keyword (trades=...)"
    )


def read_file(
    path: PathLike,
    list_: str | None = None,
    *,
    ts_unit: str | None = None,
    columns: Mapping[str, Any] | None = None,
    strict: bool = True,
    progress: bool | None = None,
    warn: Warn,
    chunk_rows: int | None = None,
) -> tuple[str, Columns]:
    """(list, writer columns) of one CSV or Parquet file."""
    path = Path(path)
    chunk_rows = chunk_rows or CHUNK_ROWS
    if not path.exists():
        raise DatasetError(f"no such file: {str(path)!r}")
    suffix = "".join(path.suffixes).lower()
    if ".parquet" in suffix or suffix.endswith(".pq"):
        names, total, batches = _parquet(path, chunk_rows)
        big = total >= _BIG_ROWS
    elif ".csv" in suffix or ".tsv" in suffix or suffix.endswith(".txt"):
        names, total, batches = _csv(path, chunk_rows)
        big = path.stat().st_size >= _BIG_BYTES
    else:
        raise DatasetError(f"{str(path)!r} is neither CSV (.csv, .csv.gz) nor Parquet (.parquet)")
    list_ = list_ or list_of_file(path, names)
    mapping = mapping_for(columns, list_)
    chosen = resolve_columns(list_, names, mapping, strict)
    wanted = list(dict.fromkeys(chosen.values()))
    parts: list[dict[str, np.ndarray[Any, Any]]] = []
    offset = 0
    with _bar(progress, big, total, f"{path.name} ({list_})") as bar:
        for batch in batches(wanted):
            frame = batch.to_pandas()
            try:
                rows = row_columns(list_, frame, ts_unit=ts_unit, mapping=mapping, strict=False, warn=warn)
            except DatasetError as e:
                raise DatasetError(_count_rows_from(str(e), offset, path)) from None
            parts.append(rows)
            offset += len(frame)
            bar.update(len(frame))
    whole = {c: np.concatenate([p[c] for p in parts]) for c in parts[0]} if parts else _empty(list_)
    return list_, finish(list_, whole)


def _count_rows_from(message: str, offset: int, path: Path) -> str:
    # Checks count rows within their chunk; the user counts rows of the file.
    shifted = re.sub(r" row (\d+)", lambda m: f" row {int(m[1]) + offset}", message, count=1)
    return f"{path.name}: {shifted}"


def _empty(list_: str) -> dict[str, np.ndarray[Any, Any]]:
    codes = {"ts": np.int64, "side": np.uint8, "is_snapshot": np.uint8}
    return {c: np.zeros(0, codes.get(c, np.float64)) for c in LAYOUTS[list_].columns}


def _parquet(path: Path, chunk_rows: int) -> tuple[list[str], int, Any]:
    pq = need("pyarrow.parquet", f"reading {path.name}")

    file = pq.ParquetFile(path)
    names = list(file.schema_arrow.names)

    def batches(wanted: list[str]) -> Iterator[Any]:
        yield from file.iter_batches(batch_size=chunk_rows, columns=wanted)

    return names, file.metadata.num_rows, batches


def _csv(path: Path, chunk_rows: int) -> tuple[list[str], int, Any]:
    pv = need("pyarrow.csv", f"reading {path.name}")

    delimiter = "\t" if ".tsv" in "".join(path.suffixes).lower() else ","
    parse = pv.ParseOptions(delimiter=delimiter)
    with pv.open_csv(path, parse_options=parse) as probe:
        names = list(probe.schema.names)

    def batches(wanted: list[str]) -> Iterator[Any]:
        # About 64 bytes a row: blocks of roughly `chunk_rows` rows.
        read = pv.ReadOptions(block_size=max(1 << 12, min(chunk_rows * 64, 1 << 30)))
        convert = pv.ConvertOptions(include_columns=wanted)
        with pv.open_csv(path, read_options=read, parse_options=parse, convert_options=convert) as reader:
            yield from reader

    return names, -1, batches


class _Quiet:
    def __enter__(self) -> _Quiet:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def update(self, n: int) -> None:
        return None


def _bar(progress: bool | None, big: bool, total: int, label: str) -> Any:
    """tqdm when asked for (or for big files when not said), and installed; else quiet."""
    if progress is False or (progress is None and not big):
        return _Quiet()
    bars = optional("tqdm.auto")
    if bars is None:
        return _Quiet()
    return bars.tqdm(total=total if total >= 0 else None, unit="rows", unit_scale=True, desc=label)
