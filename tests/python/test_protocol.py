"""The JSON command protocol end to end through the module: exact response texts.
Each fault text is tabled once in the core tests; here one of each kind crosses."""

import json

import pytest

from tarnix_xray import Xray

FOOTPRINT = {"kind": "footprint", "price_bin": 0.5}


def spec(panels=None, **fields):
    body = {"dataset_ref": "d", "symbol": "TEST", "panels": panels or [FOOTPRINT]}
    body.update(fields)
    return json.dumps(body)


def cmd(x, **members):
    return x.command(json.dumps(members))


def err(text):
    return json.dumps({"ok": False, "error": text}, separators=(",", ":"), ensure_ascii=False)


@pytest.mark.parametrize("text, error", [
    ('{"cmd":"version"} x', "parse: trailing characters at line 1 column 19"),
    ("42", "bad spec: missing 'cmd'"),
    ('{"cmd":"a\\"b"}', 'bad spec: unknown cmd: a"b'),
    ('{"cmd":"frame_at","ts":-0}', "bad spec: frame_at requires integer 'ts'"),
    ('{"cmd":"frame"}', "bad spec: no spec set"),
    ('{"cmd":"bounds"}', "data: no dataset"),
    ('{"cmd":"a\\u0001\\u007f/\\u00e9"}', "bad spec: unknown cmd: a\x01\x7f/\u00e9"),
])
def test_faults_of_a_fresh_instance(text, error):
    assert Xray("").command(text) == err(error)


def test_load_bounds_reset_cycle():
    x = Xray(spec())
    assert cmd(x, cmd="frame") == err("data: no dataset")
    candle = {"open": 1, "high": 1, "low": 1, "close": 1, "volume": 1}
    dataset = {"candles": [dict(candle, ts=5), dict(candle, ts=3)],
               "trades": [{"ts": 9, "price": 100, "qty": 1, "side": "buy"}]}
    assert cmd(x, cmd="load", dataset=dataset) == '{"ok":true,"loaded":3}'
    assert cmd(x, cmd="bounds") == '{"from_ts":3,"to_ts":9,"count":3}'
    bad = {"trades": [{"ts": 1, "price": 1, "qty": 1, "side": "BUY"}]}
    assert cmd(x, cmd="load", dataset=bad) == err(
        "parse: unknown variant `BUY`, expected `buy` or `sell`")
    assert cmd(x, cmd="bounds") == '{"from_ts":3,"to_ts":9,"count":3}'
    assert cmd(x, cmd="reset") == '{"ok":true}'
    assert cmd(x, cmd="bounds") == err("data: no dataset")
    assert cmd(x, cmd="load", dataset={"funding": [{"ts": 7, "rate": 0.1}]}) == (
        '{"ok":true,"loaded":1}')
    # reset kept the spec; the cursor is the latest ts of any list
    assert cmd(x, cmd="frame") == (
        '{"symbol":"TEST","cursor_ts":7,"panels":[{"kind":"footprint",'
        '"price_bins":[],"buy_vol":[],"sell_vol":[]}]}')


def test_set_spec_faults_keep_the_old_spec():
    x = Xray(spec())
    x.command('{"cmd":"load","dataset":{"trades":[[1000,100.2,1.0,"buy"]]}}')
    before = cmd(x, cmd="frame")
    bad = json.loads(spec(symbol=""))
    assert cmd(x, cmd="set_spec", spec=bad) == err("bad spec: symbol must not be empty")
    assert cmd(x, cmd="set_spec", spec="{}") == err(
        'parse: invalid type: string "{}", expected struct XraySpec')
    assert cmd(x, cmd="frame") == before


def test_frames_with_window_clamping():
    panels = [{"kind": "liquidation_map", "price_bin": 0.5}, FOOTPRINT]
    x = Xray(spec(panels, from_ts=2000, to_ts=5000))
    data = {"trades": [[1000, 1, 1, "buy"], [2000, 100.2, 1.0, "buy"], [3000, 100.7, 2.0, "sell"],
                       [6000, 1, 1, "buy"]],
            "liquidations": [[3000, 100.26, 0.123456789, "long"]]}
    assert cmd(x, cmd="load", dataset=data) == '{"ok":true,"loaded":5}'
    assert cmd(x, cmd="frame_at", ts=9000) == (
        '{"symbol":"TEST","cursor_ts":5000,"panels":[{"kind":"liquidation_map","events":'
        '[{"ts":3000,"price_bin":100.0,"qty":0.12345679,"side":"long"}]},{"kind":"footprint",'
        '"price_bins":[100.0,100.5],"buy_vol":[1.0,0.0],"sell_vol":[0.0,2.0]}]}')
    assert cmd(x, cmd="frame_at", ts=1000) == (
        '{"symbol":"TEST","cursor_ts":1000,"panels":[{"kind":"liquidation_map","events":[]},'
        '{"kind":"footprint","price_bins":[],"buy_vol":[],"sell_vol":[]}]}')


def test_symbol_is_escaped_in_frames():
    x = Xray(spec(symbol='q"b\\t\tu\x01\u00e9'))
    cmd(x, cmd="load", dataset={"trades": [[-5, 1e16, 0.000001, "sell"]]})
    assert cmd(x, cmd="frame") == (
        '{"symbol":"q\\"b\\\\t\\tu\\u0001\u00e9","cursor_ts":-5,"panels":[{"kind":"footprint",'
        '"price_bins":[1e+16],"buy_vol":[0.0],"sell_vol":[1e-6]}]}')
