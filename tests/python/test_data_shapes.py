"""Files shaped as public dumps are published, each loaded in one call (a layout name or nothing)."""

import gzip
import zipfile

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("pyarrow")

from tarnix_xray import DatasetError, Session  # noqa: E402
from tarnix_xray.data import dataset, read  # noqa: E402

SPEC = {"dataset_ref": "shapes", "symbol": "XBT", "panels": [{"kind": "footprint", "price_bin": 1.0}]}
T0 = 1_780_000_000_000

TRADES = "id,price,qty,quote_qty,time,is_buyer_maker,is_best_match\n1,420.5,0.01,4.205,{t0},true,true\n2,421.0,0.2,84.2,{t1},false,true\n"
AGG = "5001,420.5,0.010,9001,9002,{t0},true,true\n5002,421.0,0.5,9003,9003,{t1},false,true\n"
L2 = ("exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount\n"
      "x,XBT,{t0}000,{t0}100,true,bid,419.5,1.5\nx,XBT,{t0}000,{t0}100,true,ask,420.5,2.0\n"
      "x,XBT,{t1}000,{t1}300,false,bid,419.5,0\n")
WIDE = ("exchange,symbol,timestamp,local_timestamp,asks[0].price,asks[0].amount,bids[0].price,bids[0].amount,"
        "asks[1].price,asks[1].amount,bids[1].price,bids[1].amount\n"
        "x,XBT,{t0}000,{t0}100,420.5,1.0,419.5,2.0,421.0,3.0,419.0,4.0\nx,XBT,{t1}000,{t1}100,420.5,1.5,419.5,2.5,,,418.0,1.0\n")
FUNDING = "symbol,fundingTime,fundingRate,markPrice\nXBT,{t0},0.00010000,420.1\nXBT,{t1},-0.00005000,421.0\n"
OI = "symbol,sumOpenInterest,sumOpenInterestValue,timestamp\nXBT,81234.5,3411849000.0,{t0}\nXBT,81240.0,3412000000.0,{t1}\n"
FORCE = ("time,side,order_type,time_in_force,original_quantity,price,average_price,order_status,last_fill_quantity,"
         "accumulated_fill_quantity\n{t0},SELL,LIMIT,IOC,0.5,419.0,419.5,FILLED,0.5,0.5\n{t1},BUY,LIMIT,IOC,0.25,422.0,421.5,FILLED,0.25,0.25\n")
FORCE_API = ("symbol,price,origQty,executedQty,averagePrice,status,timeInForce,type,side,time\n"
             "XBT,419.0,0.5,0.5,419.5,FILLED,IOC,LIMIT,SELL,{t0}\nXBT,422.0,0.25,0.25,421.5,FILLED,IOC,LIMIT,BUY,{t1}\n")

# (file name, text, read options, list, {writer column: values}); t1 is 150 ms after t0.
SHAPES = [
    ("a.csv", TRADES, {}, "trades", {"ts": [T0, T0 + 150], "side": [1, 0], "qty": [0.01, 0.2]}),
    ("XBT-trades-2026-05-28.csv", "\n".join(r.rsplit(",", 1)[0] for r in TRADES.splitlines()[1:]) + "\n", {},
     "trades", {"side": [1, 0], "price": [420.5, 421.0]}),
    ("XBT-aggTrades-2026-05-28.csv", AGG, {}, "trades", {"ts": [T0, T0 + 150], "side": [1, 0], "qty": [0.01, 0.5]}),
    ("x.csv", AGG, {"layout": "agg_trades_headerless"}, "trades", {"price": [420.5, 421.0]}),
    ("incremental_book_L2.csv", L2, {}, "book", {"ts": [T0, T0 + 150], "kind": [0, 1], "bid_qty": [1.5, 0.0],
                                                 "ask_offsets": [0, 1, 1]}),
    ("book_snapshot_2.csv", WIDE, {}, "book", {"kind": [0, 0], "bid_offsets": [0, 2, 4], "ask_offsets": [0, 2, 3],
                                               "bid_price": [419.5, 419.0, 419.5, 418.0], "ask_qty": [1.0, 3.0, 1.5]}),
    ("f.csv", FUNDING, {}, "funding", {"rate": [0.0001, -0.00005]}),
    ("o.csv", OI, {}, "oi", {"oi": [81234.5, 81240.0]}),
    ("XBT-liquidationSnapshot-2026-05-28.csv", FORCE, {}, "liquidations", {"side": [0, 1], "qty": [0.5, 0.25]}),
    ("forceOrders.csv", FORCE_API, {}, "liquidations", {"price": [419.0, 422.0], "side": [0, 1]}),
]  # fmt: skip


def write(path, text):
    path.write_text(text.format(t0=T0, t1=T0 + 150))
    return path


@pytest.mark.parametrize("name, text, options, list_, want", SHAPES, ids=[s[0] for s in SHAPES])
def test_published_shapes_load_in_one_call(tmp_path, name, text, options, list_, want):
    path = write(tmp_path / name, text)
    dataset = read(path, **options)
    assert list(dataset.lists) == [list_]
    for column, values in want.items():
        assert dataset.column(list_, column).tolist() == values
    session = Session(SPEC)
    assert session.load(path, **options) == dataset.count(list_)
    assert session.bounds()[:2] == (T0, T0 + 150)


def test_archives_and_folders_of_daily_files_read_in_date_order(tmp_path):
    days = {f"XBT-fundingRate-2026-05-{d:02d}.csv": f"calc_time,funding_interval_hours,last_funding_rate\n{T0 + d},8,{d}e-5\n"
            for d in (30, 2, 11)}  # fmt: skip
    days["XBT-fundingRate-2026-05-20.csv"] = "calc_time,funding_interval_hours,last_funding_rate\n"  # a quiet day
    (tmp_path / "daily").mkdir()
    with zipfile.ZipFile(tmp_path / "may.zip", "w") as archive:
        for name, text in days.items():
            write(tmp_path / "daily" / name, text)
            archive.writestr(name, text)
    (tmp_path / "XBT-fundingRate-2026-05-02.csv.gz").write_bytes(gzip.compress(days["XBT-fundingRate-2026-05-02.csv"].encode()))
    for path in (tmp_path / "daily", tmp_path / "may.zip"):
        got = read(path)
        assert got.column("funding", "ts").tolist() == [T0 + 2, T0 + 11, T0 + 30]
        assert got.column("funding", "rate").tolist() == [2e-5, 11e-5, 30e-5]
    assert read(tmp_path / "XBT-fundingRate-2026-05-02.csv.gz").column("funding", "ts").tolist() == [T0 + 2]


def test_units_per_list_and_a_tables_header(tmp_path):
    trades = write(tmp_path / "trades.csv", "ts,price,qty,side\n{t0},1.5,2,buy\n")
    book = write(tmp_path / "book.csv", "ts,is_snapshot,side,price,qty\n{t0}000,1,bid,1.0,1.0\n")
    got = read(trades, book, ts_unit={"trades": "ms", "book": "us"})
    assert got.column("book", "ts").tolist() == got.column("trades", "ts").tolist() == [T0]
    with pytest.raises(DatasetError, match=r"book column 'ts' row 0: 1780000000000000 looks like microseconds"):
        read(book, ts_unit={"book": "ms"})
    table = {"symbol": ["XBT"], "fundingTime": [T0], "fundingRate": [1e-4]}  # a table's header tells its shape too
    assert dataset(funding=table).column("funding", "rate").tolist() == [1e-4]
