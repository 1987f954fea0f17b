"""The JSON command protocol end to end: exact response texts."""

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


@pytest.mark.parametrize(
    "text, error",
    [
        ("", "parse: EOF while parsing a value at line 1 column 0"),
        ("   ", "parse: EOF while parsing a value at line 1 column 3"),
        ("x", "parse: expected value at line 1 column 1"),
        ('{"cmd":"version"} x', "parse: trailing characters at line 1 column 19"),
        ('{"cmd":}', "parse: expected value at line 1 column 8"),
        ("[1,2]", "bad spec: missing 'cmd'"),
        ("42", "bad spec: missing 'cmd'"),
        ("{}", "bad spec: missing 'cmd'"),
        ('{"cmd":5}', "bad spec: missing 'cmd'"),
        ('{"cmd":null}', "bad spec: missing 'cmd'"),
        ('"version"', "bad spec: missing 'cmd'"),
        ('{"cmd":"Frame"}', "bad spec: unknown cmd: Frame"),
        ('{"cmd":"a\\"b"}', 'bad spec: unknown cmd: a"b'),
        ('{"cmd":"a\\tb"}', "bad spec: unknown cmd: a\tb"),
        ('{"cmd":"load"}', "bad spec: load requires 'dataset'"),
        ('{"cmd":"set_spec"}', "bad spec: set_spec requires 'spec'"),
        ('{"cmd":"frame_at"}', "bad spec: frame_at requires integer 'ts'"),
        ('{"cmd":"frame_at","ts":1.0}', "bad spec: frame_at requires integer 'ts'"),
        ('{"cmd":"frame_at","ts":-0}', "bad spec: frame_at requires integer 'ts'"),
        ('{"cmd":"frame_at","ts":"5"}', "bad spec: frame_at requires integer 'ts'"),
        ('{"cmd":"frame_at","ts":9223372036854775808}', "bad spec: frame_at requires integer 'ts'"),
        ('{"cmd":"frame_at","ts":-5}', "bad spec: no spec set"),
        ('{"cmd":"frame"}', "bad spec: no spec set"),
        ('{"cmd":"bounds"}', "data: no dataset"),
    ],
)
def test_faults_of_a_fresh_instance_without_spec(text, error):
    assert Xray("").command(text) == err(error)


def test_error_text_escapes_control_characters_once():
    assert Xray("").command('{"cmd":"a\\u0001\\u007f/\\u00e9"}') == (
        '{"ok":false,"error":"bad spec: unknown cmd: a\\u0001\x7f/\u00e9"}'
    )


def test_simple_commands():
    x = Xray("")
    assert x.command('{"cmd":"frame","cmd":"version"}') == '{"version":"0.2.0"}'
    assert x.command('\t{"cmd":"reset","extra":[1]}\r\n') == '{"ok":true}'
    assert x.command('{"cmd":"version"}') == json.dumps({"version": Xray.version()}).replace(" ", "")


def test_load_bounds_reset_cycle():
    x = Xray(spec())
    assert cmd(x, cmd="frame") == err("data: no dataset")
    dataset = {"candles": [{"ts": 5, "open": 1, "high": 1, "low": 1, "close": 1, "volume": 1},
                           {"ts": 3, "open": 1, "high": 1, "low": 1, "close": 1, "volume": 1}],
               "trades": [{"ts": 9, "price": 100, "qty": 1, "side": "buy"}]}
    assert cmd(x, cmd="load", dataset=dataset) == '{"ok":true,"loaded":3}'
    assert cmd(x, cmd="bounds") == '{"from_ts":3,"to_ts":9,"count":3}'
    bad = {"trades": [{"ts": 1, "price": 1, "qty": 1, "side": "BUY"}]}
    assert cmd(x, cmd="load", dataset=bad) == err(
        "parse: unknown variant `BUY`, expected `buy` or `sell`")
    assert cmd(x, cmd="bounds") == '{"from_ts":3,"to_ts":9,"count":3}'
    assert cmd(x, cmd="reset") == '{"ok":true}'
    assert cmd(x, cmd="bounds") == err("data: no dataset")
    assert cmd(x, cmd="load", dataset={}) == '{"ok":true,"loaded":0}'
    assert cmd(x, cmd="bounds") == err("data: no dataset")
    assert cmd(x, cmd="load", dataset={"funding": [{"ts": 7, "rate": 0.1}]}) == (
        '{"ok":true,"loaded":1}')
    # reset kept the spec; the cursor is the latest ts of any list
    assert cmd(x, cmd="frame") == (
        '{"symbol":"TEST","cursor_ts":7,"panels":[{"kind":"footprint",'
        '"price_bins":[],"buy_vol":[],"sell_vol":[]}]}')


def test_set_spec_validation_keeps_the_old_spec():
    x = Xray(spec())
    x.command('{"cmd":"load","dataset":{"trades":[[1000,100.2,1.0,"buy"]]}}')
    before = cmd(x, cmd="frame")
    bad = json.loads(spec(symbol=""))
    assert cmd(x, cmd="set_spec", spec=bad) == err("bad spec: symbol must not be empty")
    assert cmd(x, cmd="set_spec", spec="{}") == err(
        'parse: invalid type: string "{}", expected struct XraySpec')
    assert cmd(x, cmd="frame") == before
    with pytest.raises(ValueError, match="^bad spec: symbol must not be empty$"):
        Xray(spec(symbol=""))


def test_footprint_frame():
    x = Xray(spec())
    trades = [[1000, 100.2, 1.0, "buy"], [2000, 100.7, 2.0, "sell"], [3000, 100.5, 0.25, "buy"],
              [3001, 50.0, 9.0, "buy"]]
    assert cmd(x, cmd="load", dataset={"trades": trades}) == '{"ok":true,"loaded":4}'
    assert cmd(x, cmd="frame_at", ts=3000) == (
        '{"symbol":"TEST","cursor_ts":3000,"panels":[{"kind":"footprint",'
        '"price_bins":[100.0,100.5],"buy_vol":[1.0,0.25],"sell_vol":[0.0,2.0]}]}')


def test_window_clamping_and_empty_forms():
    panels = [{"kind": "liquidation_map", "price_bin": 0.5}, FOOTPRINT,
              {"kind": "book_heatmap"}, {"kind": "funding_oi_divergence"}]
    x = Xray(spec(panels, from_ts=2000, to_ts=5000))
    data = {"trades": [[1000, 1, 1, "buy"], [6000, 1, 1, "buy"]],
            "liquidations": [[3000, 100.26, 0.123456789, "long"]]}
    cmd(x, cmd="load", dataset=data)
    empty = ('{"kind":"footprint","price_bins":[],"buy_vol":[],"sell_vol":[]},'
             '{"kind":"book_heatmap","time":[],"price":[],"intensity":[]},'
             '{"kind":"funding_oi_divergence","time":[],"funding":[],"oi":[],"price":[]}')
    assert cmd(x, cmd="frame_at", ts=9000) == (
        '{"symbol":"TEST","cursor_ts":5000,"panels":[{"kind":"liquidation_map","events":'
        '[{"ts":3000,"price_bin":100.0,"qty":0.12345679,"side":"long"}]},' + empty + ']}')
    assert cmd(x, cmd="frame_at", ts=1000) == (
        '{"symbol":"TEST","cursor_ts":1000,"panels":[{"kind":"liquidation_map","events":[]},'
        + empty + ']}')


def test_book_heatmap_worked_example():
    x = Xray(spec([{"kind": "book_heatmap", "price_bin": 1, "depth_levels": 3,
                    "bucket_ms": 1000}]))
    book = [{"ts": 1500, "kind": "snapshot", "bids": [[99.5, 2]], "asks": [[100.5, 3]]}]
    cmd(x, cmd="load", dataset={"book": book})
    assert cmd(x, cmd="frame") == (
        '{"symbol":"TEST","cursor_ts":1500,"panels":[{"kind":"book_heatmap","time":[1000],'
        '"price":[99.0,100.0,101.0],"intensity":[[2.0,3.0,-0.0]]}]}')


def test_funding_oi_worked_example():
    x = Xray(spec([{"kind": "funding_oi_divergence", "bucket_ms": 1000}]))
    cmd(x, cmd="load", dataset={"funding": [[1200, 0.0001], [3100, 0.0002]],
                                 "oi": [[1500, 5000], [2500, 5100]]})
    assert cmd(x, cmd="frame") == (
        '{"symbol":"TEST","cursor_ts":3100,"panels":[{"kind":"funding_oi_divergence",'
        '"time":[1000,2000,3000],"funding":[0.0001,0.0001,0.0002],'
        '"oi":[5000.0,5100.0,5100.0],"price":[0.0,0.0,0.0]}]}')


def test_symbol_is_escaped_in_frames():
    x = Xray(spec(symbol='q"b\\t\tu\x01\u00e9'))
    cmd(x, cmd="load", dataset={"trades": [[-5, 1e16, 0.000001, "sell"]]})
    assert cmd(x, cmd="frame") == (
        '{"symbol":"q\\"b\\\\t\\tu\\u0001\u00e9","cursor_ts":-5,"panels":[{"kind":"footprint",'
        '"price_bins":[1e+16],"buy_vol":[0.0],"sell_vol":[1e-6]}]}')
