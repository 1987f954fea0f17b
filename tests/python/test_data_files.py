"""CSV and Parquet files: the same frames as the tables they were written from, in chunks."""

import gzip
from unittest.mock import Mock

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

from tarnix_xray import DatasetError, Session  # noqa: E402
from tarnix_xray.cli import main  # noqa: E402
from tarnix_xray.data import read  # noqa: E402
from tarnix_xray.data.files import read_file  # noqa: E402
from tarnix_xray.errors import OnceWarner  # noqa: E402

SPEC = {"dataset_ref": "files", "symbol": "F", "panels": [
    {"kind": "footprint", "price_bin": 0.5}, {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": 1000, "depth_levels": 8}]}


def tables(n=2_000, seed=3):
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2026-12-01", tz="UTC")
    trades = pd.DataFrame({
        "timestamp": start + pd.to_timedelta(np.sort(rng.integers(0, 60_000, n)), unit="ms"),
        "price": rng.integers(9_900, 10_100, n) / 100, "amount": rng.integers(1, 10_000, n) / 1000,
        "is_buyer_maker": rng.random(n) < 0.5})
    ts = np.repeat(np.arange(0, 60_000, 500), 4)[: n // 2]
    ask = np.arange(len(ts)) % 2 == 1
    book = pd.DataFrame({
        "ts": (start.value // 1_000_000) + ts, "is_snapshot": ts == 0, "side": np.where(ask, "ask", "bid"),
        "price": np.where(ask, 100.5, 99.5) + rng.integers(0, 4, len(ts)) / 2, "qty": rng.integers(0, 5, len(ts)) * 1.0})
    return trades, book


def write(frame, path):
    (frame.to_parquet if path.suffix == ".parquet" else frame.to_csv)(path, index=False)
    return path


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
@pytest.mark.parametrize("chunk_rows", [7, 1_000_000])
def test_files_load_as_their_tables(tmp_path, suffix, chunk_rows, monkeypatch):
    trades, book = tables()
    monkeypatch.setattr("tarnix_xray.data.files.CHUNK_ROWS", chunk_rows)
    from_tables = Session(SPEC)
    from_tables.load(trades=trades, book=book)
    from_files = Session(SPEC)
    paths = [write(trades, tmp_path / f"btc_trades{suffix}"), write(book, tmp_path / f"btc-book{suffix}")]
    from_files.load([str(p) for p in paths], progress=False)
    assert from_files.bounds() == from_tables.bounds()
    assert from_files.frame().text == from_tables.frame().text
    keyword, middle = Session(SPEC), from_tables.bounds().from_ts + 30_000
    keyword.load(trades=paths[0], book=paths[1])
    assert keyword.frame(middle).text == from_tables.frame(middle).text


def test_rows_are_counted_across_chunks(tmp_path):
    trades, _ = tables(n=50)
    trades.loc[37, "amount"] = -1.0
    path = write(trades, tmp_path / "t.parquet")
    with pytest.raises(DatasetError) as caught:
        read_file(path, "trades", warn=OnceWarner(), chunk_rows=10)
    assert str(caught.value) == "t.parquet: trades column 'amount' row 37: -1.0 is negative"


def _parquet(path, rows=3, cut=None):
    write(pd.DataFrame({"ts": range(rows), "price": [1.0] * rows, "qty": [1.0] * rows, "side": ["buy"] * rows}), path)
    if cut is not None:
        path.write_bytes(path.read_bytes()[:cut])
    return path


def _text(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def _gz_cut(path):
    path.write_bytes(gzip.compress(b"ts,price,qty,side\n" + b"1,1.0,1.0,buy\n" * 5000)[:200])
    return path


HEAD = "ts,price,qty,side\n"
# (file name, how to make it, message with {d} for its folder, exit code of the command line)
BROKEN = [
    ("data.csv", lambda p: _text(p, HEAD + "1,1.0,1.0,buy\n"),
     "cannot tell which list 'data.csv' holds (columns: ts, price, qty, side); put the list in its name (trades.csv), "
     "give its layout (layout=NAME), or pass it by keyword (trades=...)", 1),
    ("trades.json", lambda p: _text(p, "{}"), "'{d}/trades.json' is neither CSV (.csv, .csv.gz, .tsv) nor Parquet "
     "(.parquet), nor a .zip or a folder of them", 1),
    ("trades.csv", lambda p: _text(p, "ts,price,qty,sied\n1,1.0,1.0,buy\n"),
     "trades.csv: trades is missing column 'side' (columns: ts, price, qty, sied); did you mean 'sied'?", 1),
    ("trades.parquet", lambda p: _parquet(p, cut=100), "trades.parquet is not a readable Parquet file: ", 2),
    ("trades.parquet", lambda p: _parquet(p, rows=0), "trades.parquet holds no rows", 2),
    ("trades.csv", lambda p: p.mkdir() or p, "trades.csv is a folder holding no CSV, Parquet or .zip files", 2),
    ("trades.csv", lambda p: _text(p, HEAD + "1,1.0,1.0,buy\n2,1.0,1.0\n"),
     "trades.csv line 3: 3 fields where the header has 4 (2,1.0,1.0)", 2),
    ("trades.csv", lambda p: _text(p, b""), "trades.csv is empty", 2),
    ("trades.csv", lambda p: _text(p, HEAD), "trades.csv holds no rows (only a header)", 2),
    ("trades.csv", lambda p: _text(p, b"ts,pr\xefce,qty,side\n1,1.0,1.0,buy\n"),
     "trades.csv: its first line is not UTF-8 text (byte 0xef at 5)", 2),
    ("trades.csv", lambda p: _text(p, "ts,price,price,side\n1,1.0,1.0,buy\n"),
     "trades.csv: column 'price' appears twice in its header; rename one", 2),
    ("trades.csv.gz", _gz_cut, "trades.csv.gz cannot be read: ", 2),
    ("trades.csv", lambda p: _text(p, HEAD + "1,1.0,1.0," + "x" * (5 << 20) + "\n"),
     "trades.csv: trades column 'side' row 0: 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx… "
     "(5,242,882 characters) is not a side (buy or sell)", 1),
    ("trades.zip", lambda p: _text(p, b"PK not a zip"), "trades.zip is not a readable .zip archive (File is not a zip file)", 2),
]  # fmt: skip


@pytest.mark.parametrize("name, make, message, code", BROKEN, ids=[f"{b[0]}-{i}" for i, b in enumerate(BROKEN)])
def test_broken_files_give_one_line(tmp_path, capsys, name, make, message, code):
    path = make(tmp_path / name)
    message = message.replace("{d}", str(tmp_path))
    with pytest.raises(DatasetError) as caught:
        Session(SPEC).load(path)
    assert str(caught.value).startswith(message)
    assert main(["convert", str(path), "-o", str(tmp_path / "out.json"), "-q"]) == code
    err = capsys.readouterr().err
    assert err.startswith("tarnix-xray: " + message.replace("(layout=NAME), or pass it by keyword (trades=...)",
                                                            "(--layout NAME)")) and err.count("\n") == 1


def test_out_of_memory_while_reading_names_the_file(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr("tarnix_xray.data.streams._typed", Mock(side_effect=MemoryError))
    path = _text(tmp_path / "trades.csv", HEAD + "1,1.0,1.0,buy\n")
    assert main(["convert", str(path), "-o", str(tmp_path / "out.json"), "-q"]) == 2
    assert capsys.readouterr().err == "tarnix-xray: trades.csv: out of memory after 0 rows; free memory or read fewer files\n"


def test_list_told_by_columns_and_a_column_twice(tmp_path):
    funding = read(write(pd.DataFrame({"time": ["2026-12-01T00:00:00Z"], "funding_rate": [0.0001]}), tmp_path / "x.csv"))
    assert funding.counts["funding"] == 1
    session = Session({**SPEC, "panels": [{"kind": "funding_oi_divergence"}]})
    assert session.load(funding) == 1 and session.bounds()[:2] == (1_796_083_200_000,) * 2
    with pytest.raises(DatasetError, match="^trades has column 'price' twice; rename or drop one"):
        Session(SPEC).load(trades=pd.DataFrame([[1, 1.0, 1.0, "buy", 2.0]], columns=["ts", "price", "qty", "side", "price"]))


def test_progress_bar_when_asked(tmp_path, capsys):
    pytest.importorskip("tqdm")
    trades, _ = tables(n=100)
    read(write(trades, tmp_path / "trades.parquet"), progress=True)
    assert "trades.parquet (trades)" in capsys.readouterr().err
