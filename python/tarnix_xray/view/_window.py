"""A four-panel spec sized to a trailing window rather than to the whole market."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

from .._sizing import nice, one_bin_low, tick_safe_bin

HEATMAP_COLUMNS = 150  # time buckets across a window
FUNDING_POINTS = 60
FOOTPRINT_BINS = 40
MAX_DEPTH = 600


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
    price_bin = nice(swing / FOOTPRINT_BINS)
    traded = np.unique(market["trades"]["price"].to_numpy()) if "trades" in market else np.empty(0)
    if one_bin_low(traded, price_bin).any():  # a bin at the tick would show some prices one bin low
        price_bin = tick_safe_bin(traded, price_bin) or price_bin
    return {
        "dataset_ref": "synthetic",
        "symbol": symbol,
        "panels": [
            {"kind": "footprint", "price_bin": price_bin, "bucket_ms": 60_000},
            {"kind": "book_heatmap", "price_bin": grid,
             "bucket_ms": max(1000, window_ms // HEATMAP_COLUMNS // 1000 * 1000), "depth_levels": depth},
            {"kind": "liquidation_map", "price_bin": price_bin},
            {"kind": "funding_oi_divergence", "bucket_ms": max(5000, window_ms // FUNDING_POINTS // 1000 * 1000)},
        ],
    }
