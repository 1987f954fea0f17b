"""Wide top-N book rows (asks[0].price, asks[0].amount, bids[0].price, ... per row) to book events.

Each row is the whole visible book at its time, so it becomes one snapshot
event: its levels in their order, best first; a level left empty (a thinner
book than N) is no level.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .._clock import column_to_ms
from ..errors import DatasetError
from . import checks
from .book import BookColumns
from .presets import LEVEL
from .timestamps import Warn


def level_columns(names: list[str]) -> list[str]:
    """The level columns of a header by side and depth: bids 0, 1, ... then asks 0, 1, ..."""
    found = {}
    for name in names:
        match = LEVEL.fullmatch(name.lower())
        if match:
            found[(match[1], int(match[2]), match[3])] = name
    for side, depth, _ in list(found):
        for field in ("price", "amount"):
            if (side, depth, field) not in found:
                raise DatasetError(f"the book has {side}[{depth}] without its {field} column")
    return [found[k] for k in sorted(found, key=lambda k: (k[0] != "bids", k[1], k[2] != "price"))]


def wide_events(
    arrays: dict[str, Any], ts_column: str, levels: list[str], ts_unit: str | None, warn: Warn
) -> BookColumns:
    """One snapshot event per row; `levels` in the order level_columns gives them."""
    ts = column_to_ms(arrays[ts_column], f"book column {ts_column!r}", ts_unit, warn)
    n = len(ts)
    out: list[Any] = [ts, np.zeros(n, np.uint8)]  # kind 0: a snapshot
    for side in ("bids", "asks"):
        columns = [c for c in levels if c.lower().startswith(side + "[")]
        prices = np.column_stack([_levels(arrays, c, quantity=False) for c in columns[0::2]]) if columns else None
        qtys = np.column_stack([_levels(arrays, c, quantity=True) for c in columns[1::2]]) if columns else None
        if prices is None or qtys is None:
            out += [np.zeros(n + 1, np.int64), np.zeros(0), np.zeros(0)]
            continue
        present = ~np.isnan(prices)
        lacking = present & np.isnan(qtys)
        if lacking.any():
            row, depth = np.argwhere(lacking)[0]
            raise DatasetError(f"book column {columns[2 * depth + 1]!r} row {row}: missing value beside a price")
        offsets = np.zeros(n + 1, np.int64)
        np.cumsum(present.sum(axis=1), out=offsets[1:])
        out += [offsets, prices[present], qtys[present]]  # row by row, best level first
    return tuple(out)  # type: ignore[return-value]


def _levels(arrays: dict[str, Any], column: str, *, quantity: bool) -> np.ndarray[Any, Any]:
    """A level column as float64 with NaN where the level is absent; infinities and negatives refused."""
    values = np.asarray(checks.as_array(arrays[column]), dtype=np.float64)
    present = ~np.isnan(values)
    checks.numbers(np.where(present, values, 0.0), f"book column {column!r}", quantity=quantity)
    return values
