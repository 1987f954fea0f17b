"""A path as the tables it holds: a file, the members of a .zip archive, or the
files of a folder of daily files, in date order."""

from __future__ import annotations

import gzip
import re
import zipfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..errors import DatasetError, UnreadableFile

CSV_SUFFIXES = (".csv", ".tsv", ".txt")
PARQUET_SUFFIXES = (".parquet", ".pq")
DATA_SUFFIXES = tuple(s + z for s in CSV_SUFFIXES for z in ("", ".gz")) + PARQUET_SUFFIXES + (".zip",)
# A date in a file name: 2026-03-02, 2026_03_02, 20260302 or a month, 2026-03.
_DATE = re.compile(r"(?<!\d)(\d{4})[-_]?(\d{2})(?:[-_]?(\d{2}))?(?!\d)")


@dataclass(frozen=True)
class Table:
    """One table to stream: a file, or a member of an archive."""

    name: str  # as messages name it: the file's name, or archive.zip/member.csv
    kind: str  # "csv" or "parquet"
    source: Callable[[], Any]  # a path or a binary file object pyarrow reads
    size: int  # bytes on disk (compressed)
    tab: bool = False  # tab-separated
    text_size: int = 0  # bytes of text once decompressed, as far as known before reading (0: unknown)

    def open_binary(self) -> Any:
        """The table's bytes, decompressed (for reading its first line)."""
        source = self.source()
        if isinstance(source, str):
            return gzip.open(source, "rb") if source.lower().endswith(".gz") else open(source, "rb")
        return source  # type: ignore[no-any-return]


def tables_of(path: Path) -> list[Table]:
    """The tables `path` holds; DatasetError for a missing path or one that holds none."""
    if path.is_dir():
        return _folder(path)
    if not path.exists():
        raise DatasetError(f"no such file: {str(path)!r}")
    if path.name.lower().endswith(".zip"):
        return _archive(path)
    table = _file(path)
    if table is None:
        raise DatasetError(
            f"{str(path)!r} is neither CSV (.csv, .csv.gz, .tsv) nor Parquet (.parquet), nor a .zip or a folder of them"
        )
    return [table]


def date_order(names: list[str]) -> list[str]:
    """Names by the date they hold (2026-03-02, 20260302, 2026-03), then by name."""

    def key(name: str) -> tuple[str, str]:
        found = _DATE.search(Path(name).name)
        return ((found[1] + found[2] + (found[3] or "00")) if found else "", name)

    return sorted(names, key=key)


def _file(path: Path) -> Table | None:
    lowered = path.name.lower()
    size = path.stat().st_size
    if lowered.endswith(PARQUET_SUFFIXES):
        return Table(path.name, "parquet", lambda: str(path), size)
    bare = lowered.removesuffix(".gz")
    if bare.endswith(CSV_SUFFIXES):
        text = _gzip_size(path) if lowered.endswith(".gz") else size
        return Table(path.name, "csv", lambda: str(path), size, tab=bare.endswith(".tsv"), text_size=text)
    return None


def _gzip_size(path: Path) -> int:
    # A gzip file ends with its text's length modulo 2**32: right for files below 4 GiB.
    with open(path, "rb") as f:
        f.seek(max(0, path.stat().st_size - 4))
        tail = f.read(4)
    return int.from_bytes(tail, "little") if len(tail) == 4 else 0


def _folder(path: Path) -> list[Table]:
    found = [p for p in path.iterdir() if p.is_file() and not p.name.startswith((".", "_"))]
    data = [p for p in found if p.name.lower().endswith(DATA_SUFFIXES)]
    if not data:
        raise UnreadableFile(
            f"{path.name} is a folder holding no CSV, Parquet or .zip files"
            + (f" (it holds {', '.join(sorted(p.name for p in found)[:3])})" if found else "")
        )
    tables: list[Table] = []
    for name in date_order([p.name for p in data]):
        child = path / name
        tables += _archive(child) if name.lower().endswith(".zip") else [_file(child)]  # type: ignore[list-item]
    return tables


def _archive(path: Path) -> list[Table]:
    try:
        with zipfile.ZipFile(path) as archive:
            members = [m for m in archive.infolist() if not m.is_dir()]
    except (zipfile.BadZipFile, OSError, EOFError) as e:
        raise UnreadableFile(f"{path.name} is not a readable .zip archive ({e})") from None
    tables = []
    for name in date_order([m.filename for m in members]):
        lowered = name.lower()
        if lowered.endswith(PARQUET_SUFFIXES):
            kind = "parquet"
        elif lowered.endswith(CSV_SUFFIXES):
            kind = "csv"
        else:
            continue
        member = next(m for m in members if m.filename == name)
        tables.append(Table(f"{path.name}/{name}", kind, _member(path, name), member.compress_size,
                            lowered.endswith(".tsv"), member.file_size))  # fmt: skip
    if not tables:
        raise UnreadableFile(f"{path.name} holds no CSV or Parquet file")
    return tables


def _member(path: Path, name: str) -> Callable[[], Any]:
    def open_member() -> Any:
        # The archive stays open as long as the member's stream does.
        return zipfile.ZipFile(path).open(name)

    return open_member
