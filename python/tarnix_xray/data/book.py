"""Order-book L2 rows to book events: flat level arrays with per-event offsets."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

I64 = npt.NDArray[np.int64]
F64 = npt.NDArray[np.float64]
U8 = npt.NDArray[np.uint8]
BookColumns = tuple[I64, U8, I64, F64, F64, I64, F64, F64]


def events_from_rows(ts: I64, kind: U8, side: U8, price: F64, qty: F64) -> BookColumns:
    """Group rows of one ts and kind into one event, bids before asks.

    Events are in ts order; at one ts, the kind met first comes first. Within an
    event each side keeps the rows' order, since a later level for the same
    price replaces an earlier one.
    """
    n = len(ts)
    if n == 0:
        empty_i, empty_f = np.zeros(0, np.int64), np.zeros(0, np.float64)
        return (empty_i, np.zeros(0, np.uint8), np.zeros(1, np.int64), empty_f, empty_f,
                np.zeros(1, np.int64), empty_f, empty_f)  # fmt: skip
    by_ts = np.arange(n) if bool((ts[1:] >= ts[:-1]).all()) else np.argsort(ts, kind="stable")
    ts_s, kind_s = ts[by_ts], kind[by_ts]
    # Runs of one ts; within a run, rank 0 for the kind met first, 1 for the other.
    run_start = np.flatnonzero(np.r_[True, ts_s[1:] != ts_s[:-1]])
    run_of_row = np.repeat(np.arange(len(run_start)), np.diff(np.r_[run_start, n]))
    rank = kind_s != kind_s[run_start][run_of_row]
    group = 2 * run_of_row + rank
    # One stable sort: by group, then bids (0) before asks (1), rows in input order.
    within = np.argsort(2 * group + side[by_ts], kind="stable")
    order = by_ts[within]
    group_o = group[within]
    event_start = np.flatnonzero(np.r_[True, group_o[1:] != group_o[:-1]])
    event_of_row = np.cumsum(np.r_[False, group_o[1:] != group_o[:-1]])
    events = len(event_start)
    first = order[event_start]
    side_o, price_o, qty_o = side[order], price[order], qty[order]
    out: list[Any] = [ts[first].astype(np.int64), kind[first].astype(np.uint8)]
    for code in (0, 1):
        mask = side_o == code
        counts = np.bincount(event_of_row[mask], minlength=events)
        out += [np.r_[0, np.cumsum(counts)].astype(np.int64),
                np.ascontiguousarray(price_o[mask]), np.ascontiguousarray(qty_o[mask])]  # fmt: skip
    return tuple(out)


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
