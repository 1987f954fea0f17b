"""tarnix_xray._native: the load text and the columns load from numpy
columns, judged by the engine itself (Xray "load", "bounds", frames) and by
its own conversion; frames as arrays judged by their text. That the columns
load gives the records written by hand is test_data_roundtrip's part."""

from __future__ import annotations

import dataclasses
import json
import math
import struct
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnix_xray import Frame, Xray, XrayError
from tarnix_xray._native import Engine, format_double, load_text, reachable, read_double

SPEC = json.dumps({"dataset_ref": "d", "symbol": "S", "panels": [{"kind": "footprint"}]})  # for loads only


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


ts_values = st.integers(1_000_000, 1_000_100_000)
short_decimals = st.integers(1, 10**9).map(lambda n: n / 100)  # a price with 2 decimals
# Full precision too: about one double in a thousand has no text the engine reads back.
full_doubles = st.floats(min_value=-1e6, max_value=1e7, allow_nan=False, allow_infinity=False)
quantities = st.integers(0, 10**7).map(lambda n: n / 1000)
codes = st.integers(0, 1)


@st.composite
def market(draw, prices):
    """load_text arguments for all six lists, a few rows each; book levels by offsets."""
    n = draw(st.integers(0, 12))

    def col(values, rows, dtype):
        return np.array([draw(values) for _ in range(rows)], dtype=dtype)

    def priced(rows):
        return (col(ts_values, rows, np.int64), col(prices, rows, np.float64), col(quantities, rows, np.float64),
                col(codes, rows, np.uint8))  # fmt: skip

    book = [col(ts_values, n // 2, np.int64), col(codes, n // 2, np.int8)]
    for _side in range(2):
        offsets = np.cumsum([0] + [draw(st.integers(0, 4)) for _ in range(n // 2)]).astype(np.int64)
        book += [offsets, col(prices, offsets[-1], np.float64), col(quantities, offsets[-1], np.float64)]
    rates = st.integers(-999, 999).map(lambda r: r / 1e6)
    return {"candles": (col(ts_values, n // 3, np.int64), *(col(prices, n // 3, np.float64) for _ in range(5))),
            "trades": priced(n), "book": tuple(book), "liquidations": priced(n // 2),
            "funding": (col(ts_values, n // 2, np.int64), col(rates, n // 2, np.float64)),
            "oi": (col(ts_values, n // 2, np.int64), col(quantities, n // 2, np.float64))}


@st.composite
def specs(draw):
    bins = st.sampled_from([0.1, 0.25, 1.0, 9.366242679970327, 250.0])
    buckets = st.sampled_from([1000, 250_000, 60_000_000])
    spec = {"dataset_ref": "d", "symbol": "S", "panels": [
        {"kind": "footprint", "price_bin": draw(bins)},
        {"kind": "book_heatmap", "price_bin": draw(bins), "bucket_ms": draw(buckets),
         "depth_levels": draw(st.integers(1, 6))},
        {"kind": "liquidation_map", "price_bin": draw(bins)},
        {"kind": "funding_oi_divergence", "bucket_ms": draw(buckets)}]}
    low, high = sorted(draw(st.lists(ts_values, min_size=2, max_size=2)))
    for key, value in (("from_ts", low), ("to_ts", high)):
        if draw(st.booleans()):
            spec[key] = value
    return spec


def same_arrays(frame: Frame, text: str) -> None:
    """Frame's arrays equal those read from the text, bit for bit (NaN for null, -0.0 kept)."""
    parsed = Frame.from_json(text)
    assert (frame.symbol, frame.cursor_ts) == (parsed.symbol, parsed.cursor_ts)
    for ours, theirs in zip(frame.panels, parsed.panels, strict=True):
        # "_" fields are figures the text does not carry (a session's VWAP)
        for name in (f.name for f in dataclasses.fields(ours) if not f.name.startswith("_")):
            a, b = getattr(ours, name), getattr(theirs, name)
            assert a.dtype == b.dtype and a.shape == b.shape, name
            assert np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes(), name


@settings(max_examples=120, deadline=None)
@given(st.data(), specs(), st.lists(ts_values, min_size=1, max_size=3),
       st.sampled_from([None, 1, 5000, 400_000]))  # fmt: skip
def test_columns_load_gives_the_dataset_of_its_load_text(data, spec, cursors, window):
    cols = data.draw(market(st.one_of(short_decimals, full_doubles)))
    engine, xray = Engine(json.dumps(spec)), Xray(json.dumps(spec))
    assert xray.command(load_text(**cols)) == f'{{"ok":true,"loaded":{engine.load_columns(**cols)}}}'
    bounds = xray.command('{"cmd":"bounds"}')
    assert engine.command('{"cmd":"bounds"}') == bounds
    if engine.bounds() is None:
        return
    assert engine.bounds() == tuple(json.loads(bounds).values())
    numbers = [v for c in cols.values() for a in c if a.dtype == np.float64 for v in a.tolist()]
    exact = all(reachable(v) for v in numbers)  # else the text carries a neighbour
    for at in cursors:
        native = engine.frame(at, window_ms=window)
        if window is not None:  # the trailing window: window ms up to the clamped cursor
            end = min(at, spec.get("to_ts", at))
            low = max(end - window + 1, spec.get("from_ts", end - window + 1))
            xray.command(json.dumps({"cmd": "set_spec", "spec": {**spec, "from_ts": low}}))
        text = xray.command(f'{{"cmd":"frame_at","ts":{at}}}')
        assert not exact or native.text() == text
        same_arrays(Frame._from_native(native), native.text())


finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=80, deadline=None)
@given(st.lists(st.tuples(ts_values, finite, finite, codes), max_size=30))
def test_every_double_reads_back_through_the_engine(rows):
    columns = [np.array([r[k] for r in rows], dtype=t)
               for k, t in enumerate((np.int64, np.float64, np.float64, np.uint8))]
    text = load_text(trades=tuple(columns))
    tokens: list[str] = []  # every number token, as written
    json.loads(text, parse_float=tokens.append, parse_int=tokens.append)
    assert len(tokens) == 3 * len(rows)
    for token, x in zip(tokens, [float(v) for r in rows for v in r[:3]]):
        back = read_double(token)
        if reachable(x):
            assert bits(back) == bits(x), token
        else:  # a double some text reaches; columns_test.cpp holds it to the nearest
            assert reachable(back) and back != x, token
    assert Xray(SPEC).command(text) == f'{{"ok":true,"loaded":{len(rows)}}}'


def test_texts_of_one_value():
    assert [format_double(v) for v in (27123.45, 27123.0, -0.0, 1e-7, 0.1 * 3, 5e-324)] == [
        "27123.45", "27123", "-0", "1e-7", "0.30000000000000004", "5e-324"]
    assert bits(read_double("-0")) == bits(-0.0) and bits(read_double("1e-400")) == bits(0.0)
    assert read_double("18446744073709551616") == 2.0**64 == -read_double("-18446744073709551616")
    assert not reachable(32375.824924527362) and not reachable(math.nan)


F = np.array([], dtype=np.float64)
I3 = np.array([1, 2, 3], dtype=np.int64)
F3 = np.array([1.0, 2.0, 3.0])
C3 = np.array([0, 1, 0], dtype=np.uint8)


def test_lists_in_order_only_those_given():
    assert load_text() == '{"cmd":"load","dataset":{}}'
    assert load_text(oi=(I3[:0], F), trades=(I3[:0], F, F, C3[:0]), command=False) == '{"trades":[],"oi":[]}'
    assert load_text(book=(I3[:2], np.array([True, False]), np.array([0, 1, 1]), F3[:1], -F3[1:2] * 0,
                           np.array([0, 0, 1]), F3[2:], F3[2:]), command=False) == \
        '{"book":[[1,"diff",[[1,-0]],[]],[2,"snapshot",[],[[3,3]]]]}'
    five = (np.array([v]) for v in (1.5, 2.5, -0.0, 0.1 * 3, 7.0))
    assert load_text(candles=(I3[:1], *five), liquidations=(I3[:2], F3[:2], F3[:2], C3[:2]), command=False) == \
        '{"candles":[[1,1.5,2.5,-0,0.30000000000000004,7]],"liquidations":[[1,1,1,"long"],[2,2,2,"short"]]}'


def book(kind=C3, bid_offsets=(0, 1, 2, 2), bids=(F3[:2], F3[:2]), asks=(np.zeros(4, np.int64), F, F)):
    """Book columns of three events, two bid levels, no asks; one part swapped for a fault."""
    return dict(book=(I3, kind, np.array(bid_offsets), *bids, *asks))


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(trades=(I3, F3, F3)), TypeError,
     "trades: expected None or a tuple of 4 columns (ts, price, qty, side), got 3"),
    (dict(oi=[I3, F3]), TypeError, "oi: expected None or a tuple of 2 columns (ts, oi), not 'list'"),
    (dict(funding=(I3, [1.0, 2.0, 3.0])), TypeError,
     "funding: column 'rate' must be a buffer (a numpy array, for example), not 'list'"),
    (dict(funding=(I3.astype(np.int32), F3)), TypeError,
     "funding: column 'ts' has format 'i' (4-byte items); expected int64 (format 'q' or 'l')"),
    (dict(trades=(I3, F3, F3, C3.astype(np.int16))), TypeError,
     "trades: column 'side' has format 'h' (2-byte items); expected uint8, int8 or bool codes "
     "(format 'B', 'b' or '?')"),
    (dict(oi=(I3, np.ones((3, 2))[:, 0])), TypeError, "oi: column 'oi' must be C-contiguous"),
    (dict(oi=(I3, np.ones((3, 1)))), TypeError, "oi: column 'oi' must be 1-D, not 2-D"),
    (dict(candles=(I3, F3, F3, F3, F3, F3[:2])), ValueError, "candles: column 'volume' has 2 rows, column 'ts' has 3"),
    (dict(trades=(I3, np.array([1.0, 2.0, np.nan]), F3, C3)), ValueError,
     "trades: column 'price' row 2 is NaN; JSON has no text for it"),
    (dict(liquidations=(I3, F3, F3, np.array([0, -1, 0], dtype=np.int8))), ValueError,
     "liquidations: column 'side' row 1 is -1; the codes are 0 (long) and 1 (short)"),
    (dict(liquidations=(I3, F3, np.array([1.0, 2.0, -np.inf]), C3)), ValueError,
     "liquidations: column 'qty' row 2 is -inf; JSON has no text for it"),
    (book(kind=C3 + 7), ValueError, "book: column 'kind' row 0 is 7; the codes are 0 (snapshot) and 1 (diff)"),
    (book(bid_offsets=(0, 1, 1), bids=(F3, F3)), ValueError,
     "book: column 'bid_offsets' has 3 rows, expected 4 (one more than column 'ts')"),
    (book(bid_offsets=(1, 1, 2, 2)), ValueError, "book: column 'bid_offsets' row 0 is 1; offsets start at 0"),
    (book(bid_offsets=(0, 2, 1, 3), bids=(F3, F3)), ValueError,
     "book: column 'bid_offsets' row 2 is 1, below row 1 (2); offsets must not decrease"),
    (book(bid_offsets=(0, 1, 1, 1)), ValueError,
     "book: column 'bid_offsets' row 3 (the last) is 1; it must be 2, the rows of column 'bid_price'"),
    (book(bids=(np.array([1.0, np.nan]), F3[:2])), ValueError,
     "book: column 'bid_price' row 1 is NaN; JSON has no text for it"),
    (book(asks=(np.zeros(4, np.int64), F, F3[:1])), ValueError,
     "book: column 'ask_qty' has 1 row, column 'ask_price' has 0"),
    (book(asks=(np.array([0, 5, 5, 5]), F, F)), ValueError,
     "book: column 'ask_offsets' row 1 is 5, beyond the 0 rows of column 'ask_price'"),
])
def test_errors_name_list_column_and_row(kwargs, error, message):
    with pytest.raises(error) as raised:
        load_text(**kwargs)
    assert str(raised.value) == message
    # The columns load refuses the same columns in the same words and keeps its dataset.
    engine = Engine(SPEC)
    engine.load_columns(oi=(I3, F3))
    with pytest.raises(XrayError if error is ValueError else error) as raised:
        engine.load_columns(**kwargs)
    assert str(raised.value) == (f"data: {message}" if error is ValueError else message)
    assert engine.bounds() == (1, 3, 3)


@pytest.mark.parametrize("call, error, message", [
    (lambda: format_double(math.inf), ValueError,
     "format_double: the value is inf; JSON has no text for it"),
    (lambda: read_double("1e400"), ValueError,
     "read_double: '1e400' is not a JSON number: number out of range at line 1 column 5"),
    (lambda: read_double("1.5 "), ValueError,
     "read_double: '1.5 ' is not a JSON number: trailing characters at line 1 column 4"),
    (lambda: read_double(" 1"), ValueError,
     "read_double: ' 1' is not a JSON number: expected value at line 1 column 1"),
    (lambda: read_double(b"1"), TypeError, "read_double() argument must be str, not 'bytes'"),
    (lambda: load_text(trade=None), TypeError,
     "load_text() got an unexpected keyword argument 'trade'; did you mean 'trades'?"),
    (lambda: load_text(side=None), TypeError,
     "load_text() got an unexpected keyword argument 'side'; it takes candles, trades, book, "
     "funding, oi, liquidations and command"),
])
def test_function_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


def test_same_text_from_many_threads():
    rng = np.random.default_rng(3)
    n = 200_000
    cols = (np.arange(n, dtype=np.int64), rng.random(n) * 1e5, rng.integers(1, 9, n) / 8,
            rng.integers(0, 2, n).astype(np.uint8))
    with ThreadPoolExecutor(4) as pool:
        texts = list(pool.map(lambda _: load_text(trades=cols), range(8)))
    assert len(set(texts)) == 1 and len(texts[0]) > 20 * n


def test_the_readme_example_gives_the_text_it_shows():
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    block = readme.split("### The native seam")[1].split("```python\n")[1].split("```")[0]
    scope: dict = {}
    exec(block, scope)  # exactly as written
    assert repr(scope["text"]) == block.rsplit("# ", 1)[1].strip()


WORDS = {"buy": 0, "b": 0, "bid": 0, "sell": 1, "s": 1, "ask": 1}


@settings(max_examples=150, deadline=None)
@given(st.lists(st.sampled_from(["buy", "SELL", " b ", "Ask", "bid\t", "hold", "", "buyer", "sell  x",
                                 "Snapshot", "\u00e9", None]), max_size=30),
       st.integers(0, 30), st.integers(0, 3), st.booleans())  # fmt: skip
def test_word_codes_read_in_place_agree_with_the_words(words, cut, skip, large):
    pa = pytest.importorskip("pyarrow")
    from tarnix_xray.data.checks import _codes_in_place

    kind = pa.large_string() if large else pa.string()
    chunks = [pa.array(["pad"] * skip + words, kind).slice(skip, min(cut, len(words))),
              pa.array(words[cut:], kind)]  # fmt: skip
    column = pa.chunked_array(chunks, kind)
    known = [None if w is None else WORDS.get(w.strip().lower()) for w in words]
    got = _codes_in_place(column, WORDS)  # None when a word is unknown: the general path names it
    assert (None if got is None else got.tolist()) == (None if None in known else known)
