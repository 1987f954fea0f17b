"""Named layouts for the shapes public market dumps come in: their list, the
columns they spell the layout's with, their time unit, and how to tell them.

A preset is chosen by name (layout="funding_history"), or recognised from a
header holding one of its marks, or, for a file without a header, from the
file's name and the values of its first row.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

from .._suggest import hint
from ..errors import DatasetError


@dataclass(frozen=True)
class Preset:
    name: str
    list_: str
    # Layout column -> the source names it goes by in this shape; the first one present wins.
    columns: Mapping[str, tuple[str, ...]]
    # Any one of these in a header tells this shape from the others.
    marks: tuple[str, ...] = ()
    # The columns of a file written without a header, in order; trailing ones may be absent.
    names: tuple[str, ...] = ()
    ts_unit: str | None = None
    # Words of a file name that tell this shape (liquidationSnapshot, aggTrades).
    file_words: tuple[str, ...] = ()
    # Each row is a whole top-N book: asks[0].price, asks[0].amount, bids[0].price, ...
    wide: bool = False
    about: str = field(default="", compare=False)

    def sources(self, present: Sequence[str]) -> dict[str, str]:
        """Source column -> layout column for the columns this header holds."""
        lowered = {c.lower(): c for c in present}
        found: dict[str, str] = {}
        for column, names in self.columns.items():
            source = next((lowered[n.lower()] for n in names if n.lower() in lowered), None)
            if source is not None:
                found[source] = column
        return found

    def fits_header(self, present: Sequence[str]) -> bool:
        lowered = {c.lower() for c in present}
        if self.wide:
            return any(LEVEL.fullmatch(c) for c in lowered) and len(self.sources(present)) == len(self.columns)
        marked = any(m.lower() in lowered for m in self.marks)
        return marked and len(self.sources(present)) == len(self.columns)

    def headerless_names(self, row: Sequence[str]) -> tuple[str, ...] | None:
        """The names of a header-less row's columns, when this shape fits its values."""
        if not self.names:
            return None
        needed = 1 + max(self.names.index(n) for names in self.columns.values() for n in names if n in self.names)
        if not needed <= len(row) <= len(self.names):
            return None
        names = self.names[: len(row)]
        for source, column in self.sources(names).items():
            value = row[names.index(source)].strip().lower()
            if column == "side" and value not in ("true", "false"):
                return None
            if column != "side" and not _NUMBER.fullmatch(value):
                return None
        return names


_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)(e[+-]?\d+)?")
# A level column of a wide book row: asks[0].price, bids[12].amount.
LEVEL = re.compile(r"(asks|bids)\[(\d+)\]\.(price|amount)")

_TRADE_FLAG = ("is_buyer_maker", "isBuyerMaker")
PRESETS: dict[str, Preset] = {
    p.name: p
    for p in (
        Preset("trades_buyer_maker", "trades",
               {"ts": ("time", "transact_time"), "price": ("price",), "qty": ("qty", "quantity"), "side": _TRADE_FLAG},
               marks=("quote_qty", "quoteQty"),
               names=("id", "price", "qty", "quote_qty", "time", "is_buyer_maker", "is_best_match"),
               about="id, price, qty, quote_qty, time, is_buyer_maker[, is_best_match]; header optional"),
        Preset("agg_trades_headerless", "trades",
               {"ts": ("transact_time", "time"), "price": ("price",), "qty": ("quantity", "qty"), "side": _TRADE_FLAG},
               marks=("agg_trade_id", "first_trade_id"), file_words=("aggtrades",),
               names=("agg_trade_id", "price", "quantity", "first_trade_id", "last_trade_id", "transact_time",
                      "is_buyer_maker", "is_best_match"),
               about="agg_trade_id, price, quantity, first_trade_id, last_trade_id, transact_time, "
                     "is_buyer_maker[, is_best_match]; header optional"),
        Preset("book_l2_updates", "book",
               {"ts": ("timestamp",), "is_snapshot": ("is_snapshot",), "side": ("side",), "price": ("price",),
                "qty": ("amount",)},
               marks=("local_timestamp",), ts_unit="us",
               about="exchange, symbol, timestamp, local_timestamp, is_snapshot, side, price, amount; times in µs"),
        Preset("book_top_n_wide", "book", {"ts": ("timestamp",)}, ts_unit="us", wide=True,
               about="exchange, symbol, timestamp, local_timestamp, asks[0].price, asks[0].amount, "
                     "bids[0].price, bids[0].amount, ... (one whole top-N book per row); times in µs"),
        Preset("funding_history", "funding",
               {"ts": ("fundingTime", "calc_time"), "rate": ("fundingRate", "last_funding_rate")},
               marks=("fundingRate", "last_funding_rate"),
               about="symbol, fundingTime, fundingRate[, markPrice]; or calc_time, funding_interval_hours, "
                     "last_funding_rate"),
        Preset("oi_history", "oi",
               {"ts": ("timestamp", "create_time"), "oi": ("sumOpenInterest", "sum_open_interest")},
               marks=("sumOpenInterest", "sum_open_interest"),
               about="symbol, sumOpenInterest, sumOpenInterestValue, timestamp; or create_time, symbol, "
                     "sum_open_interest, ..."),
        Preset("force_orders", "liquidations",
               {"ts": ("time", "transact_time", "updateTime"), "price": ("price",),
                "qty": ("origQty", "original_quantity"), "side": ("side",)},
               marks=("origQty", "original_quantity"), file_words=("liquidationsnapshot", "forceorders", "forceorder"),
               about="symbol, side, order_type, time_in_force, original_quantity, price, average_price, "
                     "order_status, ..., time; or symbol, price, origQty, executedQty, averagePrice, status, "
                     "timeInForce, type, side, time"),
    )
}  # fmt: skip


def preset(name: str) -> Preset:
    """The preset called `name`; DatasetError with a did-you-mean otherwise."""
    found = PRESETS.get(name)
    if found is None:
        raise DatasetError(f"no layout {name!r}{hint(name, PRESETS)} (layouts: {', '.join(PRESETS)})")
    return found


def presets_of(layout: str | Sequence[str] | Mapping[str, str] | None) -> tuple[Preset, ...]:
    """The presets a `layout=` argument names: one name, several, or one per list."""
    if layout is None:
        return ()
    names = [layout] if isinstance(layout, str) else list(layout.values() if isinstance(layout, Mapping) else layout)
    chosen = tuple(preset(n) for n in names)
    if isinstance(layout, Mapping):
        for key, p in zip(layout, chosen):
            if p.list_ != key:
                raise DatasetError(f"layout {p.name!r} is a layout of {p.list_}, not of {key}")
    return chosen


def named_by_file(file_name: str) -> tuple[Preset, ...]:
    """Presets a file's name points to (…liquidationSnapshot…, …aggTrades…)."""
    words = set(re.split(r"[^a-z0-9]+", file_name.lower()))
    return tuple(p for p in PRESETS.values() if words & set(p.file_words))


def choose(
    file_name: str, list_: str | None, header: Sequence[str] | None, first: Sequence[str],
    given: tuple[Preset, ...],
) -> tuple[Preset | None, list[str]]:  # fmt: skip
    """(the preset a file is read with, or None; its column names).

    `header` is None for a file without one, whose `first` row then decides.
    Presets given by name come first: of those that fit the file's list, the
    one there is (or the one its header fits). Else the header's marks tell a
    preset, or for a file without a header, its name and the values of its
    first row.
    """
    if header is not None:
        fitting = [p for p in given if list_ in (None, p.list_)]
        if len(fitting) > 1:
            fitting = [p for p in fitting if p.fits_header(header)]
        if not given:
            fitting = [p for p in PRESETS.values() if list_ in (None, p.list_) and p.fits_header(header)]
        if len(fitting) == 1 and given and not fitting[0].fits_header(header):
            raise DatasetError(_not_its_columns(file_name, fitting[0], header))
        return (fitting[0] if len(fitting) == 1 else None), list(header)
    candidates = [p for p in (given or PRESETS.values()) if list_ in (None, p.list_)]
    fits = [(p, n) for p in candidates if (n := p.headerless_names(first)) is not None]
    fits = [(p, n) for p, n in fits if p in named_by_file(file_name)] or fits
    if len(fits) == 1:
        return fits[0][0], list(fits[0][1])
    shown = ", ".join(first[:4]) + (", ..." if len(first) > 4 else "")
    known = [p.name for p in candidates if p.names] or [p.name for p in PRESETS.values() if p.names]
    which = " or ".join(f"layout={n!r}" for n in known)
    raise DatasetError(f"{file_name} has no header (its first row is {shown}); name its layout: {which}")


def _not_its_columns(file_name: str, p: Preset, header: Sequence[str]) -> str:
    found = set(p.sources(header).values())
    missing = [(c, n) for c, n in p.columns.items() if c not in found]
    what = (f"no {' or '.join(map(repr, missing[0][1]))} for {missing[0][0]}" if missing
            else "no asks[0].price, bids[0].price, ... columns")  # fmt: skip
    return f"{file_name} is not in layout {p.name!r}: {what} (columns: {', '.join(header)})"
