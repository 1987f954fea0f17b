"""The column layouts of the six lists, the other names they go by, and side words."""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from .._schema import LIST_FIELDS, LISTS
from .._suggest import closest, hint
from ..errors import DatasetError


@dataclass(frozen=True)
class Layout:
    """Canonical columns of one list; `quantities` must not be negative."""

    name: str
    columns: tuple[str, ...]
    quantities: tuple[str, ...] = ()


# The quantities checked for sign, per list; the columns are the engine's
# record fields, but for the book, read as incremental L2 rows (rows of one
# ts and kind become one book event).
_QUANTITIES = {"candles": ("volume",), "trades": ("qty",), "book": ("qty",), "oi": ("oi",),
               "liquidations": ("qty",)}  # fmt: skip
_BOOK_ROWS = ("ts", "is_snapshot", "side", "price", "qty")
LAYOUTS: dict[str, Layout] = {
    name: Layout(name, _BOOK_ROWS if name == "book" else LIST_FIELDS[name], _QUANTITIES.get(name, ()))
    for name in LISTS
}

# Other names of lists (file names, keyword arguments) and of columns.
LIST_ALIASES = {
    "candle": "candles", "ohlcv": "candles", "klines": "candles", "bars": "candles",
    "trade": "trades", "aggtrades": "trades",
    "orderbook": "book", "order_book": "book", "depth": "book", "l2": "book",
    "funding_rate": "funding", "funding_rates": "funding", "fundingrate": "funding", "fundingrates": "funding",
    "open_interest": "oi", "openinterest": "oi",
    "liquidation": "liquidations", "liqs": "liquidations", "liquidationsnapshot": "liquidations",
    "forceorders": "liquidations", "forceorder": "liquidations",
}  # fmt: skip

COLUMN_ALIASES = {
    "timestamp": "ts", "time": "ts", "datetime": "ts", "date": "ts", "t": "ts",
    "amount": "qty", "size": "qty", "quantity": "qty", "volume_base": "qty",
    "o": "open", "h": "high", "l": "low", "c": "close", "v": "volume", "vol": "volume",
    "funding_rate": "rate", "open_interest": "oi",
    "snapshot": "is_snapshot", "kind": "is_snapshot",
    "p": "price", "px": "price",
}  # fmt: skip

# Flags that stand in for a side column: True means the named side code.
SIDE_FLAGS = {
    "trades": {"is_buyer_maker": 1, "isbuyermaker": 1, "buyer_maker": 1, "is_sell": 1, "is_buy": 0},
    "book": {"is_bid": 0, "is_ask": 1},
    "liquidations": {"is_long": 0, "is_short": 1},
}

# Side words, case-insensitive, to the engine's codes. A liquidation reported as
# a sell order closes a long position, a buy order a short one.
SIDE_WORDS = {
    "trades": {"buy": 0, "b": 0, "bid": 0, "sell": 1, "s": 1, "ask": 1},
    "book": {"bid": 0, "bids": 0, "b": 0, "buy": 0, "ask": 1, "asks": 1, "a": 1, "sell": 1},
    "liquidations": {"long": 0, "sell": 0, "short": 1, "buy": 1},
}
SIDE_NAMES = {"trades": "buy or sell", "book": "bid or ask", "liquidations": "long or short (or sell/buy)"}
BOOK_KINDS = {"snapshot": 1, "diff": 0, "update": 0, "delta": 0}


def list_name(name: str) -> str:
    """The canonical list meant by `name`; DatasetError with a did-you-mean otherwise."""
    key = name.lower()
    if key in LAYOUTS:
        return key
    if key in LIST_ALIASES:
        return LIST_ALIASES[key]
    raise DatasetError(f"dataset has no list {name!r}{hint(name, LISTS)}")


def lists_named(file_name: str) -> set[str]:
    """The lists the words of a file name say (btc_trades.csv, BTC-liquidationSnapshot-2026-03-02.csv)."""
    words = re.split(r"[^a-z0-9]+", file_name.lower())
    return {w if w in LISTS else LIST_ALIASES[w] for w in words if w in LISTS or w in LIST_ALIASES}


class FlatMapping(dict[str, str]):
    """A column mapping given for every list: entries whose column a table lacks are skipped."""


def mapping_for(columns: Mapping[str, Any] | None, list_: str) -> Mapping[str, str] | None:
    """One list's column mapping: its own entry ({"trades": {...}}), or the flat entries for all."""
    if not columns:
        return None
    nested = {list_name(k): v for k, v in columns.items() if isinstance(v, Mapping)}
    if nested:
        return dict(nested.get(list_, {}))
    every = {c for layout in LAYOUTS.values() for c in layout.columns}
    for source, target in columns.items():
        if target not in every:
            maybe = hint(str(target), every)
            raise DatasetError(f"columns maps {source!r} to {target!r}, a column of no list{maybe}")
    return FlatMapping(columns)


def resolve_columns(
    list_: str, present: list[str], mapping: Mapping[str, str] | None, strict: bool
) -> dict[str, str]:
    """Canonical column -> source column for one list.

    Order of choice: the caller's mapping, then the exact name, then an alias.
    A side flag column stands in for "side". Missing columns are reported with
    the closest unused column; with `strict`, so is a column left over.
    """
    layout = LAYOUTS[list_]
    flags = SIDE_FLAGS.get(list_, {})
    chosen: dict[str, str] = {}
    for source, target in (mapping or {}).items():
        if isinstance(mapping, FlatMapping) and (source not in present or target not in layout.columns):
            continue
        if source not in present:
            raise DatasetError(f"{list_} has no column {source!r} to map{hint(source, present)}")
        if target not in layout.columns:
            maybe = hint(target, layout.columns)
            raise DatasetError(f"{list_} has no column {target!r} to map {source!r} to{maybe}")
        chosen[target] = source
    for source in present:
        lowered = source.lower()
        meant = lowered if lowered in layout.columns else COLUMN_ALIASES.get(lowered)
        if lowered in flags:
            meant = "side"
        if meant in layout.columns and meant not in chosen:
            chosen[str(meant)] = source
    unused = unused_columns(present, chosen)
    for column in layout.columns:
        if column not in chosen:
            near = closest(column, unused)
            maybe = f"; did you mean {near!r}?" if near else ""
            raise DatasetError(
                f"{list_} is missing column {column!r} (columns: {', '.join(present)}){maybe}"
            )
    if strict and unused:
        # Every layout column is found, so an unused one is extra, not a misspelling of one.
        raise DatasetError(
            f"{list_} has an extra column {unused[0]!r}; strict=True refuses columns the layout does not "
            "take: drop it, or map it with columns="
        )
    return chosen


def unused_columns(present: list[str], chosen: Mapping[str, str]) -> list[str]:
    """The columns a table holds beyond those chosen (an unnamed index is none of them)."""
    used = set(chosen.values())
    return [c for c in present if c not in used and not _is_index(c)]


def _is_index(column: str) -> bool:
    # pandas writes an unnamed index as this column in CSV files.
    return column.startswith("Unnamed: ") or column == "index" or column == "__index_level_0__"
