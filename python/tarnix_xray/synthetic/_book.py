"""A 50-level book per side on a 0.5 grid: a snapshot, then 100 ms diffs.

Resting quantity per level is a noise value that holds for a level's own
refresh period (10 s to 5 min), so diffs stay sparse; levels
near the touch are thinner; walls appear away from the market and are
pulled when the price comes close.
"""

from __future__ import annotations

import numpy as np

from ._path import TICK, Path

LEVELS = 50
GRID = 0.5  # price units per book level
CHUNK_STEPS = 3000  # 5 min of steps at a time keeps memory flat for long runs
BASE_QTY = 2.0

_M1 = np.uint64(0x9E3779B97F4A7C15)
_M2 = np.uint64(0xBF58476D1CE4E5B9)
_M3 = np.uint64(0x94D049BB133111EB)


def _mix(x: np.ndarray) -> np.ndarray:
    """A 64-bit finaliser: well spread bits from a counter."""
    x = x ^ (x >> np.uint64(30))
    x = x * _M2
    x = x ^ (x >> np.uint64(27))
    x = x * _M3
    return x ^ (x >> np.uint64(31))


def _uniform(key: np.ndarray, salt: int) -> np.ndarray:
    """Uniform [0, 1) from integer keys, the same in every chunk."""
    with np.errstate(over="ignore"):
        bits = _mix(key.astype(np.uint64) * _M1 + np.uint64(salt))
    return (bits >> np.uint64(11)).astype(np.float64) / float(1 << 53)


class Walls:
    """Large resting orders: level, first and last step (exclusive), size."""

    def __init__(self, rng: np.random.Generator, path: Path) -> None:
        n = path.mid.size
        count = max(1, int(n / 36000 * 14))
        start = rng.integers(0, n, count)
        side = rng.choice([-1, 1], count)
        away = rng.uniform(3.0, 16.0, count)
        level = np.round((path.mid[start] + side * away) / GRID).astype(np.int64)
        end = np.minimum(start + rng.integers(600, 9000, count), n)
        # Pulled as soon as the mid comes within two levels of the wall.
        for i in range(count):
            near = np.flatnonzero(np.abs(path.mid[start[i] : end[i]] / GRID - level[i]) < 2.0)
            if near.size:
                end[i] = start[i] + near[0]
        self.level, self.start, self.end = level, start, end
        self.size = np.round(rng.uniform(15.0, 45.0, count) * BASE_QTY, 3)


def _chunk_quantities(
    lo_step: int, hi_step: int, cols: np.ndarray, path: Path, walls: Walls, seed: int
) -> tuple[np.ndarray, np.ndarray]:
    """Bid and ask quantity, steps lo..hi by absolute levels `cols` (0 = empty)."""
    t = np.arange(lo_step, hi_step)[:, None]
    level = cols[None, :]
    period = 100 + (_uniform(cols, seed + 1) * 3000).astype(np.int64)
    phase = (_uniform(cols, seed + 2) * period).astype(np.int64)
    epoch = (t + phase[None, :]) // period[None, :]
    u = _uniform(level * np.int64(1 << 24) + epoch, seed + 3)
    qty = BASE_QTY * (0.3 + 1.4 * u)
    qty *= np.where(_uniform(level * np.int64(1 << 24) + epoch, seed + 4) > 0.96, 4.0, 1.0)
    # Round prices draw resting orders: every 5.0 and more so every 10.0.
    qty *= np.where(level % 20 == 0, 3.5, np.where(level % 10 == 0, 2.0, 1.0))

    best_bid = np.floor(path.bid_ticks[lo_step:hi_step] * TICK / GRID + 1e-9).astype(np.int64)
    best_ask = np.ceil(path.ask_ticks[lo_step:hi_step] * TICK / GRID - 1e-9).astype(np.int64)
    d_bid = best_bid[:, None] - level
    d_ask = level - best_ask[:, None]
    thin_bid = np.minimum(1.0, 0.35 + 0.065 * d_bid)
    thin_ask = np.minimum(1.0, 0.35 + 0.065 * d_ask)

    extra = np.zeros(qty.shape)
    for i in np.flatnonzero((walls.end > lo_step) & (walls.start < hi_step)):
        col = np.searchsorted(cols, walls.level[i])
        if col < cols.size and cols[col] == walls.level[i]:
            a, b = max(walls.start[i], lo_step) - lo_step, min(walls.end[i], hi_step) - lo_step
            extra[a:b, col] += walls.size[i]

    bid = np.where((d_bid >= 0) & (d_bid < LEVELS), np.round(qty * thin_bid + extra, 3), 0.0)
    ask = np.where((d_ask >= 0) & (d_ask < LEVELS), np.round(qty * thin_ask + extra, 3), 0.0)
    return bid, ask


def book(rng: np.random.Generator, path: Path, seed: int) -> dict[str, np.ndarray]:
    """Columns ts, is_snapshot, is_bid, price, qty of incremental L2 rows."""
    walls = Walls(rng, path)
    n = path.mid.size
    parts: list[tuple[np.ndarray, ...]] = []
    prev_cols = np.zeros(0, np.int64)
    prev_bid = prev_ask = np.zeros(0)
    for lo in range(0, n, CHUNK_STEPS):
        hi = min(lo + CHUNK_STEPS, n)
        bid_lo = int(np.floor(path.bid_ticks[lo:hi].min() * TICK / GRID)) - LEVELS
        ask_hi = int(np.ceil(path.ask_ticks[lo:hi].max() * TICK / GRID)) + LEVELS
        lo_col = min(bid_lo, int(prev_cols[0]) if prev_cols.size else bid_lo)
        hi_col = max(ask_hi, int(prev_cols[-1]) if prev_cols.size else ask_hi)
        cols = np.arange(lo_col, hi_col + 1, dtype=np.int64)
        bid, ask = _chunk_quantities(lo, hi, cols, path, walls, seed)
        # The row before the chunk, in this chunk's columns.
        before_bid, before_ask = np.zeros(cols.size), np.zeros(cols.size)
        at = np.searchsorted(cols, prev_cols)
        before_bid[at], before_ask[at] = prev_bid, prev_ask
        for is_bid, q, before in ((True, bid, before_bid), (False, ask, before_ask)):
            full = np.vstack([before[None, :], q])
            changed = full[1:] != full[:-1]
            if lo == 0:
                changed[0] = q[0] > 0  # the snapshot lists the levels it holds
            row, col = np.nonzero(changed)
            parts.append((
                path.ts[lo + row],
                np.full(row.size, lo == 0) & (row == 0),
                np.full(row.size, is_bid),
                np.round(cols[col] * GRID, 1),
                q[row, col],
            ))
        # Carry only the levels the book holds, so the columns do not ratchet wider.
        held = (bid[-1] > 0) | (ask[-1] > 0)
        prev_cols, prev_bid, prev_ask = cols[held], bid[-1][held], ask[-1][held]
    names = ("ts", "is_snapshot", "is_bid", "price", "qty")
    cols_out = {name: np.concatenate(c) for name, c in zip(names, zip(*parts))}
    order = np.lexsort((cols_out["price"], ~cols_out["is_bid"], cols_out["ts"]))
    return {name: c[order] for name, c in cols_out.items()}
