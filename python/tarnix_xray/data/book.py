"""Order-book L2 rows to book events: flat level arrays with per-event offsets."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .._native import group_book_rows

I64 = npt.NDArray[np.int64]
F64 = npt.NDArray[np.float64]
U8 = npt.NDArray[np.uint8]
BookColumns = tuple[I64, U8, I64, F64, F64, I64, F64, F64]


def events_from_rows(ts: I64, kind: U8, side: U8, price: F64, qty: F64) -> BookColumns:
    """Group rows of one ts and kind into one event, bids before asks.

    Events are in ts order; at one ts, the kind met first comes first. Within an
    event each side keeps the rows' order, since a later level for the same
    price replaces an earlier one. The grouping is native and linear; the
    arrays are sized for every row, and untouched room is never paged in.
    """
    n = len(ts)
    rows = (np.ascontiguousarray(ts, np.int64), np.ascontiguousarray(kind, np.uint8),
            np.ascontiguousarray(side, np.uint8), np.ascontiguousarray(price, np.float64),
            np.ascontiguousarray(qty, np.float64))  # fmt: skip
    out = (np.empty(n, np.int64), np.empty(n, np.uint8), np.empty(n + 1, np.int64), np.empty(n),
           np.empty(n), np.empty(n + 1, np.int64), np.empty(n), np.empty(n))  # fmt: skip
    events, bids, asks = group_book_rows(rows, out)
    return (out[0][:events], out[1][:events], out[2][: events + 1], out[3][:bids], out[4][:bids],
            out[5][: events + 1], out[6][:asks], out[7][:asks])  # fmt: skip


def events_from_records(events: list[Any], where: str) -> BookColumns:
    """Book events in the load form ({"ts", "kind", "bids", "asks"} or arrays) to columns."""
    from ..errors import DatasetError
    from .records import field

    n = len(events)
    ts = np.empty(n, np.int64)
    kind = np.empty(n, np.uint8)
    sides: list[tuple[list[int], list[float], list[float]]] = [([0], [], []), ([0], [], [])]
    names = ("ts", "kind", "bids", "asks")
    for i, event in enumerate(events):
        at = f"{where}[{i}]"
        ts[i] = field(event, 0, names, at, int)
        word = field(event, 1, names, at, str)
        if word not in ("snapshot", "diff"):
            raise DatasetError(f"{at} kind {word!r} is not 'snapshot' or 'diff'")
        kind[i] = 0 if word == "snapshot" else 1
        for s, key in enumerate(("bids", "asks")):
            offsets, prices, qtys = sides[s]
            levels = field(event, 2 + s, names, at, list)
            for j, level in enumerate(levels):
                if not isinstance(level, (list, tuple)) or len(level) != 2:
                    raise DatasetError(f"{at} {key}[{j}] is not a [price, qty] pair: {level!r}")
                prices.append(_number(level[0], f"{at} {key}[{j}] price"))
                qtys.append(_number(level[1], f"{at} {key}[{j}] qty"))
            offsets.append(len(prices))
    out: list[Any] = [ts, kind]
    for offsets, prices, qtys in sides:
        out += [np.array(offsets, np.int64), np.array(prices, np.float64), np.array(qtys, np.float64)]
    return tuple(out)


def _number(value: Any, at: str) -> float:
    from ..errors import DatasetError

    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise DatasetError(f"{at} is not a number: {value!r}")
    return float(value)


def concat_events(chunks: list[Any]) -> BookColumns:
    """Book events of several parts in order, level offsets shifted by the levels before each
    part; each column's parts are dropped as soon as it is joined (`chunks` ends empty)."""
    if len(chunks) == 1:
        return chunks.pop()
    bases = {side: np.cumsum([0] + [int(c[side][-1]) for c in chunks[:-1]]) for side in (2, 5)}
    parts = [list(column) for column in zip(*chunks)]
    chunks.clear()
    out: list[Any] = []
    for i, column in enumerate(parts):
        if i in bases:  # offsets: each part's first 0 is the previous part's end
            column[:] = [np.zeros(1, np.int64)] + [c[1:] + base for c, base in zip(column, bases[i])]
        out.append(np.concatenate(column))
        column.clear()
    return tuple(out)  # type: ignore[return-value]
