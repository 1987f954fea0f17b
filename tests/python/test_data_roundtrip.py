"""Tables through the column writer answer the same bounds and frames as records written by hand:
plain Python records through json.dumps (exact: prices carry at most 8 decimals), book rows grouped
into events by a loop of its own."""

import json

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from tarnix_xray import Session, Xray  # noqa: E402

SPEC = {"dataset_ref": "roundtrip", "symbol": "TEST", "panels": [
    {"kind": "footprint", "price_bin": 0.5}, {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": 250, "depth_levels": 6},
    {"kind": "liquidation_map", "price_bin": 0.25}, {"kind": "funding_oi_divergence", "bucket_ms": 500}]}

ts_ms = st.integers(0, 5_000)
price = st.integers(9_000, 11_000).map(lambda k: k / 100)
qty = st.integers(0, 50_000).map(lambda k: k / 10_000)


def rows(**columns):
    as_columns = lambda rs: {name: [r[i] for r in rs] for i, name in enumerate(columns)}  # noqa: E731
    return st.lists(st.tuples(*columns.values()), max_size=30).map(as_columns)


tables = st.fixed_dictionaries({
    "trades": rows(ts=ts_ms, price=price, qty=qty, side=st.sampled_from(["buy", "sell"])),
    "book": rows(ts=st.sampled_from([100, 350, 350, 900, 2000]), is_snapshot=st.booleans(),
                 side=st.sampled_from(["bid", "ask"]), price=price, qty=qty),
    "liquidations": rows(ts=ts_ms, price=price, qty=qty, side=st.sampled_from(["long", "short"])),
    "funding": rows(ts=ts_ms, rate=st.integers(-1000, 1000).map(lambda k: k / 1e6)),
    "oi": rows(ts=ts_ms, oi=qty),
    "candles": rows(ts=ts_ms, open=price, high=price, low=price, close=price, volume=qty),
})  # fmt: skip

# The same instants written the ways users hold them.
TS_FORMS = {
    "int ms": lambda ms: (np.asarray(ms, dtype=np.int64), None),
    "int us": lambda ms: (np.asarray(ms, dtype=np.int64) * 1000, "us"),
    "datetime64[ns]": lambda ms: (pd.to_datetime(np.asarray(ms, dtype=np.int64), unit="ms"), None),
    "datetime64[ms] tz": lambda ms: (pd.Series(np.asarray(ms, "datetime64[ms]")).dt.tz_localize("UTC").dt.tz_convert("Asia/Tokyo"), None),
}  # fmt: skip


def book_events(book):
    """Rows of one ts and kind as one event, at one ts the kind met first first."""
    events = {}
    for i in sorted(range(len(book["ts"])), key=lambda i: book["ts"][i]):
        kind = "snapshot" if book["is_snapshot"][i] else "diff"
        event = events.setdefault((book["ts"][i], kind), {"ts": book["ts"][i], "kind": kind, "bids": [], "asks": []})
        event["bids" if book["side"][i] == "bid" else "asks"].append([book["price"][i], book["qty"][i]])
    return list(events.values())


def by_hand(data):
    records = {name: [dict(zip(table, values)) for values in zip(*table.values())] for name, table in data.items()}
    return {**records, "book": book_events(data["book"])}


def answers(engine):
    """Bounds and frames; a Session's frame gives the same text as its engine when there is one."""
    frames = [engine.command(f'{{"cmd":"frame_at","ts":{t}}}') for t in (300, 1000, 5000)]
    if isinstance(engine, Session) and '"ok":false' not in frames[-1]:
        assert engine.frame(5000).text == frames[-1]
    return engine.command('{"cmd":"bounds"}'), frames


pytestmark = pytest.mark.filterwarnings("ignore::tarnix_xray.XrayWarning")


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=tables, form=st.sampled_from(sorted(TS_FORMS)))
def test_tables_and_the_load_form_load_as_the_records_written_by_hand(data, form):
    x = Xray(json.dumps(SPEC))
    x.command(json.dumps({"cmd": "load", "dataset": by_hand(data)}))
    expected = answers(x)
    frames = {name: pd.DataFrame({**table, "ts": TS_FORMS[form](table["ts"])[0]}) for name, table in data.items()}
    session = Session(SPEC)
    loaded = session.load(ts_unit=TS_FORMS[form]([])[1], **frames)
    assert loaded == sum(len(t["ts"]) for n, t in data.items() if n != "book") + len(book_events(data["book"]))
    assert answers(session) == expected
    # The load command's dict goes through the writer unchanged.
    session = Session(SPEC)
    session.load(json.loads(json.dumps(by_hand(data))))
    assert answers(session) == expected


def test_levels_of_one_event_keep_their_order():
    """A later level for the same price replaces an earlier one, so order inside an event matters."""
    from tarnix_xray.data import dataset

    n = np.arange(1_000)
    side = np.where(n % 3 == 0, "ask", "bid")
    got = dataset(book=pd.DataFrame({"ts": 7, "is_snapshot": True, "side": side, "price": 100.0, "qty": n * 1.0}))
    assert got.column("book", "bid_qty").tolist() == n[side == "bid"].tolist()
    assert got.column("book", "ask_qty").tolist() == n[side == "ask"].tolist()
    assert got.column("book", "bid_offsets").tolist() == [0, (side == "bid").sum()]
