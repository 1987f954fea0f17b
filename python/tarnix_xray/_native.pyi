"""The package's native module (`tarnix_xray._native`)."""

import sys
from typing import Any, TypeAlias, final

# Any object with the buffer protocol (a numpy array, for example). Type
# checkers see numpy arrays as buffers only from Python 3.12 on.
if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Column
else:
    _Column: TypeAlias = Any

__all__ = ["Engine", "NativeFrame", "FrameArray", "load_text", "format_double", "read_double",
           "reachable", "frame_window", "group_book_rows", "word_codes", "schema", "__version__"]  # fmt: skip

__version__: str

# The engine's tables: "lists", "load_columns", "spec_keys", "required_spec_keys",
# "panel_tag", "panels" (kind -> {parameter: default}), "codes".
schema: dict[str, Any]

_Candles: TypeAlias = tuple[_Column, _Column, _Column, _Column, _Column, _Column]
_Sided: TypeAlias = tuple[_Column, _Column, _Column, _Column]
_Book: TypeAlias = tuple[_Column, _Column, _Column, _Column, _Column, _Column, _Column, _Column]
_Pair: TypeAlias = tuple[_Column, _Column]

@final
class FrameArray:
    """Read-only memory of one frame column (buffer protocol); np.asarray views it."""

@final
class NativeFrame:
    """One evaluated frame, held natively."""

    @property
    def symbol(self) -> str: ...
    @property
    def cursor_ts(self) -> int: ...
    def panels(self) -> tuple[tuple[str, dict[str, FrameArray]], ...]:
        """Each panel as (kind, {column: array}), in spec order. Columns: footprint
        price_bins, buy_vol, sell_vol; book_heatmap time, price, intensity (2-D);
        liquidation_map ts, price_bin, qty, side (codes 0 long, 1 short);
        funding_oi_divergence time, funding, oi, price. NaN where the text has null."""
    def text(self) -> str:
        """The frame's response text, byte for byte the command's."""

@final
class Engine:
    """The engine the package drives; bound to the thread that created it."""

    def __new__(cls, spec_json: str) -> "Engine":
        """XrayError for a spec the engine refuses, in its own words."""
    def command(self, cmd_json: str, /) -> str:
        """A command's response text, as Xray.command gives it."""
    def load_columns(
        self,
        *,
        candles: _Candles | None = None,
        trades: _Sided | None = None,
        book: _Book | None = None,
        funding: _Pair | None = None,
        oi: _Pair | None = None,
        liquidations: _Sided | None = None,
    ) -> int:
        """Replace the dataset with the records of column buffers; the record count.

        The tuples are those of load_text. XrayError for what the load text refuses
        (a value that is not finite, a bad code or offset); the dataset then stays.
        """
    def frame(self, at: int | None = None, *, window_ms: int | None = None) -> NativeFrame:
        """The frame at `at` ms (None: the latest record, or to_ts), over the spec's window or
        the trailing window_ms ms: from max(cursor - window_ms + 1, from_ts) to the cursor."""
    def bounds(self) -> tuple[int, int, int] | None:
        """(from_ts, to_ts, count) of the held records, or None."""
    def footprint_bars(
        self, at: int | None = None, *, window_ms: int | None = None, bar_ms: int | None = None,
        tick: float | None = None, ratio: float = 3.0, min_volume: float = 0.0, stacked: int = 3,
        value_area: float = 0.7, developing: bool = False,
    ) -> dict[str, Any]:
        """Order flow of the held trades in the frame's window: columns (memoryviews) in a dict."""
    def large_prints(
        self, at: int | None = None, *, window_ms: int | None = None, min_qty: float | None = None,
        quantile: float | None = None,
    ) -> dict[str, Any]:
        """The window's trades at or above min_qty or the quantity quantile, as columns."""
    def book_sides(self, at: int | None = None, *, window_ms: int | None = None, panel: int = 0) -> dict[str, Any]:
        """The book heatmap panel's cells split into bids and asks, and the touch per bucket."""

def frame_window(
    cursor: int, *, window_ms: int | None = None, from_ts: int | None = None, to_ts: int | None = None
) -> tuple[int | None, int]:
    """(from_ts or None, cursor_ts) of the frame at cursor: the cursor clamped to to_ts; with
    window_ms, from max(cursor - window_ms + 1, from_ts)."""

def group_book_rows(rows: tuple[_Column, _Column, _Column, _Column, _Column], out: _Book, /) -> tuple[int, int, int]:
    """L2 rows (ts, kind, side, price, qty) grouped into book events, written into out (the 8
    book columns of load_columns, each with room for every row, the offsets for one more);
    (events, bids, asks), the rows of out in use."""

def word_codes(
    offsets: _Column, data: _Column, validity: _Column | None, validity_at: int, words: dict[str, int],
    out: _Column, /,
) -> int | None:
    """The codes of a string column in Arrow's layout (offsets int32 or int64, one longer than
    out; data bytes; validity bits from bit validity_at, or None) by words (lower-case word ->
    code), written into out; None, or the first row that is missing or matches no word."""

def load_text(
    *,
    candles: _Candles | None = None,
    trades: _Sided | None = None,
    book: _Book | None = None,
    funding: _Pair | None = None,
    oi: _Pair | None = None,
    liquidations: _Sided | None = None,
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
