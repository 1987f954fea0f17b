"""What a Session keeps of its loaded dataset, for the figures a frame's text does not carry.

The engine's frame reports bins and carried values; the VWAP of the trades,
where a series starts and the last trade price need the records themselves.
The lists are kept as loaded (sorted by ts the way the engine sorts them,
stably), and the book as a bounded sample of its levels.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any

from . import _sizing
from ._sizing import one_bin_low, tick_safe_bin
from ._extras import need

need("numpy", "Session")

import numpy as np  # noqa: E402

from ._native import Engine  # noqa: E402
from .frame import FootprintPanel, Frame, FundingOiPanel  # noqa: E402

if TYPE_CHECKING:
    from .data import Dataset

# Book levels kept for the grid check: a stride sample of at most this many.
BOOK_SAMPLE = 500_000


def _sorted(ts: np.ndarray, *rest: np.ndarray) -> tuple[np.ndarray, ...]:
    if len(ts) < 2 or bool((ts[1:] >= ts[:-1]).all()):
        return (ts, *rest)
    order = np.argsort(ts, kind="stable")  # the engine's order: equal ts keep theirs
    return tuple(a[order] for a in (ts, *rest))


@dataclass
class Loaded:
    """The kept columns of one load: ts-sorted, each list absent when it held no records."""

    counts: dict[str, int]
    given: frozenset[str]  # lists the load named, empty or not
    trades: tuple[np.ndarray, ...] | None = None  # ts, price, qty
    series_ts: dict[str, np.ndarray] = field(default_factory=dict)  # funding, oi, candles: ts
    book: tuple[np.ndarray, ...] | None = None  # ts, price of a sample of levels with qty > 0
    _distinct: np.ndarray | None = None

    @classmethod
    def of(cls, dataset: Dataset) -> Loaded:
        kept = cls(dict(dataset.counts), frozenset(dataset.lists))
        if dataset.count("trades"):
            kept.trades = _sorted(*(dataset.column("trades", c) for c in ("ts", "price", "qty")))
        for name in ("funding", "oi", "candles"):
            if dataset.count(name):
                kept.series_ts[name] = np.sort(dataset.column(name, "ts"))
        if dataset.count("book"):
            kept.book = _book_sample(dataset)
        return kept

    # -- the window's records ------------------------------------------------

    @staticmethod
    def _span(ts: np.ndarray, low: int | None, cursor: int) -> tuple[int, int]:
        """Index range of low <= ts <= cursor in a sorted column."""
        a = 0 if low is None else int(np.searchsorted(ts, low, side="left"))
        return a, max(a, int(np.searchsorted(ts, cursor, side="right")))

    def vwap(self, low: int | None, cursor: int) -> float:
        """sum(price x qty) / sum(qty) over the window's trades; NaN without volume."""
        if self.trades is None:
            return float("nan")
        ts, price, qty = self.trades
        a, b = self._span(ts, low, cursor)
        volume = float(qty[a:b].sum())
        return float(np.dot(price[a:b], qty[a:b]) / volume) if volume > 0 else float("nan")

    def started(self, name: str, ends: np.ndarray, low: int | None, cursor: int) -> np.ndarray:
        """Per bucket end: whether a record of `name` in the window lies before it."""
        ts = self.series_ts.get(name)
        if ts is None:
            return np.zeros(len(ends), dtype=bool)
        a, b = self._span(ts, low, cursor)
        return ends > ts[a] if a < b else np.zeros(len(ends), dtype=bool)

    def last_trade(self, ends: np.ndarray, low: int | None, cursor: int) -> np.ndarray:
        """Per bucket end: the price of the window's last trade before it, else NaN."""
        if self.trades is None:
            return np.full(len(ends), np.nan)
        ts, price = self.trades[0], self.trades[1]
        a, b = self._span(ts, low, cursor)
        at = np.minimum(np.searchsorted(ts, ends, side="left"), b) - 1
        return np.where(at >= a, price[np.clip(at, 0, None)], np.nan)

    # -- checks --------------------------------------------------------------

    @property
    def distinct_prices(self) -> np.ndarray:
        """The traded prices, each once, ascending (worked out on first use)."""
        if self._distinct is None:
            self._distinct = np.unique(self.trades[1]) if self.trades is not None else np.zeros(0)
        return self._distinct

    def one_bin_low(self, price_bin: float) -> tuple[int, int, float]:
        """(traded prices binned one bin below their own, distinct traded prices, an example).

        The engine's bin is floor(price / price_bin) x price_bin in binary
        floating point: 100.3 / 0.1 is 1002.9999999999999, so 100.3 lands in
        the bin of 100.2. A price counts when its quotient is a whole number
        in decimal (within 1e-9) that the floor misses.
        """
        prices = self.distinct_prices
        low = one_bin_low(prices, price_bin)
        return int(low.sum()), len(prices), float(prices[low][0]) if low.any() else float("nan")

    def off_grid(self, low: int | None, cursor: int, grid_low: float, grid_high: float) -> tuple[int, int]:
        """(book levels of the window off [grid_low, grid_high), book levels of the window), sampled."""
        if self.book is None:
            return 0, 0
        ts, price = self.book
        a, b = self._span(ts, low, cursor)
        inside = price[a:b]
        return int(((inside < grid_low) | (inside >= grid_high)).sum()), b - a


def engine_bin(price: float, price_bin: float) -> float:
    """The footprint bin the engine shows `price` in: asked of an engine, not worked out again."""
    engine = Engine(json.dumps({"dataset_ref": "bin", "symbol": "bin",
                                "panels": [{"kind": "footprint", "price_bin": price_bin}]}))
    engine.load_columns(trades=(np.zeros(1, np.int64), np.array([price]), np.ones(1), np.zeros(1, np.uint8)))
    return float(np.asarray(dict(engine.frame().panels()[0][1])["price_bins"])[0])


def _book_sample(dataset: Dataset) -> tuple[np.ndarray, np.ndarray]:
    """(ts, price) of the book's levels with qty > 0, every k-th so at most BOOK_SAMPLE, by ts."""
    event_ts = dataset.column("book", "ts")
    parts_ts, parts_price = [], []
    for side in ("bid", "ask"):
        offsets = dataset.column("book", f"{side}_offsets")
        price, qty = dataset.column("book", f"{side}_price"), dataset.column("book", f"{side}_qty")
        step = max(1, -(-2 * len(price) // BOOK_SAMPLE))
        rows = np.arange(0, len(price), step)
        rows = rows[qty[rows] > 0]
        parts_ts.append(event_ts[np.searchsorted(offsets, rows, side="right") - 1])
        parts_price.append(price[rows])
    ts, price = np.concatenate(parts_ts), np.concatenate(parts_price)
    order = np.argsort(ts, kind="stable")
    return ts[order], price[order]


def completed(frame: Frame, loaded: Loaded, bucket_ms: list[int | None], low: int | None) -> Frame:
    """The frame with the figures its text cannot give: the trades' VWAP on each
    footprint; on each funding panel NaN before a series' first record in the
    window, and the last trade price where no candle has closed yet.

    `bucket_ms` is each panel's bucket (None where it has none), in frame order.
    """
    cursor, panels = frame.cursor_ts, []
    for panel, width in zip(frame.panels, bucket_ms):
        if isinstance(panel, FootprintPanel):
            panel = replace(panel, _vwap=loaded.vwap(low, cursor))
        elif isinstance(panel, FundingOiPanel) and width is not None:
            ends = panel.time + width
            price = np.where(loaded.started("candles", ends, low, cursor), panel.price,
                             loaded.last_trade(ends, low, cursor))
            panel = replace(
                panel,
                funding=np.where(loaded.started("funding", ends, low, cursor), panel.funding, np.nan),
                oi=np.where(loaded.started("oi", ends, low, cursor), panel.oi, np.nan),
                price=price,
            )
        panels.append(panel)
    return replace(frame, panels=tuple(panels))


def suggested_panels(loaded: Loaded, span_ms: int) -> list[dict[str, Any]]:
    """Panels sized to the loaded data by the rule of `synthetic.demo_spec` (see _sizing)."""
    price_bin = heatmap = None
    prices = loaded.distinct_prices
    if len(prices):
        price_bin = _sizing.footprint_bin(float(prices[0]), float(prices[-1]))
        if one_bin_low(prices, price_bin).any():
            price_bin = tick_safe_bin(prices, price_bin) or price_bin
    if loaded.book is not None and len(loaded.book[1]):
        quoted = np.unique(loaded.book[1])
        gaps = np.diff(np.round(quoted, 8))
        grid = float(gaps[gaps > 0].min()) if (gaps > 0).any() else 1.0
        last = float(loaded.trades[1][-1]) if loaded.trades is not None else float(np.median(quoted))
        heatmap = _sizing.heatmap_size(grid, max(float(quoted[-1]) - last, last - float(quoted[0]), grid))
    counts = loaded.counts
    series = any(counts.get(name) for name in ("funding", "oi", "candles"))
    return _sizing.panels(span_ms, price_bin=price_bin, heatmap=heatmap,
                          liquidations=bool(counts.get("liquidations")), series=series)
