"""Every check of the data layer, with the exact message a user reads."""

import math
import warnings

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

from tarnix_xray import DatasetError, XrayWarning  # noqa: E402
from tarnix_xray.data import dataset  # noqa: E402
from tarnix_xray.errors import OnceWarner  # noqa: E402

T = {"ts": [1, 2], "price": [1.0, 2.0], "qty": [1.0, 1.0], "side": ["buy", "sell"]}


def trades(**changes):
    return pd.DataFrame({**T, **changes})


def without(table, column, **more):
    return pd.DataFrame({**{k: v for k, v in table.items() if k != column}, **more})


REJECTS = [
    ("missing column with a near name", dict(trades=without(T, "qty", qyt=[1.0, 1.0])),
     "trades is missing column 'qty' (columns: ts, price, side, qyt); did you mean 'qyt'?"),
    ("missing column, nothing near", dict(trades=without(T, "side")),
     "trades is missing column 'side' (columns: ts, price, qty)"),
    ("extra column, strict", dict(trades=without(T, "qty", amount=[1, 1], quantiy=[1, 1]), strict=True),
     "trades has an extra column 'quantiy'; strict=True refuses columns the layout does not take: drop it, or map it with columns="),
    ("NaN price", dict(trades=trades(price=[1.0, math.nan])), "trades column 'price' row 1: nan is not a finite number"),
    ("missing value in a nullable column", dict(funding=pd.DataFrame({"ts": [1, 2], "rate": pd.array([1.0, None], dtype="Float64")})),
     "funding column 'rate' row 1: nan is not a finite number"),
    ("negative qty", dict(trades=trades(qty=[1.0, -1.0])), "trades column 'qty' row 1: -1.0 is negative"),
    ("text in a number column", dict(trades=trades(price=["1.0", "x"])), "trades column 'price' row 1: 'x' is not a number"),
    ("unknown trade side", dict(trades=trades(side=["buy", "hold"])),
     "trades column 'side' row 1: 'hold' is not a side (buy or sell)"),
    ("missing trade side", dict(trades=trades(side=["buy", None])),
     "trades column 'side' row 1: missing value; expected a side (buy or sell)"),
    ("book side of trades", dict(book=pd.DataFrame({"ts": [1], "is_snapshot": [True], "side": ["long"], "price": [1.0], "qty": [1]})),
     "book column 'side' row 0: 'long' is not a side (bid or ask)"),
    ("liquidation side", dict(liquidations=trades(side=["long", "flat"])),
     "liquidations column 'side' row 1: 'flat' is not a side (long or short (or sell/buy))"),
    ("buyer-maker flag", dict(trades=without(T, "side", is_buyer_maker=[True, "maybe"])),
     "trades column 'is_buyer_maker' row 1: 'maybe' is not a flag (true or false)"),
    ("book kind word", dict(book=pd.DataFrame({"ts": [1, 2], "kind": ["snapshot", "full"], "side": ["bid", "ask"], "price": [1.0, 2], "qty": [1.0, 1]})),
     "book column 'kind' row 1: 'full' is not a book kind (snapshot or diff, or a snapshot flag)"),
    ("seconds among milliseconds", dict(trades=trades(ts=[1_700_000_000_000, 1_700_000_000])),
     "trades column 'ts' row 1: 1700000000 looks like seconds, but the column's other values read as milliseconds"),
    ("milliseconds given as seconds", dict(trades=trades(ts=[1_700_000_000, 1_700_000_000_000]), ts_unit="s"),
     "trades column 'ts' row 1: 1700000000000 looks like milliseconds, but ts_unit='s' says seconds"),
    ("unknown unit", dict(trades=trades(), ts_unit="sec"), "ts_unit must be one of s, ms, us, ns, not 'sec'"),
    ("record without a field", dict(trades=[{"ts": 1, "price": 1, "qty": 1, "side": "buy"}, {"ts": 1, "price": 1, "qty": 1}]),
     "trades[1] has no field 'side'"),
    ("short array record", dict(oi=[(1, 2.0), (2,)]), "oi[1] has 1 values, not 2 (ts, oi)"),
    ("mapping to no column", dict(trades=trades(), columns={"qty": "qtty"}),
     "columns maps 'qty' to 'qtty', a column of no list; did you mean 'qty'?"),
    ("mapping from no column", dict(trades=trades(), columns={"trades": {"Amount": "qty"}}),
     "trades has no column 'Amount' to map"),
    ("columns of unequal length", dict(oi={"ts": [1, 2], "oi": [1.0]}), "oi columns differ in length: {'ts': 2, 'oi': 1}"),
    ("unknown list in the load form", dict(data={"trade": []}), "dataset has no list 'trade'; did you mean 'trades'?"),
    ("a list given twice", dict(data={"trades": []}, trades=trades()), "trades is given twice: in data and as trades="),
]  # fmt: skip


@pytest.mark.parametrize("kwargs, message", [pytest.param(k, m, id=n) for n, k, m in REJECTS])
def test_rejects_with_the_exact_message(kwargs, message):
    with pytest.raises(DatasetError) as caught:
        dataset(**kwargs)
    assert str(caught.value) == message


ACCEPTS = [
    ("aliases and a flag", dict(trades=pd.DataFrame({"timestamp": [1, 2], "price": [1, 2], "amount": [3, 4],
                                                      "is_buyer_maker": [True, False]})),
     "trades", {"side": [1, 0], "qty": [3.0, 4.0]}),
    ("sides in any case", dict(trades=trades(side=[" BUY", "Sell"])), "trades", {"side": [0, 1]}),
    ("a sell liquidation closes a long", dict(liquidations=trades(side=["sell", "buy"])), "liquidations", {"side": [0, 1]}),
    ("mapping per list", dict(oi=pd.DataFrame({"when": [1], "OI_usd": [5.0]}), columns={"oi": {"when": "ts", "OI_usd": "oi"}}),
     "oi", {"oi": [5.0]}),
    ("flat mapping where it fits", dict(oi=pd.DataFrame({"ts": [1], "Open": [5.0]}), columns={"Open": "oi"}), "oi", {"oi": [5.0]}),
    ("extra column", dict(trades=trades(id=[7, 8])), "trades", {"price": [1.0, 2.0]}),
    ("a time index", dict(funding=pd.DataFrame({"rate": [0.5]}, index=pd.DatetimeIndex([pd.Timestamp(3, unit="ms")], name="time"))),
     "funding", {"ts": [3]}),
    ("Python datetimes", dict(funding=[{"ts": pd.Timestamp("1970-01-01 00:00:02").to_pydatetime(), "rate": 0.1}]),
     "funding", {"ts": [2000]}),
    ("zero removes a level", dict(book=pd.DataFrame({"ts": [1], "is_snapshot": [0], "side": ["ask"], "price": [5.0], "qty": [0.0]})),
     "book", {"ask_qty": [0.0], "kind": [1]}),
]  # fmt: skip


@pytest.mark.parametrize("kwargs, name, columns", [pytest.param(k, n, c, id=i) for i, k, n, c in ACCEPTS])
def test_accepts(kwargs, name, columns):
    got = dataset(**kwargs)
    for column, values in columns.items():
        assert got.column(name, column).tolist() == values


@pytest.mark.parametrize("ts, unit", [(1_700_000_000, "seconds"), (1_700_000_000_000_000, "microseconds"),
                                      (1_700_000_000_000_000_000, "nanoseconds"), (1_700_000_000_000, None)])  # fmt: skip
def test_inferred_unit_is_stated_once(ts, unit):
    warn = OnceWarner()
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        for _ in range(2):
            assert dataset(trades=trades(ts=[ts, ts]), warn=warn).column("trades", "ts")[0] == 1_700_000_000_000
    stated = [str(w.message).split(";")[0] for w in seen if issubclass(w.category, XrayWarning)]
    assert stated == ([] if unit is None else [f"trades column 'ts': integers read as {unit} from their magnitude (e.g. {ts})"])
