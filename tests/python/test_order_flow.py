"""Order flow against a plain numpy/pandas model of the same rules, on seeded random trades."""

import itertools
import json
import math
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

from tarnix_xray import Session, XrayError  # noqa: E402

SPEC = {"dataset_ref": "d", "symbol": "S", "panels": [{"kind": "footprint", "price_bin": 0.1}]}


def rounded(x):  # halves away from zero, as the engine rounds a level
    whole = np.trunc(x)
    return whole + np.where(np.abs(x - whole) >= 0.5, np.sign(x), 0.0)


def decimals(x):
    return next((d for d in range(9) if round(x * 10.0**d) / 10.0**d == x), 8)


def infer_tick(prices):
    d = max(decimals(p) for p in prices)
    units = [int(round(p * 10.0**d)) for p in prices]
    step = math.gcd(*[abs(u - units[0]) for u in units]) or 1
    return step / 10.0**d


def level_price(levels, tick):
    d = decimals(tick)
    return (levels * round(tick * 10.0**d)).astype(float) / 10.0**d


def value_area(levels, volume, poc, share):
    """Grows from poc over the sorted traded levels, the larger neighbour first (the lower on a tie)."""
    lo = hi = poc
    held, target = volume[poc], share * sum(volume)
    while held < target and (lo > 0 or hi < len(levels) - 1):
        up = hi < len(levels) - 1 and (lo == 0 or volume[hi + 1] > volume[lo - 1])
        lo, hi = (lo, hi + 1) if up else (lo - 1, hi)
        held += volume[hi if up else lo]
    return levels[lo], levels[hi]


def model(t, bar_ms, tick, ratio=3.0, min_volume=0.0, stacked=3):
    tick = tick or infer_tick(t.price.tolist())
    level = rounded(t.price.to_numpy() / tick).astype(np.int64)
    bar = t.ts.to_numpy() // bar_ms * bar_ms
    buy, qty = (t.side == "buy").to_numpy(), t.qty.to_numpy()
    keys, cell = np.unique(np.stack([bar, level]), axis=1, return_inverse=True)
    cell = cell.ravel()
    bars_ts, bar_of = np.unique(bar, return_inverse=True)
    cells = pd.DataFrame({"bar_ts": keys[0], "level": keys[1],
                          "bid_vol": np.bincount(cell, qty * ~buy), "ask_vol": np.bincount(cell, qty * buy),
                          "trades": np.bincount(cell)})  # fmt: skip
    have = {(b, lv): (bid, ask) for b, lv, bid, ask in zip(cells.bar_ts, cells.level, cells.bid_vol, cells.ask_vol)}
    cells["buy_imbalance"] = [a > 0 and a >= min_volume and a >= ratio * have.get((b, lv - 1), (0, 0))[0]
                              for b, lv, a in zip(cells.bar_ts, cells.level, cells.ask_vol)]  # fmt: skip
    cells["sell_imbalance"] = [s > 0 and s >= min_volume and s >= ratio * have.get((b, lv + 1), (0, 0))[1]
                               for b, lv, s in zip(cells.bar_ts, cells.level, cells.bid_vol)]  # fmt: skip
    delta = np.bincount(bar_of, qty * buy) - np.bincount(bar_of, qty * ~buy)
    rows, runs, cum = [], [], {}
    later = dict(zip(cells.level, cells.bar_ts))  # a level's last bar: cells run by bar
    for b, g in cells.groupby("bar_ts", sort=True):
        lv, vol = g.level.tolist(), (g.bid_vol + g.ask_vol).tolist()
        poc = int(np.argmax(vol))
        for side, flag in ((0, g.buy_imbalance.tolist()), (1, g.sell_imbalance.tolist())):
            # a run: neighbouring levels (level - position constant) flagged alike
            for (on, _), run in itertools.groupby(zip(flag, np.subtract(lv, range(len(lv))), lv), lambda f: f[:2]):
                run = [level_ for *_, level_ in run]
                if on and len(run) >= stacked:
                    runs.append((b, side, run[0], run[-1], len(run)))
        for level_, v in zip(lv, vol):
            cum[level_] = cum.get(level_, 0.0) + v
        seen = sorted(cum)
        dpoc = int(np.argmax([cum[x] for x in seen]))
        rows.append((b, lv[poc], *value_area(lv, vol, poc, 0.7), later[lv[poc]] == b,
                     seen[dpoc], *value_area(seen, [cum[x] for x in seen], dpoc, 0.7),
                     g.bid_vol.iloc[-1] > 0 and g.ask_vol.iloc[-1] > 0, g.bid_vol.iloc[0] > 0 and g.ask_vol.iloc[0] > 0))  # fmt: skip
    prof = pd.DataFrame(rows, columns=["bar_ts", "poc", "va_low", "va_high", "naked_poc", "developing_poc",
                                       "developing_va_low", "developing_va_high", "unfinished_high", "unfinished_low"])  # fmt: skip
    first = np.searchsorted(bar, bars_ts)
    last = np.r_[first[1:], len(bar)] - 1
    bars = pd.DataFrame({"bar_ts": bars_ts, "open": level[first], "high": np.maximum.reduceat(level, first),
                         "low": np.minimum.reduceat(level, first), "close": level[last],
                         "volume": np.bincount(bar_of, qty), "delta": delta, "cvd": np.cumsum(delta)})  # fmt: skip
    bars = bars.merge(prof, on="bar_ts")
    for name in ("open", "high", "low", "close", "poc", "va_low", "va_high", "developing_poc",
                 "developing_va_low", "developing_va_high"):  # fmt: skip
        bars[name] = level_price(bars[name].to_numpy(), tick)
    cells.insert(1, "price", level_price(cells.level.to_numpy(), tick))
    runs = pd.DataFrame(runs, columns=["bar_ts", "side", "low", "high", "levels"])
    runs["low"], runs["high"] = level_price(runs.low.to_numpy(), tick), level_price(runs.high.to_numpy(), tick)
    return tick, cells, bars, runs


def trades(seed, n, *, price0, tick, spread, bar_ms, one_sided=False, walk=True):
    """Random trades on a tick grid: few distinct quantities (ties), gaps of empty bars; a walk,
    or jumps (bars whose levels lie far apart for their trades, a profile whose span grows)."""
    rng = np.random.default_rng(seed)
    ts = np.sort(rng.choice(np.r_[0 : 12 * bar_ms, 20 * bar_ms : 30 * bar_ms], n))
    steps = np.cumsum(rng.integers(-1, 2, n)) % (2 * spread) - spread + rng.integers(-2, 3, n)
    steps = steps if walk else rng.integers(-spread, spread + 1, n)
    price = np.array([float(f"{price0 + s * tick:.15g}") for s in steps])
    side = np.where(rng.random(n) < (0.0 if one_sided else 0.5), "sell", "buy")
    return pd.DataFrame({"ts": ts, "price": price, "qty": rng.integers(1, 5, n) / 4, "side": side})


CASES = {  # name: (trades, tick given)
    "tenths inferred": (dict(seed=1, n=400, price0=100.0, tick=0.1, spread=12, bar_ms=1000), None),
    "quarters given": (dict(seed=2, n=300, price0=50.0, tick=0.25, spread=6, bar_ms=5000), 0.25),
    "negative prices": (dict(seed=3, n=300, price0=-37.5, tick=0.5, spread=8, bar_ms=2000), None),
    "huge prices": (dict(seed=4, n=200, price0=8.5e12, tick=0.5, spread=5, bar_ms=1000), None),
    "one-sided bars": (dict(seed=5, n=150, price0=0.3, tick=0.1, spread=4, bar_ms=1000, one_sided=True), 0.1),
    "coarse tick given": (dict(seed=6, n=250, price0=100.0, tick=0.01, spread=300, bar_ms=3000), 0.5),
    "jumps": (dict(seed=7, n=4000, price0=100.0, tick=0.01, spread=700, bar_ms=1000, walk=False), None),
    "levels far apart": (dict(seed=8, n=60, price0=5000.0, tick=0.01, spread=100_000, bar_ms=1000, walk=False), 0.01),
}


@pytest.mark.parametrize("name", CASES)
def test_footprint_bars_equal_the_model(name):
    shape, tick = CASES[name]
    t = trades(**shape)
    session = Session(SPEC)
    session.load(trades=t)
    fb = session.footprint_bars(shape["bar_ms"], tick=tick, ratio=2.0, min_volume=0.5, stacked=2, developing=True)
    want_tick, cells, bars, runs = model(t, shape["bar_ms"], tick, ratio=2.0, min_volume=0.5, stacked=2)
    assert fb.tick == want_tick
    got_cells, got_bars = fb.to_pandas()
    got_runs = fb.runs_to_pandas().assign(side=lambda r: (r.side == "sell").astype(int))
    for got, want in ((got_cells.assign(level=fb.cells["level"]), cells), (got_bars, bars), (got_runs, runs)):
        got = got.assign(bar_ts=got.bar_ts.astype("int64"))
        pd.testing.assert_frame_equal(got[want.columns], want, check_exact=True, check_dtype=want is not runs)
    profile = session.volume_profile(tick=tick)  # the window as one bar
    _, pcells, pbars, _ = model(t.assign(ts=0), 1, tick)
    assert (profile.poc, profile.va_low, profile.va_high) == tuple(pbars.loc[0, ["poc", "va_low", "va_high"]])
    assert profile.price.tolist() == pcells.price.tolist() and profile.bid_vol.tolist() == pcells.bid_vol.tolist()


@pytest.mark.filterwarnings("ignore::tarnix_xray.errors.XrayWarning")  # the engine's bins, shown on purpose
def test_window_tick_exact_levels_prints_and_refusals():
    t = pd.DataFrame({"ts": [0, 10, 20, 30, 40], "price": [100.3, 100.3, 100.4, 0.3, 100.2],
                      "qty": [1.0, 5.0, 2.0, 9.0, 3.0], "side": ["buy", "sell", "buy", "sell", "buy"]})  # fmt: skip
    session = Session(SPEC)
    session.load(trades=t)
    # The engine's footprint puts 100.3 one bin low at price_bin 0.1; order flow does not.
    assert 100.3 not in session.frame().footprint.price_bins
    fb = session.footprint_bars(1000, tick=0.1, at=20, window=15)  # the frame's window: ts 6..20
    assert fb.cells["price"].tolist() == [100.3, 100.4] and fb.cells["bid_vol"].tolist() == [5.0, 0.0]
    assert (fb.from_ts, fb.cursor_ts) == (6, 20)
    assert session.footprint_bars("1s").tick == 0.1 and not fb.cells["price"].flags.writeable
    prints = session.large_prints(quantile=0.5)
    assert prints.threshold == np.quantile(t.qty, 0.5, method="lower") == 3.0
    assert prints.to_pandas().values.tolist() == [
        [pd.Timestamp(10, unit="ms"), 100.3, 5.0, "sell"], [pd.Timestamp(30, unit="ms"), 0.3, 9.0, "sell"],
        [pd.Timestamp(40, unit="ms"), 100.2, 3.0, "buy"]]  # fmt: skip
    empty = session.footprint_bars(1000, at=-5)
    assert len(empty) == 0 and empty.to_pandas()[0].empty
    for call, message in [
        (lambda: session.footprint_bars(1000, tick=0), "bad spec: tick must be positive and finite, not 0"),
        (lambda: session.large_prints(), "bad spec: give either min_qty or quantile"),
        (lambda: session.volume_profile(value_area=1.5), "bad spec: value_area must lie in (0, 1]"),
    ]:
        with pytest.raises(XrayError, match=message.replace("(", r"\(").replace(")", r"\)").replace("^", r"\^")):
            call()
    session.load(trades=t.assign(price=[1e9, 1.0, 2.0, 3.0, 4.0]))
    with pytest.raises(XrayError, match=r"ts 0 has price 1e\+09, more than 2\^53 ticks of 1e-08 from zero"):
        session.footprint_bars(1000, tick=1e-8, at=5)
    for kwargs, message in [({"stacked": 0}, "stacked must be a whole number of at least 1, not 0"),
                            ({"tick": True}, "tick True is not a number")]:
        with pytest.raises(ValueError, match=message):
            session.footprint_bars(1000, **kwargs)


def random_book(seed, events=80):
    rng = np.random.default_rng(seed)
    side = lambda: [[100 + 0.5 * int(k), float(rng.integers(0, 4)) / 2] for k in rng.integers(-12, 13, rng.integers(0, 5))]  # noqa: E731
    return [{"ts": int(ts), "kind": "snapshot" if i == 0 or rng.random() < 0.1 else "diff", "bids": side(), "asks": side()}
            for i, ts in enumerate(np.sort(rng.integers(0, 6000, events)))]  # fmt: skip


@pytest.mark.parametrize("seed, at, window", [(1, None, None), (2, 4000, 2500), (3, 5000, None)])
def test_book_sides_add_up_to_the_engines_cells_and_the_touch_is_the_books(seed, at, window):
    book = random_book(seed)
    session = Session({"dataset_ref": "d", "symbol": "S", "panels": [
        {"kind": "book_heatmap", "price_bin": 1.5, "bucket_ms": 500, "depth_levels": 12}]})  # fmt: skip
    session.load(book=book)
    sides = session.book_sides(at=at, window=window)
    text = json.loads(session.frame_text(at, window=window))["panels"][0]
    assert sides.time.tolist() == text["time"] and sides.price.tolist() == text["price"]
    b, a = sides.bids, sides.asks
    empty = (b == 0) & np.signbit(b) & (a == 0) & np.signbit(a)
    cell = np.where(empty, -0.0, rounded((b + a) * 1e8) / 1e8)
    assert cell.tolist() == [[math.nan if v is None else v for v in row] for row in text["intensity"]]
    assert np.array_equal(np.signbit(cell), np.signbit(sides.intensity)) and (b > 0).any() and (a > 0).any()
    # The touch: a plain replay of the window's events.
    start = sides.from_ts if sides.from_ts is not None else -(2**63)
    inside = [e for e in book if start <= e["ts"] <= sides.cursor_ts]
    held = {"bids": {}, "asks": {}}
    for k, t0 in enumerate(sides.time.tolist()):
        while inside and inside[0]["ts"] < t0 + 500:
            e = inside.pop(0)
            for name, kept in held.items():
                kept = {} if e["kind"] == "snapshot" else kept
                held[name] = {p: q for p, q in {**kept, **dict(e[name])}.items() if q != 0}
        touch = [max(held["bids"], default=math.nan), min(held["asks"], default=math.nan)]
        assert np.array_equal([sides.best_bid[k], sides.best_ask[k]], touch, equal_nan=True), k


@pytest.mark.filterwarnings("ignore:cursor -5 ms")  # the empty window is the point
@pytest.mark.parametrize("at, buys_only, heatmap", [(-5, False, True), (None, True, True), (None, False, False)])
def test_pictures_of_empty_and_one_sided_windows(at, buys_only, heatmap, tmp_path):
    pytest.importorskip("matplotlib")
    from tarnix_xray.plot import dashboard, order_flow_picture

    t = trades(seed=9, n=60, price0=10.0, tick=0.5, spread=3, bar_ms=1000)
    panels = [{"kind": "book_heatmap", "price_bin": 1.5, "bucket_ms": 500, "depth_levels": 12} if heatmap
              else {"kind": "footprint"}]
    session = Session({"dataset_ref": "d", "symbol": "S", "panels": panels})
    session.load(trades=t.assign(side="buy") if buys_only else t, book=random_book(9))
    fig = order_flow_picture(session, tmp_path / "f.png", bar=1000, at=at)
    assert len(fig.axes) >= (2 if heatmap else 1) and (tmp_path / "f.png").read_bytes()[:4] == b"\x89PNG"
    board = dashboard(session.frame(at=at), bars=session.footprint_bars(1000, at=at))
    assert any(ax.get_title(loc="left").startswith("Footprint bars") for ax in board.axes)


def test_the_documented_example_runs_as_written(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    doc = (Path(__file__).resolve().parents[2] / "docs" / "order-flow.md").read_text()
    monkeypatch.chdir(tmp_path)
    exec(doc.split("```python\n")[1].split("```")[0], {})
    assert (tmp_path / "order_flow.png").read_bytes()[:4] == b"\x89PNG"
