"""The examples run exactly as examples/README.md writes them: each command line
of its shell block, in a fresh process in an empty folder, with the installed
package. What each one leaves behind is checked against figures computed here
from the same synthetic market, or from the commands it sent."""

from __future__ import annotations

import json
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
_BLOCK = re.search(r"```sh\n(.*?)```", (EXAMPLES / "README.md").read_text(), re.DOTALL)
COMMANDS = {shlex.split(line)[1]: shlex.split(line) for line in _BLOCK.group(1).splitlines()} if _BLOCK else {}


def run_example(script: str, cwd: Path, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """The README's line for `script`, run from a folder whose examples/ is the repository's."""
    (cwd / "examples").symlink_to(EXAMPLES)
    words = COMMANDS[f"examples/{script}"]
    assert words[0] == "python", words
    return subprocess.run([sys.executable, *words[1:]], cwd=cwd, env=env, check=False, capture_output=True,
                          text=True, timeout=300)


def ran(script: str, cwd: Path) -> str:
    done = run_example(script, cwd)
    assert done.returncode == 0 and "Traceback" not in done.stderr and "Warning" not in done.stderr, done.stderr
    return done.stdout


def test_the_readme_runs_every_example():
    assert sorted(COMMANDS) == sorted(f"examples/{p.name}" for p in EXAMPLES.glob("*.py"))


def test_own_csv_to_picture_is_lossless_and_draws_the_dashboard(tmp_path: Path) -> None:
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    pytest.importorskip("matplotlib")
    import matplotlib.image
    import numpy as np

    from tarnix_xray import Session, data
    from tarnix_xray.synthetic import generate_market

    stdout = ran("own_csv_to_picture.py", tmp_path)
    out, hours = tmp_path / "own_csv_to_picture", 1.0  # the script's defaults

    # ISO text, fractional seconds and a side flag lose nothing: every record
    # and the frame are those of the market's own tables (7 is the example's seed).
    market = generate_market(hours, seed=7)
    own = data.dataset(trades=market["trades"], book=market["book"], candles=market["candles"])
    assert (out / "dataset.json").read_text() == own.load_text(command=False)
    direct = Session("")
    loaded = direct.load(trades=market["trades"], book=market["book"], candles=market["candles"])
    direct.set_spec(json.loads((out / "spec.json").read_text()))
    assert direct.suggest_spec(symbol="SYNUSD", dataset_ref="my-export") == direct._spec
    assert (out / "frame.json").read_text() == direct.frame().text
    assert f"{loaded:,} records loaded" in stdout

    image = matplotlib.image.imread(out / "dashboard.png")
    assert image.shape[:2] == (1000, 1600)
    # A drawn dashboard, not a blank canvas.
    assert len(np.unique(image.reshape(-1, image.shape[2]), axis=0)) > 100


def test_scrub_a_day_rows_match_the_trades_of_each_window(tmp_path: Path) -> None:
    pd = pytest.importorskip("pandas")
    import numpy as np

    from tarnix_xray.synthetic import generate_market

    stdout = ran("scrub_a_day.py", tmp_path)
    steps, hours = 500, float(COMMANDS["examples/scrub_a_day.py"][-1])  # the default, and --hours H
    scrub = pd.read_csv(tmp_path / "scrub_a_day" / "scrub.csv", parse_dates=["cursor"])
    assert len(scrub) == steps
    cursors = scrub["cursor"].to_numpy().astype("datetime64[ms]").astype(np.int64)
    assert (np.diff(cursors) > 0).all()
    rate = re.search(rf"^{steps} frames over {hours:g} h .*: ([\d,]+) frames/s$", stdout, re.MULTILINE)
    assert rate is not None and int(rate.group(1).replace(",", "")) > 0, stdout

    # The example's market (seed 0): the cursors run from one 1% window after
    # the first record to the last, and every row holds its window's figures.
    market = generate_market(hours, seed=0)
    trades, liqs = market["trades"], market["liquidations"]
    first = min(trades["ts"].min(), liqs["ts"].min())
    last = max(trades["ts"].max(), liqs["ts"].max())
    window = (last - first) // 100
    assert (cursors[0], cursors[-1]) == (first + window, last)
    signed = np.where(trades["side"] == "buy", trades["qty"], -trades["qty"])
    for cursor, row in zip(cursors, scrub.itertuples()):
        inside = trades["ts"].between(cursor - window + 1, cursor).to_numpy()
        volume = trades["qty"][inside].groupby(np.floor(trades["price"][inside])).sum()
        assert row.volume == pytest.approx(volume.sum(), abs=1e-6)
        assert row.delta == pytest.approx(signed[inside].sum(), abs=1e-6)
        assert row.poc == volume.idxmax()  # the first maximum: the lowest bin on a tie
        liq = liqs[liqs["ts"].between(cursor - window + 1, cursor)]
        assert row.liq_long == pytest.approx(liq["qty"][liq["side"] == "long"].sum(), abs=1e-9)
        assert row.liq_short == pytest.approx(liq["qty"][liq["side"] == "short"].sum(), abs=1e-9)
    assert scrub[["liq_long", "liq_short"]].to_numpy().sum() > 0  # some window saw a cascade


def test_jsonl_driver_pairs_each_command_with_one_answer(tmp_path: Path) -> None:
    # Without an argument the transcript goes to the default folder.
    stdout = ran("jsonl_from_another_process.py", tmp_path)
    lines = (tmp_path / "jsonl_from_another_process" / "transcript.jsonl").read_text().splitlines()
    transcript = [json.loads(line) for line in lines]
    responses = [json.loads(t["response"]) for t in transcript]  # every answer is one line of JSON
    printed = stdout.splitlines()
    assert len(transcript) >= 5
    assert sum(line.startswith("> ") for line in printed) == sum(line.startswith("< ") for line in printed)
    assert sum(line.startswith("< ") for line in printed) == len(responses)

    failed = [(t["command"], r) for t, r in zip(transcript, responses) if r.get("ok") is False]
    assert [command for command, _ in failed] == [{"cmd": "frame_at", "ts": "soon"}]
    assert failed[0][1]["error"] == "bad spec: frame_at requires integer 'ts'"
    assert "runner exit code 1" in stdout  # one error line makes the runner's exit code 1

    # The answers agree with the data the driver sent.
    by_cmd = {(t["command"]["cmd"], str(t["command"].get("ts"))): r for t, r in zip(transcript, responses)}
    dataset = next(t["command"]["dataset"] for t in transcript if t["command"]["cmd"] == "load")
    records = [r for rows in dataset.values() for r in rows]
    assert by_cmd[("bounds", "None")] == {"from_ts": min(r["ts"] for r in records),
                                          "to_ts": max(r["ts"] for r in records), "count": len(records)}
    at = next(t["command"]["ts"] for t in transcript if isinstance(t["command"].get("ts"), int))
    frame = by_cmd[("frame_at", str(at))]
    assert frame["cursor_ts"] == at
    footprint = next(p for p in frame["panels"] if p["kind"] == "footprint")
    sent = sum(r["qty"] for r in dataset["trades"] if r["ts"] <= at)
    assert sum(footprint["buy_vol"]) + sum(footprint["sell_vol"]) == pytest.approx(sent)
    assert 0 < sent < sum(r["qty"] for r in dataset["trades"])  # the cursor cuts the trades


def test_jsonl_driver_fails_loudly_when_the_runner_cannot_start(tmp_path: Path) -> None:
    # python/ on the path hides the installed package's compiled engine: the runner dies at import.
    source = str(EXAMPLES.parent / "python")
    done = run_example("jsonl_from_another_process.py", tmp_path, env={**os.environ, "PYTHONPATH": source})
    assert done.returncode == 1 and done.stderr.startswith("the runner stopped answering at command 1")
    assert not (tmp_path / "jsonl_from_another_process" / "transcript.jsonl").exists()
