"""Frame: arrays equal to the engine's text (json.loads as the oracle), footprint figures."""

import json
import math

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from tarnix_xray import Frame, Xray, XrayError  # noqa: E402
from tarnix_xray.frame import FootprintPanel  # noqa: E402

SPEC = {"dataset_ref": "d", "symbol": "S\t\u00e9", "panels": [
    {"kind": "liquidation_map", "price_bin": 0.5}, {"kind": "footprint", "price_bin": 0.25},
    {"kind": "funding_oi_divergence", "bucket_ms": 700},
    {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": 300, "depth_levels": 5}, {"kind": "footprint", "price_bin": 2.0}]}
price = st.integers(1, 400).map(lambda k: k / 4 + 90)
qty = st.integers(0, 1000).map(lambda k: k / 8)
ts = st.integers(0, 3000)
levels = st.lists(st.tuples(price, qty), max_size=4)
dataset = st.fixed_dictionaries({
    "trades": st.lists(st.tuples(ts, price, qty, st.sampled_from(["buy", "sell"])), max_size=20),
    "book": st.lists(st.tuples(ts, st.sampled_from(["snapshot", "diff"]), levels, levels), max_size=8),
    "liquidations": st.lists(st.tuples(ts, price, qty, st.sampled_from(["long", "short"])), max_size=8),
    "funding": st.lists(st.tuples(ts, st.integers(-50, 50).map(lambda k: k / 1e5)), max_size=5),
    "oi": st.lists(st.tuples(ts, qty), max_size=5),
    "candles": st.lists(st.tuples(ts, price, price, price, price, qty), max_size=5),
})  # fmt: skip


@settings(max_examples=80, deadline=None)
@given(data=dataset, cursor=st.integers(-1, 3500))
def test_arrays_equal_the_response_text(data, cursor):
    x = Xray(json.dumps(SPEC))
    x.command(json.dumps({"cmd": "load", "dataset": data}))
    text = x.command(f'{{"cmd":"frame_at","ts":{cursor}}}')
    if text.startswith('{"ok":false'):
        return  # nothing loaded
    frame, oracle = Frame.from_json(text), json.loads(text)
    assert (frame.text, frame.symbol, frame.cursor_ts) == (text, oracle["symbol"], oracle["cursor_ts"])
    assert frame.cursor_time == np.datetime64(cursor, "ms")
    assert [p.kind for p in frame.panels] == [p["kind"] for p in oracle["panels"]]
    for panel, want in zip(frame.panels, oracle["panels"]):
        for name, values in want.items():
            if name == "kind":
                continue
            if name == "events":
                got = [dict(zip(("ts", "price_bin", "qty", "side"), e.tolist())) for e in panel.events]
                assert got == values
                continue
            array = getattr(panel, name)
            assert array.tolist() == values and array.dtype == (np.int64 if name == "time" else np.float64)
            if name == "intensity":
                assert array.shape == (len(want["time"]), len(want["price"]))
    assert frame.footprint is frame.panels[1] and frame.panel("footprint") is frame.panels[1]
    assert frame.book_heatmap is frame.panels[3] and frame.funding_oi is frame.panels[2]
    assert frame.liquidation_map is frame.panels[0]


NULLS = (
    '{"symbol":"S","cursor_ts":-5,"panels":['
    '{"kind":"footprint","price_bins":[null,1.0],"buy_vol":[1.0,null],"sell_vol":[0.0,-0.0]},'
    '{"kind":"book_heatmap","time":[0,60000],"price":[1.0,2.0],"intensity":[[null,-0.0],[1.5,null]]},'
    '{"kind":"liquidation_map","events":[{"ts":3,"price_bin":null,"qty":2.0,"side":"short"}]},'
    '{"kind":"funding_oi_divergence","time":[],"funding":[],"oi":[],"price":[]}]}'
)


def test_null_is_nan_and_time_indexes_are_datetimes():
    frame = Frame.from_json(NULLS)
    fp, hm, lm, fo = frame.panels
    assert math.isnan(fp.price_bins[0]) and math.isnan(fp.buy_vol[1])
    assert np.isnan(hm.intensity).tolist() == [[True, False], [False, True]]
    assert math.copysign(1, hm.intensity[0, 1]) == -1  # an empty cell keeps its -0.0
    assert math.isnan(lm.price_bin[0]) and lm.side.tolist() == ["short"]
    assert frame.cursor_time == np.datetime64(-5, "ms")
    tables = frame.to_pandas()
    assert tables[0].index.name == "price_bin" and list(tables[0].columns) == ["buy_vol", "sell_vol", "volume", "delta"]
    assert list(tables[1].index) == [pd.Timestamp(0), pd.Timestamp(60000, unit="ms")]
    assert list(tables[1].columns) == [1.0, 2.0]
    assert tables[2].index[0] == pd.Timestamp(3, unit="ms") and tables[2]["side"].tolist() == ["short"]
    assert isinstance(tables[3].index, pd.DatetimeIndex) and tables[3].empty


@pytest.mark.parametrize("text, error, message", [
    ('{"ok":false,"error":"data: no dataset"}', XrayError, "^data: no dataset$"),
    ('{"ok":true}', ValueError, "not a frame text"),
    ('{"symbol":"S","cursor_ts":1,"panels":[{"kind":"footprnt"}]}', ValueError, "did you mean 'footprint'"),
])  # fmt: skip
def test_from_json_refuses_what_is_no_frame(text, error, message):
    with pytest.raises(error, match=message):
        Frame.from_json(text)


def test_a_missing_panel_is_none_or_a_key_error_naming_what_there_is():
    frame = Frame.from_json('{"symbol":"S","cursor_ts":1,"panels":[{"kind":"footprint","price_bins":[],"buy_vol":[],"sell_vol":[]}]}')
    assert frame.book_heatmap is None
    with pytest.raises(KeyError) as caught:
        frame.panel("book_heatmap")
    assert caught.value.args[0] == "frame has no 'book_heatmap' panel (it has: footprint)"
    with pytest.raises(KeyError, match="did you mean 'book_heatmap'"):
        frame.panel("book_heatmp")


def footprint(bins, buy, sell):
    return FootprintPanel(np.array(bins, float), np.array(buy, float), np.array(sell, float))


FIGURES = [
    # bins, buy, sell -> poc, value area (70%), total delta
    ([], [], [], math.nan, (math.nan, math.nan), 0.0),
    ([10.0], [0.0], [0.0], 10.0, (10.0, 10.0), 0.0),
    ([1.0, 2.0, 3.0], [1, 5, 1], [0, 0, 3], 2.0, (2.0, 3.0), 4.0),
    ([1.0, 2.0, 3.0, 4.0], [3, 1, 3, 3], [0, 0, 0, 0], 1.0, (1.0, 3.0), 10.0),  # poc ties: lowest bin
    ([1.0, 2.0, 3.0], [2, 4, 2], [0, 0, 0], 2.0, (2.0, 3.0), 8.0),  # neighbours tie: grows upward
    ([1.0, 2.0, 3.0, 4.0, 5.0], [1, 6, 10, 1, 2], [0, 0, 0, 0, 0], 3.0, (2.0, 3.0), 20.0),
]


@pytest.mark.parametrize("bins, buy, sell, poc, area, delta", FIGURES)
def test_footprint_figures(bins, buy, sell, poc, area, delta):
    fp = footprint(bins, buy, sell)
    same = lambda a, b: (math.isnan(a) and math.isnan(b)) or a == pytest.approx(b)  # noqa: E731
    assert same(fp.poc, poc) and math.isnan(fp.vwap) and fp.total_delta == delta  # no trades: no vwap
    assert all(same(a, b) for a, b in zip(fp.value_area(), area))
    assert fp.delta.tolist() == [b - s for b, s in zip(buy, sell)]


@settings(max_examples=200, deadline=None)
@given(volumes=st.lists(st.integers(0, 50), min_size=1, max_size=12), fraction=st.sampled_from([0.3, 0.7, 1.0]))
def test_value_area_holds_the_fraction_and_the_poc(volumes, fraction):
    fp = footprint([float(i) for i in range(len(volumes))], volumes, [0] * len(volumes))
    low, high = fp.value_area(fraction)
    inside = sum(volumes[int(low) : int(high) + 1])
    assert low <= fp.poc <= high
    assert inside >= fraction * sum(volumes)
    if fraction == 1.0 and any(volumes):
        nonzero = [i for i, v in enumerate(volumes) if v]
        assert low <= nonzero[0] and nonzero[-1] <= high
    with pytest.raises(ValueError, match=r"fraction must be in \(0, 1\]"):
        fp.value_area(0)
