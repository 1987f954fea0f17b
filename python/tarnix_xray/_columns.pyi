"""The dataset text of a "load" command written from column buffers (`tarnix_xray._columns`)."""

import sys
from typing import Any, TypeAlias

# Any object with the buffer protocol (a numpy array, for example). Type
# checkers see numpy arrays as buffers only from Python 3.12 on.
if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Column
else:
    _Column: TypeAlias = Any

__all__ = ["load_text", "format_double", "read_double", "reachable"]

def load_text(
    *,
    candles: tuple[_Column, _Column, _Column, _Column, _Column, _Column] | None = None,
    trades: tuple[_Column, _Column, _Column, _Column] | None = None,
    book: tuple[_Column, _Column, _Column, _Column, _Column, _Column, _Column, _Column] | None = None,
    funding: tuple[_Column, _Column] | None = None,
    oi: tuple[_Column, _Column] | None = None,
    liquidations: tuple[_Column, _Column, _Column, _Column] | None = None,
    command: bool = True,
) -> str:
    """The text of {"cmd":"load","dataset":{...}}, or of the dataset alone.

    Each list is None or a tuple of C-contiguous 1-D buffers (numpy arrays):
    candles (ts int64, open, high, low, close, volume float64); trades (ts,
    price, qty, side codes 0 "buy" 1 "sell"); book (ts, kind codes 0
    "snapshot" 1 "diff", bid_offsets int64[n+1], bid_price, bid_qty,
    ask_offsets int64[n+1], ask_price, ask_qty); funding (ts, rate); oi (ts,
    oi); liquidations (ts, price, qty, side codes 0 "long" 1 "short"). Codes
    are uint8, int8 or bool. Records are written as arrays, lists in this
    order, only those given; every double is written as format_double writes
    it.

    Raises TypeError for a wrong buffer format, dimension or layout, and
    ValueError for unequal lengths, bad offsets, a code other than 0 or 1, or
    a value that is not finite; each message names the list, the column and,
    where there is one, the row.
    """

def format_double(x: float, /) -> str:
    """The shortest text the engine's own number conversion reads back as x.

    Integral values below 1e16 are written as integers ("27123", "-0").
    Where no text reads back as x (about 0.1% of full-precision doubles, see
    reachable), the text of the nearest double that has one. ValueError for
    NaN and the infinities.
    """

def read_double(text: str, /) -> float:
    """The engine's own conversion of a JSON number text (no white space).

    ValueError when the text is not one JSON number or is out of range.
    """

def reachable(x: float, /) -> bool:
    """Whether some JSON number text reads back as exactly x in the engine.

    False for NaN and the infinities.
    """
