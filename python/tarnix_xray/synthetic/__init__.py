"""An embedded, seeded market of one instrument, for demos and tests.

`generate_market` returns the six lists in the layouts the data layer reads:
trades (ts, price, qty, side), book (ts, is_snapshot, side, price, qty; qty 0
removes a level), candles (ts, open, high, low, close, volume), funding
(ts, rate), oi (ts, oi) and liquidations (ts, price, qty, side); ts in int64
milliseconds, prices on a 0.1 tick.
"""

from __future__ import annotations

from .._extras import need

need("numpy", "tarnix_xray.synthetic")
need("pandas", "tarnix_xray.synthetic")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from .. import _sizing  # noqa: E402
from . import _book, _funding_oi, _liquidations, _path, _trades  # noqa: E402

__all__ = ["DEFAULT_START", "generate_market", "demo_spec"]

DEFAULT_START = int(np.datetime64("2026-03-02T09:00:00", "ms").astype(np.int64))
BASE_PRICE = 2450.0
BASE_OI = 48_000.0


def generate_market(
    hours: float = 1.0, *, seed: int = 0, start_ms: int = DEFAULT_START
) -> dict[str, pd.DataFrame]:
    """The same market for the same hours, seed and start, bit for bit."""
    if not hours > 0:
        raise ValueError(f"hours must be positive, got {hours!r}")
    n = max(2, int(round(hours * 3_600_000 / _path.STEP_MS)))
    rng = np.random.default_rng(seed)
    ts = start_ms + np.arange(n, dtype=np.int64) * _path.STEP_MS

    mid, vol = _path.mid_path(rng, n, BASE_PRICE)
    liq_step, liq_qty, liq_sign, liq_ts = _liquidations.cascades(rng, mid, start_ms)
    mid = mid + _liquidations.impact(n, liq_step, liq_qty, liq_sign)
    bid, ask = _path.touch(mid, vol, rng)
    path = _path.Path(ts=ts, mid=mid, vol=vol, bid_ticks=bid, ask_ticks=ask)

    tr = _trades.trades(rng, path)
    # Forced orders trade too: a long is sold out at the bid, a short bought at the ask.
    forced_buy = liq_sign > 0
    forced_price = _path.to_price(np.where(forced_buy, ask[liq_step], bid[liq_step]))
    t_ts = np.concatenate([tr["ts"], liq_ts])
    order = np.argsort(t_ts, kind="stable")
    trades = pd.DataFrame({
        "ts": t_ts[order],
        "price": np.concatenate([tr["price"], forced_price])[order],
        "qty": np.concatenate([tr["qty"], liq_qty])[order],
        "side": np.where(np.concatenate([tr["is_buy"], forced_buy])[order], "buy", "sell").astype(object),
    })
    candles = pd.DataFrame(_trades.candles(
        trades["ts"].to_numpy(), trades["price"].to_numpy(), trades["qty"].to_numpy(),
        start_ms, int(ts[-1]) + _path.STEP_MS))
    bk = _book.book(rng, path, seed)
    book = pd.DataFrame({
        "ts": bk["ts"], "is_snapshot": bk["is_snapshot"],
        "side": np.where(bk["is_bid"], "bid", "ask").astype(object),
        "price": bk["price"], "qty": bk["qty"],
    })
    liquidations = pd.DataFrame({
        "ts": liq_ts, "price": forced_price, "qty": liq_qty,
        "side": np.where(forced_buy, "short", "long").astype(object),
    })
    return {
        "candles": candles,
        "trades": trades,
        "book": book,
        "funding": pd.DataFrame(_funding_oi.funding(rng, ts, mid)),
        "oi": pd.DataFrame(_funding_oi.open_interest(rng, ts, liq_step, liq_qty, BASE_OI)),
        "liquidations": liquidations,
    }


def demo_spec(market: dict[str, pd.DataFrame], *, symbol: str = "SYNUSD") -> dict[str, object]:
    """A four-panel spec sized to a market's span and price range (`Session.suggest_spec`'s rule).

    About 50 footprint bins over the traded range; a heatmap of the book's
    grid over about 240 time buckets whose price grid, centred on the final
    mid, reaches every price the book quoted; 1 min funding buckets (longer
    for long spans, keeping at most about 360).
    """
    candles = market["candles"]
    span_ms = int(candles["ts"].iloc[-1] - candles["ts"].iloc[0]) + 60_000
    low, high = float(candles["low"].min()), float(candles["high"].max())
    last = float(candles["close"].iloc[-1])
    reach = _book.LEVELS * _book.GRID  # the book quotes this far from the touch
    heatmap = _sizing.heatmap_size(_book.GRID, max(high - last, last - low) + reach)
    price_bin = _sizing.footprint_bin(low, high)
    panels = _sizing.panels(span_ms, price_bin=price_bin, heatmap=heatmap, liquidations=True, series=True)
    return {"dataset_ref": "synthetic", "symbol": symbol, "panels": panels}
