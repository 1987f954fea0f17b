"""Session: strict keys with did-you-mean, engine refusals, times, threads, warnings."""

import json
import math
import struct
import threading
import warnings

import pytest
from hypothesis import assume, given, settings
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
    assert str(caught.value) == message
    session = Session(FOOTPRINT)
    with pytest.raises(SpecError, match="^" + message.replace("?", r"\?") + "$"):
        session.set_spec(bad)
    if "unknown kind" not in message:
        Session(bad, strict=False)  # the engine skips such keys: accepted when not strict


def test_engine_refusals_become_xray_errors():
    with pytest.raises(XrayError) as caught:
        Session({**FOOTPRINT, "symbol": ""})
    assert (caught.value.kind, caught.value.message) == ("bad_spec", "symbol must not be empty")
    session = Session(FOOTPRINT)
    with pytest.raises(XrayError) as caught:
        session.frame()
    assert (caught.value.kind, caught.value.message, str(caught.value)) == ("data", "no dataset", "data: no dataset")
    with pytest.raises(XrayError, match="^parse: missing field `symbol`$"):
        session.set_spec({"dataset_ref": "d", "panels": []})
    with pytest.raises(XrayError, match="^bad spec: footprint price_bin must be a positive number$"):
        session.set_spec(spec(kind="footprint", price_bin=0))


def test_load_bounds_frame_reset():
    session = Session(spec(kind="footprint", price_bin=0.5))
    assert session.load(TRADES) == 2
    assert session.bounds() == Bounds(1000, 3000, 2) and session.bounds().count == 2
    frame = session.frame()
    assert frame.cursor_ts == 3000 and frame.footprint.price_bins.tolist() == [100.0, 101.5]
    assert session.frame(2000).footprint.buy_vol.tolist() == [1.0]
    session.reset()
    with pytest.raises(XrayError, match="no dataset"):
        session.bounds()
    assert session.load(trades=pd.DataFrame(TRADES["trades"][:1])) == 1


def test_load_replaces_and_a_refused_load_keeps_the_old_dataset():
    session = Session(FOOTPRINT)
    session.load(TRADES)
    with pytest.raises(DatasetError):
        session.load({"trades": [{"ts": 1, "price": 1.0, "qty": 1.0, "side": "BUY"}]})
    assert session.bounds() == (1000, 3000, 2)


FAILED_LOADS = [
    ({"trades": [TRADES["trades"][0]] * 537 + [{"ts": 1, "qty": 1.0, "side": "buy", "prise": 3.0}]},
     "trades[537] has no field 'price'; did you mean 'prise'?"),
    ({"oi": [[1, 2.0], [2, 3.0], [3.5, 1.0]]}, "oi[2] ts is not an integer: 3.5"),
    ({"oi": [[1, 2.0], [2**63, 3.0]]}, "oi[1] ts is outside the signed 64-bit range: 9223372036854775808"),
    ({"funding": [[1, 0.1], [2, "0.2"]]}, "funding[1] rate is not a number: '0.2'"),
    ({"candles": [[1, 1, 1, 1, 1]]}, "candles[0] has 5 values, not 6 (ts, open, high, low, close, volume)"),
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


@pytest.mark.parametrize("at, ms", [
    ("1987-05-07T12:39:37.938Z", 547389577938),  # float seconds x 1000 gave ...937
    (np.datetime64(-1_500, "us"), -2),  # sub-ms rounds toward the past
])
def test_frame_times_go_through_the_clock(at, ms):
    session = Session(FOOTPRINT)
    session.load(TRADES)
    assert session.frame(at).cursor_ts == ms


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
    session = Session(FOOTPRINT)
    caught = []
    worker = threading.Thread(target=lambda: caught.append(_raises(session.bounds)))
    worker.start()
    worker.join()
    assert caught == ["a Session belongs to the thread that created it; create one per thread"]


def _raises(call):
    try:
        call()
    except RuntimeError as e:
        return str(e)
    return None


def test_funding_panel_without_candles_warns_once():
    session = Session(spec(kind="funding_oi_divergence", bucket_ms=1000))
    session.load({"funding": [[1000, 0.1]]})
    with pytest.warns(XrayWarning, match="^the funding_oi_divergence panel has no candles"):
        session.frame()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        session.frame()
        with_candles = Session(spec(kind="funding_oi_divergence"))
        with_candles.load({"funding": [[1000, 0.1]], "candles": [[1000, 1, 1, 1, 1, 1]]})
        with_candles.frame()


@pytest.mark.parametrize("price_bin, depth, warns", [(0.05, 40, True), (0.5, 40, False), (1.0, 2, True), (1.0, 5, False)])
def test_heatmap_grid_narrower_than_a_tenth_of_the_traded_range(price_bin, depth, warns):
    session = Session(spec(kind="book_heatmap", price_bin=price_bin, depth_levels=depth))
    trades = [[1000 + i, 100.0 + i, 1.0, "buy"] for i in range(41)]  # traded range 40
    late = [[9000, 500.0, 1.0, "sell"]]  # after the cursor: not in the window
    book = [[1000, "snapshot", [[119.5, 1.0]], [[120.5, 1.0]]]]
    session.load({"trades": trades + late, "book": book})
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        session.frame(2000)
    assert [str(w.message)[:24] for w in seen] == (["the book_heatmap grid (d"] if warns else [])


def test_seconds_in_the_load_form_warn():
    session = Session(FOOTPRINT)
    with pytest.warns(XrayWarning, match=r"^trades ts look like seconds \(e.g. 1700000001\)"):
        session.load({"trades": [[1_700_000_001, 1.0, 1.0, "buy"]]})


def round8(x):
    y = x * 1e8
    r = math.trunc(y)
    if abs(y - r) >= 0.5:
        r += math.copysign(1.0, y)
    return r / 1e8


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
