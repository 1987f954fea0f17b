"""Liquidation cascades: forced orders that follow sharp moves and deepen them."""

from __future__ import annotations

import numpy as np

from ._path import STEP_MS

WINDOW_STEPS = 150  # a sharp move is judged over 15 s
THRESHOLD = 2.5  # price units moved within the window
QUIET_STEPS = 600  # one cascade per minute at most
IMPACT_PER_QTY = 0.025  # price units per liquidated unit, pushed along the move


def sharp_moves(mid: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Step index and signed size of each sharp move, at least a minute apart."""
    move = np.zeros_like(mid)
    move[WINDOW_STEPS:] = mid[WINDOW_STEPS:] - mid[:-WINDOW_STEPS]
    over = np.abs(move) > THRESHOLD
    starts = np.flatnonzero(over[1:] & ~over[:-1]) + 1
    kept: list[int] = []
    for s in starts:  # a few dozen per hour; the gap rule is sequential
        if not kept or s - kept[-1] >= QUIET_STEPS:
            kept.append(int(s))
    idx = np.array(kept, dtype=np.int64)
    return idx, move[idx]


def cascades(
    rng: np.random.Generator, mid: np.ndarray, t0: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Step, qty, sign (+1 short squeeze, -1 long flush) and ts of every liquidation.

    Each sharp move sets off a burst of liquidations on the losing side over
    the next few seconds; their count grows with the size of the move.
    """
    trig, move = sharp_moves(mid)
    counts = 4 + rng.poisson(10.0 * np.abs(move) / THRESHOLD)
    which = np.repeat(np.arange(trig.size), counts)
    # Gaps of ~0.6 s within a cascade, summed from the sharp move on.
    within = _cum_within(rng.exponential(600.0, which.size), counts)
    ts = t0 + trig[which] * STEP_MS + within.astype(np.int64)
    qty = np.round(0.2 + rng.pareto(1.6, which.size) * 1.5, 3)
    sign = np.sign(move[which])
    step = (ts - t0) // STEP_MS
    inside = step < mid.size  # a cascade may run past the end of the data
    return step[inside], qty[inside], sign[inside], ts[inside]


def _cum_within(gaps: np.ndarray, counts: np.ndarray) -> np.ndarray:
    """Running sums of gaps restarting at each cascade."""
    total = np.cumsum(gaps)
    ends = np.cumsum(counts)
    offset = np.concatenate([[0.0], total[ends[:-1] - 1]]) if counts.size else np.zeros(0)
    return total - np.repeat(offset, counts)


def impact(n: int, step: np.ndarray, qty: np.ndarray, sign: np.ndarray) -> np.ndarray:
    """Permanent price impact of the forced orders, to add to the mid path."""
    push = np.zeros(n)
    np.add.at(push, step, sign * qty * IMPACT_PER_QTY)
    return np.cumsum(push)
