"""The synthetic market: layouts, determinism, and the structure each panel relies on."""

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
from hypothesis import given, settings, strategies as st

from tarnix_xray import Session
from tarnix_xray.data import dataset
from tarnix_xray.synthetic import DEFAULT_START, demo_spec, generate_market


@pytest.fixture(scope="module")
def hour():
    return generate_market(1.0, seed=0)


def replay(book: pd.DataFrame):
    """Best bid and ask after each book ts, checking every state on the way."""
    levels = {"bid": {}, "ask": {}}
    ts, best_bid, best_ask = [], [], []
    rows = zip(*(book[c].tolist() for c in ("ts", "side", "price", "qty")))
    for i, (t, side, price, qty) in enumerate(rows):
        if qty == 0.0:
            del levels[side][price]  # a removal names a level the book holds
        else:
            levels[side][price] = qty
        if i + 1 == len(book) or book["ts"].iat[i + 1] != t:
            assert 0 < len(levels["bid"]) <= 50 and 0 < len(levels["ask"]) <= 50
            assert max(levels["bid"]) < min(levels["ask"])
            ts.append(t), best_bid.append(max(levels["bid"])), best_ask.append(min(levels["ask"]))
    return np.array(ts), np.array(best_bid), np.array(best_ask)


@settings(max_examples=6, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), hours=st.sampled_from([0.02, 0.1]))
def test_layouts_order_and_grids(seed, hours):
    market = generate_market(hours, seed=seed)
    assert dataset(**market).counts == {name: len(df) for name, df in market.items() if name != "book"} | {
        "book": len(market["book"].groupby(["ts", "is_snapshot"]))}  # the data layer's own columns and words
    end = DEFAULT_START + int(hours * 3_600_000)
    for df in market.values():
        assert df["ts"].dtype == np.int64 and df["ts"].is_monotonic_increasing
        assert df.empty or (df["ts"].iloc[0] >= DEFAULT_START and df["ts"].iloc[-1] < end + 60_000)
        for column in ("price", "open", "high", "low", "close"):
            if column in df:  # prices on the 0.1 tick, printed short
                assert np.array_equal(df[column], np.round(df[column], 1))
    assert len(market["trades"]) > 0 and (market["trades"]["qty"] > 0).all()
    snapshot = market["book"]["is_snapshot"]
    assert snapshot.iloc[0] and (market["book"]["ts"][snapshot] == DEFAULT_START).all()


def test_seeded_determinism():
    a, b, c = (generate_market(0.05, seed=s) for s in (7, 7, 8))
    for name in a:
        pd.testing.assert_frame_equal(a[name], b[name])
    assert not a["trades"].equals(c["trades"])


def test_book_stays_fifty_levels_and_trades_meet_the_touch(hour):
    ts, best_bid, best_ask = replay(hour["book"])
    trades = hour["trades"]
    at = np.searchsorted(ts, trades["ts"], side="right") - 1
    # The book is grouped to 0.5; a sweep reaches two ticks past the touch.
    assert (trades["price"] >= best_bid[at] - 0.2 - 1e-9).all()
    assert (trades["price"] <= best_ask[at] + 0.5 + 0.2 + 1e-9).all()


def test_candles_agree_with_trades(hour):
    candles, trades = hour["candles"], hour["trades"]
    minute = trades["ts"] // 60_000 * 60_000
    by_minute = trades.groupby(minute)
    assert np.allclose(candles["volume"], by_minute["qty"].sum().reindex(candles["ts"], fill_value=0))
    assert np.array_equal(candles["high"], by_minute["price"].max().reindex(candles["ts"]))
    assert np.array_equal(candles["close"], by_minute["price"].last().reindex(candles["ts"]))


def test_demo_spec_grid_reaches_every_quoted_price(hour):
    session = Session(demo_spec(hour))
    session.load(**hour)
    grid = session.frame().book_heatmap.price
    assert grid[0] <= hour["book"]["price"].min() and hour["book"]["price"].max() < grid[-1] + 0.5


@pytest.mark.parametrize("hours", [0, -1, float("nan")])
def test_hours_must_be_positive(hours):
    with pytest.raises(ValueError, match="hours must be positive"):
        generate_market(hours)
