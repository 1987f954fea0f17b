"""A four-panel spec sized to a trailing window rather than to the whole market."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

HEATMAP_COLUMNS = 150  # time buckets across a window
FUNDING_POINTS = 60
FOOTPRINT_BINS = 40
MAX_DEPTH = 600


def _nice(x: float) -> float:
    """The least of 1, 2 and 5 times a power of ten that is at least `x`."""
    power = 10.0 ** math.floor(math.log10(x))
    return next(m * power for m in (1.0, 2.0, 5.0, 10.0) if m * power >= x)


def window_spec(market: Mapping[str, Any], window_ms: int, *, symbol: str = "SYNUSD") -> dict[str, Any]:
    """Bins and buckets for windows of `window_ms` over `market` (the synthetic layout).

    The footprint gets about 40 bins over the widest price range any window
    spans; the heatmap keeps the book's own grid, about 150 buckets per window
    and enough levels for the book's reach beyond that range.
    """
    import numpy as np
    from numpy.lib.stride_tricks import sliding_window_view

    candles, book = market["candles"], market["book"]
    step = int(np.median(np.diff(candles["ts"].to_numpy()))) if len(candles) > 1 else 60_000
    k = max(1, min(len(candles), math.ceil(window_ms / step)))
    high = sliding_window_view(candles["high"].to_numpy(), k).max(axis=1)
    low = sliding_window_view(candles["low"].to_numpy(), k).min(axis=1)
    swing = max(float((high - low).max()), 1.0)

    prices = np.sort(np.unique(book["price"].to_numpy()))
    grid = float(np.median(np.diff(prices))) if len(prices) > 1 else 1.0
    first = book[book["ts"] == book["ts"].iloc[0]]["price"]
    reach = (float(first.max()) - float(first.min())) / 2 if len(first) else 0.0
    depth = min(MAX_DEPTH, 2 * math.ceil((swing + reach) / grid) + 2)
    return {
        "dataset_ref": "synthetic",
        "symbol": symbol,
        "panels": [
            {"kind": "footprint", "price_bin": _nice(swing / FOOTPRINT_BINS), "bucket_ms": 60_000},
            {"kind": "book_heatmap", "price_bin": grid,
             "bucket_ms": max(1000, window_ms // HEATMAP_COLUMNS // 1000 * 1000), "depth_levels": depth},
            {"kind": "liquidation_map", "price_bin": _nice(swing / FOOTPRINT_BINS)},
            {"kind": "funding_oi_divergence", "bucket_ms": max(5000, window_ms // FUNDING_POINTS // 1000 * 1000)},
        ],
    }
