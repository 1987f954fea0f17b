"""CSV and Parquet files: the same frames as the tables they were written from, in chunks."""

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

from tarnix_xray import DatasetError, Session  # noqa: E402
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
    if path.suffix == ".parquet":
        frame.to_parquet(path, index=False)
    else:
        frame.to_csv(path, index=False)
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
    keyword = Session(SPEC)
    keyword.load(trades=paths[0], book=paths[1])
    assert keyword.frame(from_tables.bounds().from_ts + 30_000).text == from_tables.frame(
        from_tables.bounds().from_ts + 30_000
    ).text


def test_rows_are_counted_across_chunks(tmp_path):
    trades, _ = tables(n=50)
    trades.loc[37, "amount"] = -1.0
    path = write(trades, tmp_path / "t.parquet")
    with pytest.raises(DatasetError) as caught:
        read_file(path, "trades", warn=OnceWarner(), chunk_rows=10)
    assert str(caught.value) == "t.parquet: trades column 'amount' row 37: -1.0 is negative"


@pytest.mark.parametrize(
    "name, columns, message",
    [
        ("data.csv", {"ts": [1], "price": [1.0], "qty": [1.0], "side": ["buy"]},
         "cannot tell which list 'DIR/data.csv' holds (columns: ts, price, qty, side); "
         "put the list in its name (trades.csv) or pass it by keyword (trades=...)"),
        ("trades.json", {"ts": [1]}, "'DIR/trades.json' is neither CSV (.csv, .csv.gz) nor Parquet (.parquet)"),
        ("trades.csv", {"ts": [1], "price": [1.0], "qty": [1.0], "sied": ["buy"]},
         "trades is missing column 'side' (columns: ts, price, qty, sied); did you mean 'sied'?"),
    ],
)  # fmt: skip
def test_file_errors(tmp_path, name, columns, message):
    write(pd.DataFrame(columns), tmp_path / name)
    with pytest.raises(DatasetError) as caught:
        read(tmp_path / name)
    assert str(caught.value) == message.replace("DIR", str(tmp_path))


def test_list_told_by_columns_and_missing_file(tmp_path):
    write(pd.DataFrame({"time": ["2026-12-01T00:00:00Z"], "funding_rate": [0.0001]}), tmp_path / "x.csv")
    funding = read(tmp_path / "x.csv")
    assert funding.counts["funding"] == 1
    session = Session({**SPEC, "panels": [{"kind": "funding_oi_divergence"}]})
    assert session.load(funding) == 1 and session.bounds()[:2] == (1_796_083_200_000,) * 2
    with pytest.raises(DatasetError, match="^no such file: "):
        read(tmp_path / "nope.parquet")


def test_progress_bar_when_asked(tmp_path, capsys):
    pytest.importorskip("tqdm")
    trades, _ = tables(n=100)
    read(write(trades, tmp_path / "trades.parquet"), progress=True)
    assert "trades.parquet (trades)" in capsys.readouterr().err
