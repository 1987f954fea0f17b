"""The mid price on a 100 ms grid: calm stretches and bursts of volatility."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

STEP_MS = 100
TICK = 0.1


@dataclass(frozen=True)
class Path:
    """The market's hidden state, one entry per 100 ms step."""

    ts: np.ndarray  # int64 ms, step starts
    mid: np.ndarray  # float64, price units
    vol: np.ndarray  # float64, volatility multiplier (1 calm, 3-6 in a burst)
    bid_ticks: np.ndarray  # int64, best bid in ticks
    ask_ticks: np.ndarray  # int64, best ask in ticks


def regimes(rng: np.random.Generator, n: int) -> tuple[np.ndarray, np.ndarray]:
    """Volatility multiplier and drift per step.

    Calm stretches (mean 5 min) alternate with bursts (mean 40 s) that carry
    a direction, so some bursts become the sharp moves that set off
    liquidation cascades.
    """
    count = n // 2000 + 8
    calm = rng.exponential(3000.0, count).astype(np.int64) + 300
    burst = rng.exponential(400.0, count).astype(np.int64) + 100
    edges = np.cumsum(np.column_stack([calm, burst]).ravel())
    segment = np.searchsorted(edges, np.arange(n), side="right")
    in_burst = segment % 2 == 1
    burst_vol = rng.uniform(3.0, 6.0, 2 * count + 1)
    # Move over a whole burst: 2 to 8 price units up or down.
    burst_move = rng.choice([-1.0, 1.0], 2 * count + 1) * rng.uniform(2.0, 8.0, 2 * count + 1)
    lengths = np.diff(np.concatenate([[0], edges]))
    lengths = np.append(lengths, 1)
    vol = np.where(in_burst, burst_vol[segment], 1.0)
    drift = np.where(in_burst, burst_move[segment] / lengths[segment], 0.0)
    return vol, drift


def mid_path(rng: np.random.Generator, n: int, base_price: float) -> tuple[np.ndarray, np.ndarray]:
    """Mid price and volatility multiplier per step, before liquidation impact."""
    vol, drift = regimes(rng, n)
    # Slow wander of the calm volatility, so calm is not uniform either.
    wobble = np.exp(0.3 * np.sin(np.arange(n) / 9000.0 + rng.uniform(0, 6.3)))
    steps = rng.standard_normal(n) * 0.045 * vol * wobble + drift
    steps[0] = 0.0
    return base_price + np.cumsum(steps), vol


def touch(mid: np.ndarray, vol: np.ndarray, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Best bid and ask in ticks around the mid; the spread widens in bursts."""
    spread = 1 + (rng.random(mid.size) < 0.15 * vol).astype(np.int64)
    bid = np.floor(mid / TICK - spread / 2).astype(np.int64)
    return bid, bid + spread


def to_price(ticks: np.ndarray) -> np.ndarray:
    """Ticks to prices that print as short decimals."""
    return np.round(ticks * TICK, 1)
