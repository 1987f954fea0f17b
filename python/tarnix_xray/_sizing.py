"""Panel sizes that fit a market's span and prices: the one rule behind `demo_spec` and `Session.suggest_spec`."""

from __future__ import annotations

import math
from typing import Any

from ._extras import need

need("numpy", "panel sizing")

import numpy as np  # noqa: E402

FOOTPRINT_BINS = 50  # about this many bins over the traded range
HEATMAP_BUCKETS = 240
SERIES_BUCKETS = 360  # at most about this many funding buckets
MAX_DEPTH = 2000  # past this, the heatmap's levels widen instead
# A quotient this close to a whole number of bins is that many bins in decimal.
_ON_EDGE = 1e-9


def nice(x: float) -> float:
    """The least of 1, 2 and 5 times a power of ten that is at least `x`."""
    power = 10.0 ** math.floor(math.log10(x))
    return next(m * power for m in (1.0, 2.0, 5.0, 10.0) if m * power >= x)


def footprint_bin(low: float, high: float) -> float:
    return nice(max(high - low, 1.0) / FOOTPRINT_BINS)


def heatmap_size(grid: float, half_width: float) -> tuple[float, int]:
    """(price_bin, depth_levels) of a grid centred on the final mid reaching `half_width` each way.

    The book's own grid step, unless that needs more than MAX_DEPTH levels.
    """
    price_bin = grid
    if 2 * math.ceil(half_width / grid) + 2 > MAX_DEPTH:
        price_bin = max(grid, nice(2 * half_width / (MAX_DEPTH - 2)))
    return price_bin, 2 * math.ceil(half_width / price_bin) + 2


def panels(
    span_ms: int,
    *,
    price_bin: float | None,
    heatmap: tuple[float, int] | None,
    liquidations: bool,
    series: bool,
) -> list[dict[str, Any]]:
    """The panels a market can fill, in the dashboard's order; `price_bin` also bins liquidations."""
    out: list[dict[str, Any]] = []
    if price_bin is not None:
        out.append({"kind": "footprint", "price_bin": price_bin, "bucket_ms": 60_000})
    if heatmap is not None:
        out.append({"kind": "book_heatmap", "price_bin": heatmap[0],
                    "bucket_ms": max(1000, span_ms // HEATMAP_BUCKETS // 1000 * 1000),
                    "depth_levels": heatmap[1]})  # fmt: skip
    if liquidations:
        out.append({"kind": "liquidation_map", "price_bin": price_bin or 1.0})
    if series:
        out.append({"kind": "funding_oi_divergence",
                    "bucket_ms": max(60_000, span_ms // SERIES_BUCKETS // 60_000 * 60_000)})  # fmt: skip
    return out


def one_bin_low(prices: np.ndarray, price_bin: float) -> np.ndarray:
    quotient = prices / price_bin
    whole = np.round(quotient)
    return (np.floor(quotient) < whole) & (np.abs(quotient - whole) <= _ON_EDGE * np.maximum(1.0, np.abs(whole)))


def tick_safe_bin(prices: np.ndarray, price_bin: float) -> float | None:
    """A price_bin a hair under `price_bin` that bins every price in its own bin, or None.

    Shrinking the bin by a few parts in 1e14 lifts each quotient just above its
    whole number, while the bin prices still round (to 8 decimals) to the
    tick's; tried from the smallest shrink up, checked on the prices given.
    """
    quotient = prices / price_bin
    own = np.where(one_bin_low(prices, price_bin), np.round(quotient), np.floor(quotient))
    for shrink in (1e-14, 1e-13, 1e-12, 1e-11):
        candidate = price_bin * (1.0 - shrink)
        same_bins = np.array_equal(np.floor(prices / candidate), own)
        if same_bins and np.array_equal(np.round(own * candidate, 8), np.round(own * price_bin, 8)):
            return candidate
    return None
