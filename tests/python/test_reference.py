"""Random datasets and specs: the module's frames equal the plain model's, byte for byte."""

import json

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference_frames as ref
from tarnix_xray import Xray

# Short decimals convert exactly the same way in every correct reader.
prices = st.integers(-40, 40).map(lambda k: k / 4) | st.sampled_from([0.3, -0.05, 100.26, 0.0])
qtys = st.integers(-3, 12).map(lambda k: k / 8) | st.sampled_from([0.1, 0.2, 0.123456789, 0.0])
stamps = st.integers(-3000, 3000)


def records(make):
    return st.lists(make, max_size=12)


trade = st.builds(lambda ts, p, q, s: {"ts": ts, "price": p, "qty": q, "side": s},
                  stamps, prices, qtys, st.sampled_from(["buy", "sell"]))
liq = st.builds(lambda ts, p, q, s: {"ts": ts, "price": p, "qty": q, "side": s},
                stamps, prices, qtys, st.sampled_from(["long", "short"]))
level = st.tuples(prices, st.sampled_from([0.0, -0.0, 1.0, 2.5, 0.125]))
book_event = st.builds(lambda ts, k, b, a: {"ts": ts, "kind": k, "bids": b, "asks": a},
                       stamps, st.sampled_from(["snapshot", "diff"]),
                       st.lists(level, max_size=5), st.lists(level, max_size=5))
funding = st.builds(lambda ts, r: {"ts": ts, "rate": r}, stamps, qtys)
oi = st.builds(lambda ts, v: {"ts": ts, "oi": v}, stamps, prices)
candle = st.builds(lambda ts, c: {"ts": ts, "open": 1, "high": 2, "low": 0, "close": c,
                                  "volume": 3}, stamps, prices)

panel = st.one_of(
    st.builds(lambda b: {"kind": "footprint", "price_bin": b}, st.sampled_from([0.1, 0.25, 1, 3])),
    st.builds(lambda b: {"kind": "liquidation_map", "price_bin": b},
              st.sampled_from([0.1, 0.5, 2])),
    st.builds(lambda b, d, ms: {"kind": "book_heatmap", "price_bin": b, "depth_levels": d,
                                "bucket_ms": ms},
              st.sampled_from([0.25, 0.5, 1, 2.5]), st.integers(1, 6),
              st.sampled_from([1, 250, 1000, 7000])),
    st.builds(lambda ms: {"kind": "funding_oi_divergence", "bucket_ms": ms},
              st.sampled_from([1, 333, 1000, 60000])),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    panels=st.lists(panel, min_size=1, max_size=4),
    from_ts=st.none() | stamps,
    to_ts=st.none() | stamps,
    data=st.fixed_dictionaries({"trades": records(trade), "liquidations": records(liq),
                                "book": records(book_event), "funding": records(funding),
                                "oi": records(oi), "candles": records(candle)}),
    cursors=st.lists(st.integers(-3500, 3500), min_size=1, max_size=3),
)
def test_frames_match_the_plain_model(panels, from_ts, to_ts, data, cursors):
    if from_ts is not None and to_ts is not None and from_ts > to_ts:
        from_ts, to_ts = to_ts, from_ts
    spec = {"dataset_ref": "r", "symbol": "S\u00e9\"", "from_ts": from_ts, "to_ts": to_ts,
            "panels": panels}
    x = Xray(json.dumps(spec))
    total = sum(len(v) for v in data.values())
    assert x.command(json.dumps({"cmd": "load", "dataset": data})) == (
        '{"ok":true,"loaded":%d}' % total)
    if total == 0:
        return
    for cursor in cursors:
        got = x.command(json.dumps({"cmd": "frame_at", "ts": cursor}))
        assert got == ref.frame(spec, data, cursor)
