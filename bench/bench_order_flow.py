"""Footprint bars of a day of trades: the engine's order flow against the pandas
groupby version a quant would write, checked equal; and the scrub of a
trailing 1% of a day, one call per cursor step.

Trades: 2 M over 24 h, a random walk around 30000 on a 0.1 tick, quantities
in eighths (sums exact in any order, so both sides agree to the bit).

    python3 bench/bench_order_flow.py [trades] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import pandas as pd

from tarnix_xray import Session

DAY_MS = 86_400_000
BAR_MS = 60_000
TICK = 0.1
RATIO = 3.0


def trades(n: int, seed: int = 7) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    ts = 1_700_000_000_000 + np.sort(rng.integers(0, DAY_MS, n))
    level = 300_000 + np.cumsum(rng.integers(-1, 2, n))
    buy = rng.random(n) < 0.5
    return pd.DataFrame({"ts": ts, "price": level / 10, "qty": rng.integers(1, 40, n) / 8,
                         "side": np.where(buy, "buy", "sell")})  # fmt: skip


def pandas_bars(t: pd.DataFrame) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Cells with diagonal imbalances and bars with OHLC, volume, delta, cvd and POC."""
    df = t.assign(bar=t.ts // BAR_MS * BAR_MS, level=np.round(t.price / TICK).astype("int64"))
    df["bid"] = df.qty.where(df.side == "sell", 0.0)
    df["ask"] = df.qty.where(df.side == "buy", 0.0)
    cells = df.groupby(["bar", "level"]).agg(bid_vol=("bid", "sum"), ask_vol=("ask", "sum"),
                                             trades=("qty", "size")).reset_index()  # fmt: skip
    same_bar = cells.bar.eq(cells.bar.shift())
    below = cells.bid_vol.shift().where(same_bar & cells.level.sub(cells.level.shift()).eq(1), 0.0)
    same_next = cells.bar.eq(cells.bar.shift(-1))
    above = cells.ask_vol.shift(-1).where(same_next & cells.level.shift(-1).sub(cells.level).eq(1), 0.0)
    cells["buy_imbalance"] = (cells.ask_vol > 0) & (cells.ask_vol >= RATIO * below)
    cells["sell_imbalance"] = (cells.bid_vol > 0) & (cells.bid_vol >= RATIO * above)
    bars = df.groupby("bar").agg(open=("price", "first"), high=("price", "max"), low=("price", "min"),
                                 close=("price", "last"), volume=("qty", "sum"), ask=("ask", "sum"),
                                 bid=("bid", "sum"))  # fmt: skip
    bars["delta"] = bars.ask - bars.bid
    bars["cvd"] = bars.delta.cumsum()
    volume = cells.bid_vol + cells.ask_vol
    poc_rows = volume.groupby(cells.bar).idxmax()  # the first, lowest level of the largest
    bars["poc"] = (cells.level[poc_rows].to_numpy() * TICK).round(1)
    return cells, bars.reset_index()


def pandas_bars_idiomatic(t: pd.DataFrame) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The same, as it is usually written: a time floor, groupby by side and unstack,
    ohlc(), and the neighbours by a shift within each bar."""
    df = t.assign(bar=pd.to_datetime(t.ts, unit="ms").dt.floor("1min"),
                  level=np.round(t.price / TICK).astype("int64"))  # fmt: skip
    fp = df.groupby(["bar", "level", "side"]).qty.sum().unstack("side", fill_value=0.0)
    fp = fp.rename(columns={"sell": "bid_vol", "buy": "ask_vol"})
    fp["trades"] = df.groupby(["bar", "level"]).size()
    levels = fp.index.get_level_values("level").to_series(index=fp.index)
    by_bar = fp.groupby(level="bar")
    below = by_bar.bid_vol.shift(1).where(levels.groupby(level="bar").diff().eq(1), 0.0)
    above = by_bar.ask_vol.shift(-1).where(levels.groupby(level="bar").diff(-1).eq(-1), 0.0)
    fp["buy_imbalance"] = (fp.ask_vol > 0) & (fp.ask_vol >= RATIO * below)
    fp["sell_imbalance"] = (fp.bid_vol > 0) & (fp.bid_vol >= RATIO * above)
    bars = df.groupby("bar").price.ohlc()
    bars["volume"] = df.groupby("bar").qty.sum()
    bars["delta"] = (fp.ask_vol - fp.bid_vol).groupby(level="bar").sum()
    bars["cvd"] = bars.delta.cumsum()
    bars["poc"] = (fp.bid_vol + fp.ask_vol).groupby(level="bar").idxmax().str[1] * TICK
    bars["poc"] = bars.poc.round(1)
    return fp.reset_index(), bars.reset_index()


def best_ms(fn, repeat: int) -> tuple[tuple[float, float], object]:
    """(best wall ms, best processor ms) and the result: on a shared machine the
    processor time is the steadier figure, and both sides here run on one thread."""
    wall, cpu, result = [], [], None
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        result = fn()
        wall.append((time.perf_counter() - t0) * 1000)
        cpu.append((time.process_time() - c0) * 1000)
    return (min(wall), min(cpu)), result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("trades", nargs="?", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    t = trades(args.trades)
    session = Session({"dataset_ref": "bench", "symbol": "S", "panels": [{"kind": "footprint", "price_bin": 0.1}]})
    session.load(trades=t)

    pandas_ms, (cells, bars) = best_ms(lambda: pandas_bars(t), max(1, args.repeat // 2))
    idiomatic_ms, (cells2, bars2) = best_ms(lambda: pandas_bars_idiomatic(t), max(1, args.repeat // 2))
    engine_ms, fb = best_ms(lambda: session.footprint_bars(BAR_MS, tick=TICK, ratio=RATIO), args.repeat)
    inferred_ms, _ = best_ms(lambda: session.footprint_bars(BAR_MS, ratio=RATIO), args.repeat)
    got_cells, got_bars = fb.to_pandas()
    for want_cells, want_bars in ((cells, bars), (cells2, bars2)):
        for name in ("bid_vol", "ask_vol", "trades", "buy_imbalance", "sell_imbalance"):
            assert np.array_equal(got_cells[name].to_numpy(), want_cells[name].to_numpy()), name
        assert np.array_equal(fb.cells["level"], want_cells.level.to_numpy())
        for name in ("open", "high", "low", "close", "volume", "delta", "cvd", "poc"):
            assert np.array_equal(got_bars[name].to_numpy(), want_bars[name].to_numpy()), name
    print(f"{args.trades} trades, {len(bars)} bars, {len(cells)} cells: checked equal")
    print("                              wall ms    cpu ms   x as usually written / x flat (cpu)")
    print(f"pandas, as usually written  {idiomatic_ms[0]:8.1f}  {idiomatic_ms[1]:8.1f}")
    print(f"pandas, flat columns        {pandas_ms[0]:8.1f}  {pandas_ms[1]:8.1f}")
    for name, ms in (("tick given", engine_ms), ("tick inferred", inferred_ms)):
        print(f"footprint_bars, {name:13s}{ms[0]:8.1f}  {ms[1]:8.1f}   "
              f"{idiomatic_ms[1] / ms[1]:5.1f}x / {pandas_ms[1] / ms[1]:5.1f}x")

    # Scrubbing: a trailing 1% of the day, the cursor moved 500 times across it.
    first, last = int(t.ts.iloc[0]), int(t.ts.iloc[-1])
    window = DAY_MS // 100
    steps = []
    for i in range(500):
        cursor = first + window + (last - first - window) * (i + 1) // 500
        t0 = time.perf_counter()
        session.footprint_bars(BAR_MS, tick=TICK, ratio=RATIO, at=cursor, window=window)
        steps.append((time.perf_counter() - t0) * 1000)
    steps.sort()
    print(f"scrub, trailing 1%   p50 {statistics.median(steps):.3f} ms, p95 {steps[int(len(steps) * 0.95)]:.3f} ms "
          f"({args.trades // 100} trades a window)")


if __name__ == "__main__":
    main()
