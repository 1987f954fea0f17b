"""pyarrow's streaming readers over one table, and whatever they raise as one line naming the file.

A chunk comes out as typed arrays by column: numbers as numpy float64 or
int64, flags as numpy booleans, text and timestamps as Arrow arrays (which the
checks read in place).
"""

from __future__ import annotations

import csv
import re
import zlib
from collections.abc import Iterator
from typing import Any

import numpy as np

from .._extras import need
from ..errors import UnreadableFile
from .archives import Table

# Rows of about 64 bytes of text: blocks of roughly `chunk_rows` rows.
_BYTES_PER_ROW = 64
# A first line longer than this is no header and no row of market data.
_HEAD_LIMIT = 1 << 20
# Nor is a longer line anywhere: past it, a file is refused rather than read into memory whole.
_LINE_LIMIT = 256 << 20
_VALUE = re.compile(r"\s*([+-]?[\d.]|true\s*$|false\s*$|$)", re.IGNORECASE)


def head(table: Table) -> tuple[list[str], list[str] | None]:
    """(fields of the first line, None) of a CSV table; ([], column names) of a Parquet one."""
    if table.kind == "parquet":
        return [], _parquet_names(table)
    try:
        with table.open_binary() as stream:
            raw = stream.readline(_HEAD_LIMIT)
    except (OSError, EOFError, zlib.error) as e:
        raise UnreadableFile(f"{table.name} cannot be read: {_said(e)}") from None
    if not raw.strip():
        raise UnreadableFile(f"{table.name} is empty")
    if len(raw) >= _HEAD_LIMIT and not raw.endswith(b"\n"):
        raise UnreadableFile(f"{table.name}: its first line is longer than 1 MB; is it a CSV file?")
    try:
        line = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise UnreadableFile(
            f"{table.name}: its first line is not UTF-8 text (byte 0x{raw[e.start]:02x} at {e.start})"
        ) from None
    return next(csv.reader([line.rstrip("\r\n")], delimiter="\t" if table.tab else ",")), None


def looks_like_values(fields: list[str]) -> bool:
    """A first line of numbers and flags is a row, not a header."""
    return bool(fields) and all(_VALUE.match(f) for f in fields)


def block_bytes(chunk_rows: int) -> int:
    return max(1 << 12, min(chunk_rows * _BYTES_PER_ROW, 1 << 30))


def expected_rows(table: Table, first_chunk: int, chunk_rows: int) -> int:
    """The rows a table will yield, told from its first chunk (a CSV's blocks hold alike many rows)."""
    if table.kind == "parquet":
        pq = need("pyarrow.parquet", f"reading {table.name}")
        return int(pq.ParquetFile(table.source()).metadata.num_rows)
    return max(first_chunk, first_chunk * table.text_size // block_bytes(chunk_rows))


def batches(
    table: Table, names: list[str], header: bool, wanted: list[str], numbers: list[str], chunk_rows: int
) -> Iterator[dict[str, Any]]:
    """The wanted columns of `table` chunk by chunk; `names` are its columns (`header`: as its first line says)."""
    pa = need("pyarrow", f"reading {table.name}")
    try:
        if table.kind == "parquet":
            for batch in _parquet(table, wanted, chunk_rows):
                yield {name: _typed(batch.column(i), pa) for i, name in enumerate(batch.schema.names)}
        else:
            yield from _csv(table, names, header, wanted, numbers, block_bytes(chunk_rows))
    except MemoryError:  # Arrow's too: the reader names the file and the rows read
        raise
    except (pa.ArrowException, OSError, EOFError, zlib.error) as e:
        raise UnreadableFile(f"{table.name} cannot be read: {_said(e)}") from None
    finally:
        # Arrow's pool keeps what it freed for reuse; the chunks are copied out, so give it back.
        pa.default_memory_pool().release_unused()


def _typed(column: Any, pa: Any) -> Any:
    kind = column.type
    if pa.types.is_floating(kind) or pa.types.is_integer(kind) or pa.types.is_boolean(kind):
        return column.to_numpy(zero_copy_only=False)  # a missing value is NaN, named by the checks
    if pa.types.is_null(kind):
        return np.full(len(column), np.nan)
    return column


def _parquet_names(table: Table) -> list[str]:
    pq = need("pyarrow.parquet", f"reading {table.name}")
    pa = need("pyarrow", f"reading {table.name}")
    try:
        names = list(pq.ParquetFile(table.source()).schema_arrow.names)
    except (pa.ArrowException, OSError, EOFError) as e:
        raise UnreadableFile(f"{table.name} is not a readable Parquet file: {_said(e)}") from None
    return names


def _parquet(table: Table, wanted: list[str], chunk_rows: int) -> Iterator[Any]:
    pq = need("pyarrow.parquet", f"reading {table.name}")
    yield from pq.ParquetFile(table.source()).iter_batches(batch_size=chunk_rows, columns=wanted)


def _csv(
    table: Table, names: list[str], header: bool, wanted: list[str], numbers: list[str], block: int
) -> Iterator[dict[str, Any]]:
    """Pieces of about `block` bytes of whole lines, each parsed on its own: Arrow's streaming
    reader reads ahead as far as it likes, so a large file would be in memory many blocks at once."""
    pa = need("pyarrow", f"reading {table.name}")
    pv = need("pyarrow.csv", f"reading {table.name}")
    rejected: list[Any] = []

    def refuse(row: Any) -> str:
        rejected.append(row)
        return "error"

    small = max(1 << 12, min(block // 4, 1 << 22))
    parse = pv.ParseOptions(delimiter="\t" if table.tab else ",", invalid_row_handler=refuse)
    # Numbers as doubles from the first piece on: a later piece's 100.5 after 100 is no error;
    # the other columns keep the types the first piece gave them.
    types = {c: pa.float64() for c in numbers}
    line = 1 if header else 0  # lines of the file before the piece
    with table.open_binary() as stream:
        if header:
            stream.readline(_HEAD_LIMIT)
        for piece, lines in _pieces(stream, block, table.name):
            convert = pv.ConvertOptions(include_columns=wanted, column_types=types)
            # A piece grown round a long line is parsed as one block: Arrow's blocks end within lines.
            read = pv.ReadOptions(column_names=names, block_size=small if len(piece) <= block else len(piece) + 1)
            try:
                parsed = pv.read_csv(pa.py_buffer(piece), read_options=read, parse_options=parse,
                                     convert_options=convert)  # fmt: skip
            except pa.ArrowInvalid:
                if not rejected:
                    raise
                row = rejected[0]
                text = bytes(piece)
                at = line + 1 + text[: text.find(row.text.encode())].count(b"\n")
                raise UnreadableFile(
                    f"{table.name} line {at}: {row.actual_columns} fields where the header has "
                    f"{row.expected_columns} ({_short(row.text)})"
                ) from None
            types.update({f.name: f.type for f in parsed.schema if f.name not in types and not pa.types.is_null(f.type)})
            line += lines
            yield {name: _typed(parsed.column(name), pa) for name in parsed.schema.names}


def _pieces(stream: Any, block: int, name: str) -> Iterator[tuple[memoryview, int]]:
    """The stream's bytes in pieces of whole lines, about `block` long (longer only for a longer
    line) with the lines each holds, in one buffer used again for each: a new one per piece
    would leave the heap fragmented."""
    buffer = bytearray(block)
    view = memoryview(buffer)
    kept = 0  # bytes of an unfinished line carried over to the front
    while True:
        if kept == len(buffer):  # a line longer than the buffer: double it
            if len(buffer) >= _LINE_LIMIT:
                raise UnreadableFile(f"{name} has a line longer than {_LINE_LIMIT >> 20} MB; is it a CSV file?")
            buffer = bytearray(buffer) + bytearray(len(buffer))  # the last piece may still be viewed
            view = memoryview(buffer)
        got = stream.readinto(view[kept:])
        end = kept + (got or 0)
        if not got:
            rest = bytes(view[:end])
            if rest.strip():
                yield memoryview(rest if rest.endswith(b"\n") else rest + b"\n"), rest.count(b"\n") + 1
            return
        cut = buffer.rfind(b"\n", 0, end) + 1
        if cut == 0:
            kept = end
            continue
        yield view[:cut], buffer.count(b"\n", 0, cut)
        buffer[: end - cut] = buffer[cut:end]
        kept = end - cut


def _said(error: BaseException) -> str:
    """An Arrow or OS message in one short line."""
    text = " ".join(str(error).split()) or type(error).__name__
    return _short(text, 200)


def _short(text: str, limit: int = 60) -> str:
    return text if len(text) <= limit else f"{text[:limit]}… ({len(text):,} characters)"
