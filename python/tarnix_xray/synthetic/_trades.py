"""Trades at the touch in runs of buying and selling, and 1 m candles from them."""

from __future__ import annotations

import numpy as np

from ._path import STEP_MS, Path, to_price

RUN_BREAK = 0.3  # chance that a trade starts a new run: runs of ~3 trades
LEAD_STEPS = 10  # aggressors lean towards where the mid goes in the next second


def trades(rng: np.random.Generator, path: Path) -> dict[str, np.ndarray]:
    """Columns ts, price, qty, is_buy of the market's trades, in ts order."""
    n = path.mid.size
    counts = rng.poisson(0.5 * path.vol)
    step = np.repeat(np.arange(n), counts)
    ts = np.sort(path.ts[step] + rng.integers(0, STEP_MS, step.size))
    step = (ts - path.ts[0]) // STEP_MS
    m = ts.size

    ahead = path.mid[np.minimum(np.arange(n) + LEAD_STEPS, n - 1)] - path.mid
    lean = 1.0 / (1.0 + np.exp(-ahead[step] / (0.05 * path.vol[step])))
    new_run = rng.random(m) < RUN_BREAK
    if m:
        new_run[0] = True
    run = np.cumsum(new_run) - 1
    run_buy = rng.random(run[-1] + 1 if m else 0) < lean[new_run]
    is_buy = run_buy[run]

    qty = np.round(np.maximum(rng.lognormal(-1.3, 1.0, m) * np.sqrt(path.vol[step]), 0.001), 3)
    # Big orders sweep a tick or two past the touch.
    sweep = (qty > 1.5) * rng.integers(0, 3, m)
    ticks = np.where(is_buy, path.ask_ticks[step] + sweep, path.bid_ticks[step] - sweep)
    return {"ts": ts, "price": to_price(ticks), "qty": qty, "is_buy": is_buy}


def candles(ts: np.ndarray, price: np.ndarray, qty: np.ndarray, t0: int, t1: int) -> dict[str, np.ndarray]:
    """1 m OHLCV bars from trades; a minute without trades repeats the last close."""
    minute = 60_000
    first, last = t0 // minute, (t1 - 1) // minute
    starts_all = np.arange(first, last + 1) * minute
    idx = (ts // minute) - first
    present, starts = np.unique(idx, return_index=True)
    ends = np.append(starts[1:], ts.size)
    o = np.full(starts_all.size, np.nan)
    h, lo, c, v = o.copy(), o.copy(), o.copy(), np.zeros(starts_all.size)
    if ts.size:
        o[present] = price[starts]
        c[present] = price[ends - 1]
        h[present] = np.maximum.reduceat(price, starts)
        lo[present] = np.minimum.reduceat(price, starts)
        v[present] = np.add.reduceat(qty, starts)
    # Forward fill the close over empty minutes, then flat bars there.
    filled = np.where(np.isnan(c), 0, np.arange(c.size))
    np.maximum.accumulate(filled, out=filled)
    c = c[filled]
    for col in (o, h, lo):
        np.copyto(col, c, where=np.isnan(col))
    return {"ts": starts_all, "open": o, "high": h, "low": lo, "close": c, "volume": np.round(v, 3)}
