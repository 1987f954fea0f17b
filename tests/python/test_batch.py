"""Batch runs on a local Dask cluster of 2 worker processes must give, byte for byte, the frame
texts of one Session over each instrument's whole DataFrames, scrubbed: two synthetic instruments
of half an hour from 23:45 UTC, so every run crosses a day partition."""

from __future__ import annotations

import json
import os
import shutil
import sys
from pathlib import Path
from typing import Any

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("distributed")
import cloudpickle  # type: ignore[import-untyped]  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

from tarnix_xray import Session, SpecError  # noqa: E402
from tarnix_xray.batch import Job, Schedule, Source, plan, read_results, run  # noqa: E402
from tarnix_xray.batch.output import task_path  # noqa: E402
from tarnix_xray.batch.plan import chunks, instrument_spec  # noqa: E402
from tarnix_xray.batch.task import run_task  # noqa: E402
from tarnix_xray.batch.source import DAY_MS, _take_book  # noqa: E402
from tarnix_xray.cli import main  # noqa: E402
from tarnix_xray.data.book import concat_events, events_from_rows  # noqa: E402
from tarnix_xray.errors import DatasetError  # noqa: E402
from tarnix_xray.synthetic import generate_market  # noqa: E402

# The failing sources below are defined here; workers get them by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

MIN = 60_000
START = int(np.datetime64("2026-03-02T23:45:00", "ms").astype(np.int64))
MIDNIGHT = START + 15 * MIN
SYMBOLS = ("AAA", "BBB")
SPEC: dict[str, Any] = {"panels": [
    {"kind": "footprint", "price_bin": 1.0}, {"kind": "book_heatmap", "price_bin": 0.5, "bucket_ms": MIN, "depth_levels": 24},
    {"kind": "liquidation_map", "price_bin": 1.0}, {"kind": "funding_oi_divergence", "bucket_ms": MIN}]}  # fmt: skip
# From before the data: the first chunks hold no record at all.
EVERY = Schedule.every("4m", start=START - 8 * MIN, end=START + 30 * MIN)


@pytest.fixture(scope="module")
def markets() -> dict[str, Any]:
    return {s: generate_market(0.5, seed=i, start_ms=START) for i, s in enumerate(SYMBOLS)}


def write_partitions(root: Path, symbol: str, market: dict[str, Any]) -> None:
    for name, table in market.items():
        for day, part in table.groupby(table["ts"] // DAY_MS * DAY_MS):
            folder = root / f"symbol={symbol}" / f"date={np.datetime64(int(day), 'ms').astype('datetime64[D]')}"
            folder.mkdir(parents=True, exist_ok=True)
            part.to_parquet(folder / f"{name}.parquet", index=False)


@pytest.fixture(scope="module")
def root(markets: dict[str, Any], tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("partitions")
    for symbol, market in markets.items():
        write_partitions(path, symbol, market)
    return path


@pytest.fixture(scope="module")
def client() -> Any:
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster) as c:
            yield c


_loaded: dict[int, Session] = {}


def reference(market: dict[str, Any], symbol: str, cursors: list[int], window: int | None, spec: dict[str, Any]) -> str:
    """One Session over the whole DataFrames, scrubbed cursor by cursor."""
    full = {**spec, "symbol": symbol, "dataset_ref": "ref"}
    if id(market) not in _loaded:
        _loaded[id(market)] = Session(full)
        _loaded[id(market)].load(**market)
    session = _loaded[id(market)]
    session.set_spec(full)
    lines = []
    for cursor in cursors:
        if window is not None:
            end = min(cursor, full.get("to_ts", cursor))
            low = max(end - window + 1, full.get("from_ts", end - window + 1))
            session.set_spec({**full, "from_ts": low})
        lines.append(session.command(f'{{"cmd":"frame_at","ts":{cursor}}}') + "\n")
    return "".join(lines)


def output_text(out: Path, symbol: str) -> str:
    return "".join(p.read_text(encoding="utf-8") for p in sorted((out / symbol).glob("*.jsonl")))


def cursors_of(schedule: Schedule) -> list[int]:
    return schedule.for_days([START // DAY_MS * DAY_MS, MIDNIGHT]).tolist()


# -- frames: the same bytes as one process, whatever the chunking ------------

LOOKBACKS = [
    # (name, window, spec changes, chunk): chunk edges fall inside the windows
    ("trailing window across midnight", 10 * MIN, {}, 8 * MIN),
    ("whole history, no from_ts", None, {}, 9 * MIN),
    ("fixed from_ts and to_ts", None, {"from_ts": START + 7 * MIN + 1, "to_ts": MIDNIGHT + 6 * MIN}, 8 * MIN),
    ("window clipped by from_ts", 13 * MIN, {"from_ts": MIDNIGHT - 2 * MIN}, 7 * MIN),
]


@pytest.mark.parametrize("name, window, changes, chunk", LOOKBACKS, ids=[c[0] for c in LOOKBACKS])
def test_frames_equal_a_single_process_loop(client, root, markets, tmp_path, name, window, changes, chunk):
    spec = {**SPEC, **changes}
    job = Job(Source.directory(root), spec, EVERY, window_ms=window, chunk_ms=chunk)
    result = run(job, tmp_path, fmt="jsonl", client=client, progress=False)
    assert result.failed == {} and result.tasks > 3 and result.ran == result.tasks
    for symbol in SYMBOLS:
        assert output_text(tmp_path, symbol) == reference(markets[symbol], symbol, cursors_of(EVERY), window, spec)


def test_parquet_rows_hold_the_frames_values(client, root, markets, tmp_path):
    at = Schedule.at([START + 7 * MIN, MIDNIGHT, MIDNIGHT + 14 * MIN])
    spec = {**SPEC, "to_ts": MIDNIGHT + 10 * MIN}  # the last frame's cursor_ts is not its cursor
    result = run(Job(Source.directory(root), spec, at, chunk_ms=20 * MIN), tmp_path, client=client, progress=False)
    rows = read_results(tmp_path)
    assert result.ok and result.frames == 6 and len(rows) == 6 * 4
    for symbol in SYMBOLS:
        frames = [json.loads(t) for t in reference(markets[symbol], symbol, list(at.cursors or ()), None, spec).split("\n") if t]
        mine = rows[rows.symbol == symbol]
        for frame, (cursor, group) in zip(frames, mine.groupby("cursor", sort=True)):
            assert group.cursor_ts.tolist() == [frame["cursor_ts"]] * 4
            assert group.kind.tolist() == [p["kind"] for p in frame["panels"]]
            for panel, row in zip(frame["panels"], group.to_dict("records")):
                for key, value in panel.items():
                    # json text keeps -0.0 apart from 0.0 and every double exactly
                    assert json.dumps(_plain(row[key])) == json.dumps(value), (cursor, key)
            absent = {"price_bins", "time", "events", "funding"} - set(frame["panels"][0])
            assert all(group.iloc[0][k] is None for k in absent)


def _plain(value: Any) -> Any:
    if isinstance(value, np.ndarray):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value.item() if isinstance(value, np.generic) else value


# -- crashes, reruns and bad inputs ------------------------------------------


class Breaks(Source):
    """Breaks BBB's read of the chunk holding `at`: with a marker file it kills its worker
    process once; without, it raises every time, a failure that outlives the retries."""

    def __init__(self, source: Source, at: int, marker: str | None = None) -> None:
        super().__init__(source.files, origin=source.origin, **source.options)
        self.at, self.marker = at, marker

    def subset(self, symbol: str, days: Any) -> Source:
        return Breaks(super().subset(symbol, days), self.at, self.marker)

    def read(self, symbol: str, lo: int | None, hi: int) -> Any:
        if symbol == "BBB" and hi == self.at:
            if self.marker is None:
                raise OSError("disk went away")
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
                os._exit(1)
            except FileExistsError:
                pass
        return super().read(symbol, lo, hi)


def test_a_task_whose_worker_dies_is_rerun_and_the_output_is_complete(client, root, markets, tmp_path):
    marker = tmp_path / "killed"
    source = Breaks(Source.directory(root), MIDNIGHT + 4 * MIN, str(marker))
    result = run(Job(source, SPEC, EVERY, window_ms=6 * MIN, chunk_ms=8 * MIN), tmp_path / "out",
                 fmt="jsonl", client=client, progress=False)  # fmt: skip
    assert marker.exists(), "no worker was killed"
    assert result.failed == {} and result.ran == result.tasks == 10
    for symbol in SYMBOLS:
        want = reference(markets[symbol], symbol, cursors_of(EVERY), 6 * MIN, SPEC)
        assert output_text(tmp_path / "out", symbol) == want
    client.wait_for_workers(2, timeout=30)


def test_a_rerun_after_a_failure_runs_only_the_unfinished_tasks(client, root, markets, tmp_path):
    job = Job(Breaks(Source.directory(root), MIDNIGHT + 4 * MIN), SPEC, EVERY, window_ms=6 * MIN, chunk_ms=8 * MIN)
    first = run(job, tmp_path, fmt="jsonl", client=client, progress=False, retries=1)
    assert list(first.failed) == ["BBB"] and "disk went away" in first.failed["BBB"]
    assert first.ran == first.tasks - 1
    files = sorted(tmp_path.rglob("*.jsonl"))
    stamps = {p: p.stat().st_mtime_ns for p in files}
    assert len(files) == first.tasks - 1 and not list(tmp_path.rglob(".*.tmp"))

    # A finished file cut short under its final name is redone, not trusted.
    cut = files.pop()
    cut.write_bytes(cut.read_bytes()[:100])
    del stamps[cut]
    fixed = Job(Source.directory(root), SPEC, EVERY, window_ms=6 * MIN, chunk_ms=8 * MIN)
    second = run(fixed, tmp_path, fmt="jsonl", client=client, progress=False)
    assert (second.ran, second.skipped, second.failed) == (2, first.tasks - 2, {})
    assert {p: p.stat().st_mtime_ns for p in files} == stamps
    assert output_text(tmp_path, "BBB") == reference(markets["BBB"], "BBB", cursors_of(EVERY), 6 * MIN, SPEC)

    other = Job(Source.directory(root), SPEC, EVERY, window_ms=16 * MIN, chunk_ms=10 * MIN)
    with pytest.raises(ValueError, match="another job"):
        run(other, tmp_path, fmt="jsonl", client=client, progress=False)


def _break(tree: Path, how: str) -> Source:
    """The source of a copy of the partitions, broken for BBB as `how` says."""
    day = tree / "symbol=BBB" / "date=2026-03-03"
    if how == "missing file":  # listed, then gone
        source = Source.directory(tree)
        (day / "trades.parquet").unlink()
        return source
    if how == "record outside its day":
        shutil.copy(tree / "symbol=BBB" / "date=2026-03-02" / "oi.parquet", day / "oi.parquet")
    if how == "empty file":
        pd.read_parquet(day / "oi.parquet").iloc[:0].to_parquet(day / "oi.parquet")
    if how == "stray copy":
        shutil.copy(day / "oi.parquet", day / "oi (copy).parquet")
    return Source.directory(tree)


BAD_INPUTS = [
    # (how, overrides, message of BBB's failure); all but a bad record fail before BBB's tasks are sent
    ("missing file", {}, "BBB: the file '{tree}/symbol=BBB/date=2026-03-03/trades.parquet' of the 2026-03-03 partition does not exist"),
    ("record outside its day", {}, "is the partition of 2026-03-03 (UTC) but holds ts"),
    ("empty file", {}, "oi.parquet holds no rows"),
    ("stray copy", {}, "BBB: symbol=BBB/date=2026-03-03/oi (copy).parquet looks like a copy (its name says so) of one of the partition's oi files"),
    ("", {"BBB": {"price_bin": -1.0}}, "bad spec: footprint price_bin must be"),
    ("", {"BBB": {"bucket": 5}}, "BBB: override 'bucket' matches no panel of the spec; did you mean 'bucket_ms'?"),
]


@pytest.mark.parametrize("how, overrides, message", BAD_INPUTS)
def test_bad_input_fails_its_instrument_and_leaves_the_others_done(client, root, markets, tmp_path, how, overrides, message):
    tree = tmp_path / "in"
    shutil.copytree(root, tree)
    job = Job(_break(tree, how), SPEC, EVERY, window_ms=6 * MIN, chunk_ms=30 * MIN, overrides=overrides)
    result = run(job, tmp_path / "out", fmt="jsonl", client=client, progress=False)
    assert list(result.failed) == ["BBB"] and message.format(tree=tree) in result.failed["BBB"]
    assert result.tasks == (4 if how in ("record outside its day", "empty file") else 2)
    assert output_text(tmp_path / "out", "AAA") == reference(markets["AAA"], "AAA", cursors_of(EVERY), 6 * MIN, SPEC)


def test_overrides_change_only_their_instrument(client, root, markets, tmp_path):
    overrides = {"BBB": {"price_bin": 2.0, "book_heatmap": {"depth_levels": 10}, "window": "5m"}}
    result = run(Job(Source.directory(root), SPEC, EVERY, window_ms=6 * MIN, overrides=overrides), tmp_path,
                 fmt="jsonl", client=client, progress=False)  # fmt: skip
    assert result.ok
    changed = {"panels": [{**p, **({"price_bin": 2.0} if "price_bin" in p else {})} for p in SPEC["panels"]]}
    changed["panels"][1]["depth_levels"] = 10
    assert output_text(tmp_path, "BBB") == reference(markets["BBB"], "BBB", cursors_of(EVERY), 5 * MIN, changed)
    assert output_text(tmp_path, "AAA") == reference(markets["AAA"], "AAA", cursors_of(EVERY), 6 * MIN, SPEC)


@pytest.mark.parametrize("symbol, folder", [("BTC/USD", "BTC%2FUSD"), ("..", "%2E."), (".X", "%2EX"), ("a b", "a%20b")])
def test_task_files_stay_inside_out(symbol, folder):
    assert task_path(Path("out"), symbol, 1772409600000, "jsonl") == Path("out", folder, "20260302T000000.jsonl")


DAMAGES = [  # (what happened to a finished task's file f or its sum s, redone?)
    ("nothing", lambda f, s: None, False),
    ("file replaced, same size", lambda f, s: f.write_bytes(b"x" * f.stat().st_size), True),
    ("sum missing", lambda f, s: s.unlink(), True),
    ("file missing, sum left", lambda f, s: f.unlink(), True),
]


def test_a_damaged_output_is_redone_and_a_whole_one_reused(root, tmp_path):
    (task, *_) = plan(Job(Source.directory(root), SPEC, EVERY, chunk_ms=DAY_MS)).tasks(tmp_path, "parquet")
    path = Path(task.path)
    assert run_task(task).error is None
    whole = path.read_bytes()
    for how, damage, redone in DAMAGES:
        damage(path, path.with_name(path.name + ".sha256"))
        assert run_task(task).reused is not redone and path.read_bytes() == whole, how


# -- the command --------------------------------------------------------------


def test_batch_command_exit_codes(client, root, tmp_path, capsys):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps({**SPEC, "window": "10m", "overrides": {"BBB": {"price_bin": 0}}}))
    base = ["batch", str(root), "--spec", str(spec), "--scheduler", client.scheduler.address, "-q", "--chunk", "30m",
            "--start", "2026-03-02T23:45:00", "--end", str(START + 30 * MIN)]  # fmt: skip
    assert main([*base, "--every", "10m", "-o", str(tmp_path / "out")]) == 1
    assert capsys.readouterr().err.startswith("tarnix-xray: BBB failed: bad spec: footprint price_bin must be")
    assert len(read_results(tmp_path / "out")) == 3 * 4
    at = tmp_path / "cursors.txt"
    at.write_text(f"{MIDNIGHT}\n2026-03-02T23:50:00\n")
    assert main([*base[:-4], "--at", str(at), "--format", "jsonl", "--symbols", "AAA", "-o", str(tmp_path / "j")]) == 0
    frames = [json.loads(line) for line in output_text(tmp_path / "j", "AAA").splitlines()]
    assert [f["cursor_ts"] for f in frames] == [MIDNIGHT - 10 * MIN, MIDNIGHT] and not (tmp_path / "j" / "BBB").exists()
    assert main([*base, "--every", "5 weeks", "-o", str(tmp_path / "x")]) == 2
    assert "every '5 weeks' is not a duration" in capsys.readouterr().err


# -- pieces, without a cluster ---------------------------------------------------


def test_periodic_cursors_sit_on_multiples_within_the_days():
    days = [DAY_MS * 20_000]
    # 2024-04-04 00:00 lies 3 h past a multiple of 7 h
    assert Schedule.every("7h").for_days(days).tolist() == [days[0] + h * 3_600_000 for h in (4, 11, 18)]
    narrow = Schedule.every("10m", start=days[0] + 1, end=days[0] + 30 * MIN).for_days(days)
    assert narrow.tolist() == [days[0] + 10 * MIN, days[0] + 20 * MIN, days[0] + 30 * MIN]
    assert Schedule.at([5, 3, 5]).for_days(days).tolist() == [3, 5]


CHUNKS = [
    # (window, spec, cursors, chunk, [(start, lo, hi)])
    (None, {}, [10, 20, 30], 20, [(0, None, 10), (20, None, 30)]),
    (5, {}, [10, 20, 30], 20, [(0, 6, 10), (20, 16, 30)]),
    (5, {"from_ts": 18}, [10, 20, 30], 20, [(0, 18, 10), (20, 18, 30)]),
    (5, {"to_ts": 24}, [10, 20, 30], 20, [(0, 6, 10), (20, 16, 24)]),
    (None, {"from_ts": 3, "to_ts": 15}, [10, 20, 30], 100, [(0, 3, 15)]),
]


@pytest.mark.parametrize("window, spec, cursors, chunk, want", CHUNKS)
def test_chunks_and_their_look_back(window, spec, cursors, chunk, want):
    got = chunks(spec, window, np.array(cursors, np.int64), chunk)
    assert [(c.start_ms, c.lo, c.hi) for c in got] == want


def test_instrument_spec_applies_overrides():
    job = Job(Source({"X": {0: {}}}, origin="src"), SPEC, EVERY, window_ms=MIN,
              overrides={"X": {"bucket_ms": 5000, "liquidation_map": {"price_bin": 3.0}, "to_ts": 9, "window": None}})  # fmt: skip
    spec, window = instrument_spec(job, "X")
    assert (spec["symbol"], spec["dataset_ref"], spec["to_ts"], window) == ("X", "src#X", 9, None)
    assert [p.get("bucket_ms") for p in spec["panels"]] == [5000, 5000, None, 5000]
    assert [p["price_bin"] for p in spec["panels"][:3]] == [1.0, 0.5, 3.0]
    assert SPEC["panels"][0] == {"kind": "footprint", "price_bin": 1.0}, "the job's spec was changed"
    with pytest.raises(SpecError, match="^X: override 'symbol' matches no panel"):  # each instrument keeps its own
        instrument_spec(Job(job.source, SPEC, EVERY, overrides={"X": {"symbol": "Y"}}), "X")


def test_directory_layouts_and_their_mistakes(tmp_path, caplog):
    for rel in ("trades/symbol=A/date=2026-03-02/part-0.parquet", "symbol=B%2FC/date=20260302/book.csv",
                "symbol=A/date=2026-03-02/_SUCCESS", "symbol=A/date=2026-03-02/.hidden.parquet",
                "symbol=A/date=2026-03-02/notes.csv"):  # fmt: skip
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).touch()
    with caplog.at_level("INFO", logger="tarnix_xray"):
        source = Source.directory(tmp_path)
    assert caplog.messages == [f"{str(tmp_path)!r}: left out 1 files whose names tell no list: "
                               "symbol=A/date=2026-03-02/notes.csv (strict=True refuses them)"]  # fmt: skip
    with pytest.raises(DatasetError, match="^1 files whose names tell no list: symbol=A/date=2026-03-02/notes.csv; "):
        Source.directory(tmp_path, strict=True)
    assert source.symbols == ["A", "B/C"]
    assert source.files["B/C"] == {int(np.datetime64("2026-03-02", "ms").astype(np.int64)): {"book": (str(tmp_path / "symbol=B%2FC/date=20260302/book.csv"),)}}
    (tmp_path / "symbol=D" / "x.parquet").parent.mkdir()
    (tmp_path / "symbol=D" / "trades.parquet").touch()
    with pytest.raises(DatasetError, match=r"symbol=D/trades.parquet has no date=\.\.\. folder"):
        Source.directory(tmp_path)


def test_a_table_of_files_names_lists_and_a_gap_between_days_fails_unless_allowed(tmp_path):
    table = pd.DataFrame({"symbol": ["A", "A"], "date": ["2026-03-02", "2026-03-04"],
                          "path": [str(tmp_path / "a.parquet"), str(tmp_path / "A-trades.csv")], "list": ["ohlcv", "trade"]})  # fmt: skip
    source = Source.table(table)
    assert [sorted(lists) for lists in source.files["A"].values()] == [["candles"], ["trades"]]
    for path in table.path:  # a missing file: a bad input of the runs above
        Path(path).touch()
    with pytest.raises(DatasetError, match="A: no partition for 2026-03-03 between 2026-03-02 and 2026-03-04"):
        source.check("A")
    source.check("A", allow_gaps=True)
    with pytest.raises(DatasetError, match="no list 'trads'; did you mean 'trades'"):
        Source.table(table.assign(list=["trads", "trades"]))


book_rows = st.lists(
    st.tuples(st.integers(0, 12), st.booleans(), st.booleans(), st.integers(0, 5), st.sampled_from([0.0, 1.5, 2.0])),
    max_size=40,
)


@settings(max_examples=60, deadline=None)
@given(book_rows, st.integers(0, 13), st.integers(-1, 13), st.integers(0, 13))
def test_book_events_split_joined_and_cut_as_one_table(rows, split, lo, hi):
    # Parts split at a ts, like day partitions; joined then cut to [lo, hi] they
    # must be the events of the rows of [lo, hi] grouped at once.
    rows = sorted(rows, key=lambda r: r[0])

    def events(part: list[Any]) -> tuple[np.ndarray[Any, Any], ...]:
        cols = list(zip(*part)) if part else [()] * 5
        return events_from_rows(*(np.array(c, t) for c, t in zip(cols, (np.int64, np.uint8, np.uint8, np.float64, np.float64))))

    parts = [events([r for r in rows if r[0] < split]), events([r for r in rows if r[0] >= split])]
    joined = concat_events(parts)
    keep = (joined[0] >= lo) & (joined[0] <= hi)
    got = _take_book(joined, keep)
    want = events([r for r in rows if lo <= r[0] <= hi])
    assert len(got) == len(want) == 8
    for a, b in zip(got, want):
        np.testing.assert_array_equal(a, b)
