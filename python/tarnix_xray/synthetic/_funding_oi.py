"""Funding that follows the premium of the price over its trend, and open
interest that drifts, jumps on new positions and drops in cascades."""

from __future__ import annotations

import numpy as np

from ._path import STEP_MS

FUNDING_EVERY_MS = 60_000
OI_EVERY_MS = 5_000


def funding(rng: np.random.Generator, ts: np.ndarray, mid: np.ndarray) -> dict[str, np.ndarray]:
    """A rate per minute: base rate, premium over a 20 min trend, noise, jumps."""
    every = FUNDING_EVERY_MS // STEP_MS
    at = np.arange(0, mid.size, every)
    # Trend: an exponential average over about 20 min, one value per minute.
    alpha = 1.0 / 20.0
    trend = np.empty(at.size)
    level = mid[0]
    for i, m in enumerate(mid[at]):  # one step per minute
        level += alpha * (m - level)
        trend[i] = level
    premium = (mid[at] - trend) / trend
    noise = np.cumsum(rng.normal(0.0, 2e-6, at.size))
    jumps = np.cumsum(np.where(rng.random(at.size) < 0.04, rng.normal(0.0, 3e-5, at.size), 0.0))
    rate = 5e-5 + 0.02 * premium + noise + jumps
    return {"ts": ts[at], "rate": np.round(rate, 8)}


def open_interest(
    rng: np.random.Generator, ts: np.ndarray, liq_step: np.ndarray, liq_qty: np.ndarray, base: float
) -> dict[str, np.ndarray]:
    """Open interest every 5 s: a random walk with drift, jumps up when new
    positions open, and drops when a cascade closes positions."""
    every = OI_EVERY_MS // STEP_MS
    at = np.arange(0, ts.size, every)
    drift = rng.normal(0.0, 0.004) * base / at.size
    walk = np.cumsum(rng.normal(drift, base * 2e-4, at.size))
    opened = np.cumsum(np.where(rng.random(at.size) < 0.01, rng.uniform(0.004, 0.012, at.size) * base, 0.0))
    # Each liquidated unit drags out several more: stops and closed hedges.
    closed = np.zeros(at.size)
    np.add.at(closed, np.minimum(liq_step // every + 1, at.size - 1), liq_qty * 6.0)
    oi = base + walk + opened - np.cumsum(closed)
    return {"ts": ts[at], "oi": np.round(oi, 3)}
