"""Session: strict keys with did-you-mean, engine refusals, times, threads, warnings."""

import json
import math
import re
import struct
from concurrent.futures import ThreadPoolExecutor
import warnings

import pytest
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

from tarnix_xray import Bounds, DatasetError, Session, SpecError, Xray, XrayError, XrayWarning  # noqa: E402
from tarnix_xray.session import read_spec  # noqa: E402

FOOTPRINT = {"dataset_ref": "d", "symbol": "S", "panels": [{"kind": "footprint"}]}
TRADES = {"trades": [{"ts": 1000, "price": 100.0, "qty": 1.0, "side": "buy"}, [3000, 101.5, 2.0, "sell"]]}


def spec(**panel):
    return {**FOOTPRINT, "panels": [panel]}


STRICT = [
    ({**FOOTPRINT, "panel": []}, "spec has no key 'panel'; did you mean 'panels'?"),
    ({**FOOTPRINT, "to": 5}, "spec has no key 'to'; did you mean 'to_ts'?"),
    (spec(kind="footprint", bin=0.5), "footprint has no parameter 'bin'; did you mean 'price_bin'?"),
    (spec(kind="book_heatmap", depth=5), "book_heatmap has no parameter 'depth'; did you mean 'depth_levels'?"),
    (spec(kind="footprint", depth_levels=5), "footprint has no parameter 'depth_levels'"),
    (spec(kind="funding_oi_divergence", bucket=5), "funding_oi_divergence has no parameter 'bucket'; did you mean 'bucket_ms'?"),
    (spec(kind="footprnt"), "panel 0 has unknown kind 'footprnt'; did you mean 'footprint'?"),
    ('{"dataset_ref":"d","symbol":"S","panels":[{"kind":"liquidation_map","bins":1}]}',
     "liquidation_map has no parameter 'bins'; did you mean 'price_bin'?"),
]  # fmt: skip


@pytest.mark.parametrize("bad, message", STRICT)
def test_strict_spec_keys(bad, message):
    with pytest.raises(SpecError) as caught:
        Session(bad)
    assert str(caught.value) == message  # set_spec checks alike: the viewer's refusals test it
    if "unknown kind" not in message:
        Session(bad, strict=False)  # the engine skips such keys: accepted when not strict


@pytest.mark.parametrize("call, kind, text", [
    (lambda: Session({**FOOTPRINT, "symbol": ""}), "bad_spec", "bad spec: symbol must not be empty"),
    (lambda: Session(FOOTPRINT).frame(), "data", "data: no dataset"),
    (lambda: Session(FOOTPRINT).set_spec({"dataset_ref": "d", "panels": []}), "parse", "parse: missing field `symbol`"),
    (lambda: Session(FOOTPRINT).set_spec(spec(kind="footprint", price_bin=0)), "bad_spec",
     "bad spec: footprint price_bin must be a positive number"),
])  # fmt: skip
def test_engine_refusals_become_xray_errors(call, kind, text):
    with pytest.raises(XrayError) as caught:
        call()
    assert (caught.value.kind, str(caught.value)) == (kind, text) and text.endswith(": " + caught.value.message)


def test_load_bounds_frame_reset():
    session = Session(spec(kind="footprint", price_bin=0.5))
    assert session.load(TRADES) == 2
    with pytest.raises(DatasetError):  # a refused load keeps the dataset
        session.load({"trades": [{"ts": 1, "price": 1.0, "qty": 1.0, "side": "BUY"}]})
    assert session.bounds() == Bounds(1000, 3000, 2) and session.bounds().count == 2
    frame = session.frame()
    assert frame.cursor_ts == 3000 and frame.footprint.price_bins.tolist() == [100.0, 101.5]
    assert session.frame(np.datetime64(2_999_999, "us")).cursor_ts == 2999  # sub-ms floors: the clock's rule
    assert session.frame("1970-01-01T00:00:02Z").footprint.buy_vol.tolist() == [1.0]
    session.reset()
    with pytest.raises(XrayError, match="no dataset"):
        session.bounds()
    assert session.load(trades=pd.DataFrame(TRADES["trades"][:1])) == 1
    with pytest.warns(XrayWarning, match=r"^no records loaded: trades held no rows \(a header only\?\)"):
        session.load(trades=pd.DataFrame(columns=["ts", "price", "qty", "side"]))
    with pytest.raises(XrayError, match="no dataset"):
        session.frame(1000)
    with pytest.warns(XrayWarning, match=r"^trades ts look like seconds \(e.g. 1700000001\)"):
        session.load({"trades": [[1_700_000_001, 1.0, 1.0, "buy"]]})


FAILED_LOADS = [
    ({"trades": [TRADES["trades"][0]] * 537 + [{"ts": 1, "qty": 1.0, "side": "buy", "prise": 3.0}]},
     "trades[537] has no field 'price'; did you mean 'prise'?"),
    ({"oi": [[1, 2.0], [2, 3.0], [3.5, 1.0]]}, "oi[2] ts is not an integer: 3.5"),
    ({"oi": [[1, 2.0], [2**63, 3.0]]}, "oi[1] ts is outside the signed 64-bit range: 9223372036854775808"),
    ({"funding": [[1, 0.1], [2, "0.2"]]}, "funding[1] rate is not a number: '0.2'"),
    ({"liquidations": [[1, 1.0, 1.0, "long"], [1, 1.0, 1.0, "buy"]]}, "liquidations[1] side 'buy' is not 'long' or 'short'"),
    ({"trades": [[1, 1.0, 1.0, "buy"], [1, 1.0, float("nan"), "buy"]]}, "trades[1] qty: nan is not a finite number"),
    ({"book": [{"ts": 1, "kind": "snapshot", "bids": [[1.0, 2.0]], "asks": [[2.0]]}]}, "book[0] asks[0] is not a [price, qty] pair: [2.0]"),
    ({"book": [[1, "full", [], []]]}, "book[0] kind 'full' is not 'snapshot' or 'diff'"),
]  # fmt: skip


@pytest.mark.parametrize("data, message", FAILED_LOADS)
def test_failed_load_names_list_and_index(data, message):
    with pytest.raises(DatasetError) as caught:
        Session(FOOTPRINT).load(data)
    assert str(caught.value) == message


def test_a_spec_text_reaches_the_engine_as_written():
    # Python's float reading gives another double for this text than the engine's.
    text = json.dumps(spec(kind="footprint")).replace("}]}", ', "price_bin": 9.366242679970327}]}')
    load = '{"cmd":"load","dataset":{"trades":[[1,271.6210377191395,1.0,"buy"]]}}'
    xray = Xray(text)
    xray.command(load)
    for given in (text, read_spec(text)):
        session = Session(given)
        session.load_json(load, command=True)
        assert session.frame_text() == xray.command('{"cmd":"frame"}')


def test_bound_to_its_thread():
    with ThreadPoolExecutor(1) as other:
        refused = other.submit(Session(FOOTPRINT).bounds).exception()
    assert str(refused) == "a Session belongs to the thread that created it; create one per thread"


T0 = 1_793_874_600_000  # 2026-11-05T10:30Z
TICKS = [[T0 + 1000 * i, p, 1.0, "buy"] for i, p in enumerate([100.3, 100.3, 100.4, 100.5, 2450.7])]
WIDE_BOOK = [[T0, "snapshot", [[float(p), 1.0] for p in range(90, 100)], [[float(p), 1.0] for p in range(101, 112)]]]
FP = {"kind": "footprint", "price_bin": 0.5}
DOCS = "(see docs/main-job.md#footprint-bins-and-the-tick)"
WARNINGS = [
    ([{"kind": "footprint", "price_bin": 0.1}], {"trades": TICKS}, {},
     "footprint price_bin 0.1: 2 of 4 distinct traded prices fall in the bin below their own (e.g. 100.3 is "
     "shown at 100.2): the engine bins by floor(price / price_bin) in binary floating point; price_bin "
     f"0.099999999999999 puts each in its own bin {DOCS}"),
    ([FP], {"trades": TICKS}, {"at": 1_793_874_600},
     "cursor 1793874600 ms is 1970-01-21T18:17:54.600Z, before the loaded data (2026-11-05T10:30:00.000Z .. "
     "2026-11-05T10:30:04.000Z), so the frame is empty; 1793874600 looks like epoch seconds "
     "(2026-11-05T10:30:00.000Z): pass 1793874600000 ms, a datetime or ISO text"),
    ([FP], {"trades": TICKS}, {"at": T0 + 30 * 86_400_000, "window": "5m"},
     "cursor 2026-12-05T10:30:00.000Z lies 30.0 days after the last record of the loaded data "
     "(2026-11-05T10:30:00.000Z .. 2026-11-05T10:30:04.000Z); its window holds no records"),
    ([FP], {"book": WIDE_BOOK}, {}, "the footprint panel reads trades, and none is loaded (loaded: book 1), so it is empty"),
    ([{"kind": "book_heatmap", "price_bin": 1.0, "depth_levels": 4}], {"book": WIDE_BOOK}, {},
     "the book_heatmap grid (98 .. 102, 4 levels of 1 around the final mid) leaves 86% of the window's book "
     "levels off the grid, drawn blank as if nothing rested there; widen depth_levels or price_bin "
     "(Session.suggest_spec() sizes one to the data)"),  # 18 of 21 levels
    ([{"kind": "funding_oi_divergence"}], {"funding": [[T0, 0.1]]}, {},
     "the funding_oi_divergence panel has no candles: the engine's text carries price 0.0, and the frame's price "
     "array takes the last trade's price instead (NaN before the first trade); load candles for closes"),
    ([FP], {"trades": TICKS}, {"at": T0 + 4000}, None),  # bins of 0.5 hold every tick; a cursor inside
    ([{"kind": "book_heatmap", "price_bin": 1.0, "depth_levels": 24}], {"book": WIDE_BOOK}, {}, None),
    ([{"kind": "funding_oi_divergence"}], {"funding": [[T0, 0.1]], "candles": [[T0, 1, 1, 1, 1, 1]]}, {}, None),
]  # fmt: skip


@pytest.mark.parametrize("panels, data, call, message", WARNINGS)
def test_frames_that_mislead_warn_once_with_their_numbers(panels, data, call, message):
    session = Session({**FOOTPRINT, "panels": panels})
    session.load(data)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        session.frame(**call)
        session.frame(**call)
    assert [str(w.message) for w in seen] == ([message] if message else [])
    assert all(w.category is XrayWarning and w.filename == __file__ for w in seen)


@settings(max_examples=40, deadline=None)
@given(prices=st.lists(st.integers(1, 10**6), min_size=1, max_size=40),
       tick=st.sampled_from(["0.1", "0.01", "0.05", "0.2", "0.25", "0.3", "1"]))
def test_tick_warning_counts_what_decimal_arithmetic_bins_otherwise(prices, tick):
    from decimal import Decimal

    bin_ = float(tick)
    texts = sorted({str(Decimal(k) * Decimal(tick)) for k in prices})
    # In decimal a price of k ticks is in bin k; the engine's binary floor may say k - 1.
    low = sum(math.floor(float(t) / bin_) < Decimal(t) // Decimal(tick) for t in texts)
    session = Session(spec(kind="footprint", price_bin=bin_))
    session.load({"trades": [[T0, float(t), 1.0, "buy"] for t in texts]})
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        session.frame()
    counts = re.findall(r": ([\d,]+) of ([\d,]+) distinct", " ".join(str(w.message) for w in seen))
    assert counts == ([(f"{low:,}", f"{len(texts):,}")] if low else [])


records = st.lists(st.tuples(st.integers(0, 5000), st.integers(1, 40).map(lambda k: k / 4)), max_size=12)


@settings(max_examples=120, deadline=None)
@example(trades=[(999, 1.0), (1000, 2.0)], funding=[(1000, 0.25)], oi=[(0, 3.0)], candles=[], cursor=6000,
         window=None, bucket=1000)  # a record at a bucket's end belongs to the next bucket
@given(trades=records, funding=records, oi=records, candles=records, cursor=st.integers(0, 6000),
       window=st.none() | st.integers(1, 4000), bucket=st.sampled_from([300, 1000, 2500]))
def test_series_are_missing_before_their_first_record_and_price_falls_back_to_trades(
        trades, funding, oi, candles, cursor, window, bucket):
    """The frame's arrays against the engine's text and the records of the window."""
    from tarnix_xray.session import frame_window

    data = {"trades": [[t, p, p / 2, "buy"] for t, p in trades], "funding": funding, "oi": oi,
            "candles": [[t, p, p, p, p, 1.0] for t, p in candles]}
    panels = [{"kind": "funding_oi_divergence", "bucket_ms": bucket}, {"kind": "footprint"}]
    session = Session({**FOOTPRINT, "panels": panels})
    assume(any(data.values()))
    session.load(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        frame = session.frame(cursor, window=window)
    text = json.loads(session.frame_text(cursor, window=window))["panels"][0]
    low = frame_window(cursor, window)[0]
    inside = lambda rows: sorted((r for r in rows if (low is None or r[0] >= low) and r[0] <= cursor),  # noqa: E731
                                 key=lambda r: r[0])
    want = {"funding": [], "oi": [], "price": []}
    for k, start in enumerate(text["time"]):
        before = lambda rows: [r for r in inside(rows) if r[0] < start + bucket]  # noqa: E731
        for name, rows in (("funding", funding), ("oi", oi)):
            want[name].append(text[name][k] if before(rows) else math.nan)
        last_trade = before(data["trades"])[-1][1] if before(data["trades"]) else math.nan
        want["price"].append(text["price"][k] if before(data["candles"]) else last_trade)
    for name, values in want.items():
        np.testing.assert_array_equal(getattr(frame.funding_oi, name), values)
    p, q = np.array([r[1:3] for r in inside(data["trades"])], dtype=float).reshape(-1, 2).T
    assert frame.footprint.vwap == pytest.approx((p * q).sum() / q.sum() if len(p) else math.nan, rel=1e-12, nan_ok=True)


def test_suggested_spec_sizes_every_panel_to_the_data():
    from tarnix_xray.synthetic import demo_spec, generate_market

    market = generate_market(0.25, seed=3)
    session = Session("")
    session.load(**market)
    suggested = session.suggest_spec(symbol="SYNUSD")
    assert [p | {"bucket_ms": 0} for p in suggested["panels"]] == [p | {"bucket_ms": 0} for p in demo_spec(market)["panels"]]
    session.set_spec(suggested)  # its grid reaches the book as demo_spec's does (test_synthetic)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no panel misleads
        session.frame()
    session.load(trades=market["trades"])
    assert [p["kind"] for p in session.suggest_spec()["panels"]] == ["footprint"]


def round8(x):
    y = x * 1e8
    r = math.trunc(y)
    if abs(y - r) >= 0.5:
        r += math.copysign(1.0, y)
    return r / 1e8


@pytest.mark.filterwarnings("ignore:footprint price_bin")  # k bins of an odd bin: the tick warning's case
@settings(max_examples=200, deadline=None)
@given(bits=st.integers(0x3F50000000000000, 0x4024000000000000), k=st.integers(1, 1000))
def test_spec_and_data_floats_reach_the_engine_bit_for_bit(bits, k):
    """A price of exactly k bins falls in bin k only if both doubles arrive unchanged."""
    from tarnix_xray._native import reachable

    price_bin = struct.unpack("<d", struct.pack("<Q", bits))[0]
    price = k * price_bin
    # The price goes in as a column, exactly; the bin goes in the spec's text,
    # which no text of a few doubles reaches under the engine's reading.
    assume(reachable(price_bin))
    session = Session(spec(kind="footprint", price_bin=price_bin))
    session.load({"trades": [[1, price, 1.0, "buy"]]})
    expected = round8(math.floor(price / price_bin) * price_bin)
    assert session.frame().footprint.price_bins.tolist() == [expected]
