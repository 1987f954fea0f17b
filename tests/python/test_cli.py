"""The tarnix-xray command: exit codes and one-line errors, the JSON-lines
runner over a real pipe, frame and convert routes, and the demo end to end."""

import io
import json
import os
import re
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

import tarnix_xray
from tarnix_xray import Frame, Session, Xray
from tarnix_xray.cli import main, run_lines
from tarnix_xray.synthetic import demo_spec, generate_market

# Subprocesses import the very package these tests import, wherever it lives
# (the source tree in development, the installed wheel in CI).
_PACKAGE_ROOT = str(Path(tarnix_xray.__file__).resolve().parents[1])
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in (_PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p)}
SPEC = {"dataset_ref": "t", "symbol": "T", "panels": [{"kind": "footprint", "price_bin": 1.0},
                                                     {"kind": "liquidation_map", "price_bin": 1.0}]}
DATASET = {"trades": [{"ts": 1000, "price": 100.5, "qty": 2.0, "side": "buy"},
                      {"ts": 2000, "price": 101.2, "qty": 1.0, "side": "sell"}],
           "liquidations": [{"ts": 1500, "price": 99.0, "qty": 3.0, "side": "long"}]}


def invoke(argv, stdin="", monkeypatch=None, capsys=None):
    # Bytes come through a reader that would end lines at any "\r" unless told not to.
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)) if isinstance(stdin, bytes) else io.StringIO(stdin))
    try:
        code = main(argv)
    except SystemExit as e:  # argparse's own exits (usage, --help)
        code = e.code
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def files(tmp_path):
    (tmp_path / "ds.json").write_text(json.dumps(DATASET))
    (tmp_path / "load.json").write_text(json.dumps({"cmd": "load", "dataset": DATASET}))
    (tmp_path / "spec.json").write_text(json.dumps(SPEC))
    (tmp_path / "broken.json").write_text('{"trades": [')
    (tmp_path / "typo.json").write_text('{"trade": []}')
    (tmp_path / "empty.json").write_text("{}")
    (tmp_path / "deep.json").write_text("[" * 100_000 + "]" * 100_000)
    return tmp_path


# (argv, exit code, stderr pattern); {d} is the folder of the files fixture.
FAILURES = [
    ([], 2, r"required: COMMAND"),
    (["run", "--spec", "{bad"], 2, r"spec is not JSON"),
    (["run", "--spec", '{"dataset_ref":"","symbol":"S","panels":[]}'], 2, r"--spec: bad spec: panels must not be empty"),
    (["run", "{d}/nowhere.jsonl"], 2, r"cannot read .*nowhere.jsonl"),
    (["frame", "{d}/nowhere.json", "--spec", "{d}/spec.json"], 2, r"no such file: .*nowhere.json"),
    (["frame", "{d}/ds.json", "--spec", "{d}/nowhere.json"], 2, r"no such file: .*nowhere.json"),
    (["frame", "{d}/broken.json", "--spec", "{d}/spec.json"], 2, r"broken.json is not JSON"),
    (["frame", "{d}/ds.json", "--spec", '{"symbol":"S"}'], 2, r"spec: .*dataset_ref"),
    (["frame", "{d}/ds.json", "--spec", "{d}/spec.json", "--at", "noon"], 2, r"--at 'noon' is not a timestamp"),
    (["view", "{d}/ds.json", "--spec", "{d}/spec.json", "--window", "5 weeks"], 2, r"the window '5 weeks' is not a duration"),
    (["frame", "{d}/typo.json", "--spec", "{d}/spec.json"], 1, r"'trade'.*did you mean 'trades'"),
    (["frame", "{d}/empty.json", "--spec", "{d}/spec.json"], 1, r"data: no dataset"),
    (["frame", "{d}/ds.json", "--spec", "{d}/spec.json", "--out", "{d}/no/such/dir/f.json"], 2, r"cannot write"),
    (["demo", "--hours", "0"], 2, r"hours must be in"),
    (["demo", "--hours", "x"], 2, r"not a number"),
    (["demo", "--seed", str(2**70)], 2, r"argument --seed: seed must be in 0\.\.9223372036854775807, got 1180591620717411303424"),
    (["run", "--spec", "{d}/deep.json"], 2, r"^tarnix-xray: --spec: nests arrays or objects too deeply to be read$"),
    (["frame", "{d}/deep.json", "--spec", "{d}/spec.json"], 2, r"deep.json: nests arrays or objects too deeply"),
    (["convert", "{d}/ds.json", "-o", "x", "--layout", "fundng_history"], 2,
     r"--layout: no layout 'fundng_history'; did you mean 'funding_history'\?"),
    (["convert", "{d}/ds.json", "-o", "x", "--columns", "Amount"], 2, r"--columns: 'Amount' is not NAME=VALUE"),
    (["convert", "{d}/ds.json", "-o", "x", "--ts-unit", "book=sec"], 2, r"--ts-unit: 'sec' is not s, ms, us or ns"),
]


@pytest.mark.parametrize("argv, code, pattern", FAILURES, ids=lambda v: None)
def test_mistakes_exit_with_one_line(files, monkeypatch, capsys, argv, code, pattern):
    argv = [a.replace("{d}", str(files)) for a in argv]
    got, _, err = invoke(argv, "", monkeypatch, capsys)
    assert got == code
    assert re.search(pattern, err.strip()), err
    assert err.count("\n") <= 1 and "Traceback" not in err
    assert err == "" or err.startswith("tarnix-xray")


@pytest.mark.parametrize("source", ["file", "-"])
def test_run_answers_each_line_as_the_engine_does(tmp_path, monkeypatch, capsys, source):
    lines = ['{"cmd":\r"version"}', "", '{"cmd":"load","dataset":' + json.dumps(DATASET) + "}", '{"cmd":"frame"}\r',
             '{"cmd":"set_spec","spec":' + json.dumps(SPEC) + "}", ' {"cmd":"frame_at","ts":1600} ', "  not json",
             '\r{"cmd":"bounds"}']  # only "\n" ends a line: a bare CR is JSON white space
    data = "".join(line + "\n" for line in lines).encode()
    (tmp_path / "file").write_bytes(data)
    got = invoke(["run", str(tmp_path / source) if source == "file" else "-"], data, monkeypatch, capsys)
    direct = Xray("")
    assert got == (1, "".join(direct.command(line) + "\n" for line in lines), "")  # failed lines: exit 1, stderr quiet
    assert not run_lines(Xray(""), iter(['{"cmd":"version"}\n']), io.StringIO())  # no failed line


def test_run_over_a_pipe_answers_before_the_next_line():
    proc = subprocess.Popen([sys.executable, "-m", "tarnix_xray", "run", "--spec", json.dumps(SPEC)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            env={**ENV, "PYTHONIOENCODING": "utf-8:strict"})  # as under a UTF-8 locale
    try:
        # Each answer is read before the next line is sent: it must be flushed.
        for command, answer in [('{"cmd":"load","dataset":' + json.dumps(DATASET) + "}", '{"ok":true,"loaded":3}'),
                                ('{"cmd":"bounds"}', '{"from_ts":1000,"to_ts":2000,"count":3}')]:
            proc.stdin.write(command + "\n")
            proc.stdin.flush()
            assert select.select([proc.stdout], [], [], 20)[0], "no answer within 20 s"
            assert proc.stdout.readline() == answer + "\n"
        proc.stdin.buffer.write(b'{"cmd":"\xff"}\n{"cmd":"version"}\n')  # not UTF-8, then fine
        proc.stdin.close()
        assert proc.stdout.read() == '{"ok":false,"error":"the line is not UTF-8 text"}\n{"version":"0.2.0"}\n'
        assert proc.wait(timeout=30) == 1
    finally:
        proc.kill()


@pytest.fixture
def tokyo(monkeypatch):
    """A local zone other than UTC: a naive --at must still mean UTC."""
    monkeypatch.setenv("TZ", "Asia/Tokyo")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def test_frame_reads_dataset_load_command_and_csv_alike(files, monkeypatch, capsys, tokyo):
    direct = Xray(json.dumps(SPEC))
    direct.command(json.dumps({"cmd": "load", "dataset": DATASET}))
    expected = direct.command('{"cmd":"frame_at","ts":1500}')
    for name in ("trades", "liquidations"):
        pd.DataFrame(DATASET[name]).to_csv(files / f"{name}.csv", index=False)
    csvs = [str(files / "trades.csv"), str(files / "liquidations.csv")]
    assert invoke(["convert", *csvs, "-o", str(files / "conv.json"), "-q"], "", monkeypatch, capsys)[0] == 0
    routes = [[str(files / "ds.json")], [str(files / "load.json")], csvs, [str(files / "conv.json")]]
    for dataset, at in zip(routes, ("1970-01-01T00:00:01.5", "1500", "1970-01-01T02:00:01.500+02:00", "1500")):
        code, out, err = invoke(["frame", *dataset, "--spec", json.dumps(SPEC), "--at", at], "", monkeypatch, capsys)
        assert (code, out, err) == (0, expected + "\n", "")


READING = [  # (trades.csv text, options, exit code, stderr, the trades' ts)
    ("ts,price,qty,side,id\n1000,1.0,2.0,buy,7\n", ["--strict"], 1, "tarnix-xray: trades.csv: trades has an extra column 'id'; --strict "
     "refuses columns the layout does not take: drop it, or map it with --columns\n", None),
    ("when,price,Amount,side\n1,1.0,2.0,buy\n", ["--columns", "trades:Amount=qty,trades:when=ts", "--ts-unit", "trades=s"],
     0, "", [1000]),
    ("5001,1.5,0.010,9001,9002,1700000000000,true\n", ["--layout", "agg_trades_headerless"], 0,
     "tarnix-xray: note: trades.csv: left out columns agg_trade_id, first_trade_id, last_trade_id, which the trades "
     "layout does not take (--strict refuses them)\n", [1700000000000]),
    ("ts,price,qty,side\n1700000000000000,1.0,2.0,buy\n", [], 0, "tarnix-xray: warning: trades column 'ts': integers "
     "read as microseconds from their magnitude (e.g. 1700000000000000); pass --ts-unit us to say so\n", [1700000000000]),
    ("1700000000000,1.5,0.01\n", [], 1, "tarnix-xray: trades.csv has no header (its first row is 1700000000000, 1.5, "
     "0.01); name its layout: --layout trades_buyer_maker or --layout agg_trades_headerless\n", None),
]  # fmt: skip


@pytest.mark.parametrize("text, options, code, err, ts", READING)
def test_reading_options(tmp_path, monkeypatch, capsys, text, options, code, err, ts):
    (tmp_path / "trades.csv").write_text(text)
    out = tmp_path / "out.json"
    got = invoke(["convert", str(tmp_path / "trades.csv"), "-o", str(out), "-q", *options], "", monkeypatch, capsys)
    assert got[0::2] == (code, err)
    if ts is not None:
        assert [t[0] for t in json.loads(out.read_text())["trades"]] == ts


def test_demo_end_to_end(tmp_path, monkeypatch, capsys):
    argv = [sys.executable, "-m", "tarnix_xray", "demo", "--hours", "0.25", "--seed", "5"]
    runs = [subprocess.run(argv + ["--out", str(tmp_path / d)], capture_output=True, text=True, env=ENV,
                           timeout=120) for d in ("a", "b")]
    assert [r.returncode for r in runs] == [0, 0] and runs[0].stderr == ""
    text = (tmp_path / "a" / "frame.json").read_text()
    for name in ("frame.json", "dataset.json", "dashboard.png", "order_flow.png"):  # same seed, same bytes
        assert (tmp_path / "a" / name).read_bytes() == (tmp_path / "b" / name).read_bytes()

    # Tables load as records written by hand (test_data_roundtrip), so a Session is the oracle here.
    market = generate_market(0.25, seed=5)
    session = Session(demo_spec(market))
    assert session.load(**market) == int(re.search(r"([\d,]+) records loaded", runs[0].stdout)[1].replace(",", ""))
    assert text == session.frame().text
    from matplotlib.image import imread

    assert imread(tmp_path / "a" / "dashboard.png").shape == (1000, 1600, 4)
    # What the demo leaves behind takes `frame` to the same answer.
    a = tmp_path / "a"
    flow = ["frame", str(a / "dataset.json"), "--spec", str(a / "spec.json"), "--out", str(a / "f.json"),
            "--flow-png", str(a / "flow.png"), "--bar", "5m"]
    assert invoke(flow, "", monkeypatch, capsys) == (0, "", "") and (a / "f.json").read_text() == text
    assert imread(a / "flow.png").shape == (1000, 1600, 4)

    frame, out = Frame.from_json(text), runs[0].stdout
    fp, lm = frame.footprint, frame.liquidation_map
    lo, hi = fp.value_area()
    figures = re.search(r"POC (\S+), value area (\S+) \.\. (\S+), total delta (\S+)", out).groups()
    assert [float(f) for f in figures] == pytest.approx([fp.poc, lo, hi, fp.total_delta], rel=1e-8)
    strongest = [float(line.split()[0]) for line in out.splitlines()[5:10]]
    assert strongest == list(fp.price_bins[np.argsort(-fp.volume, kind="stable")[:5]])
    sides = dict(re.findall(r"(long|short) (\d+) \(", out))
    assert {s: int(n) for s, n in sides.items()} == {s: int((lm.side == s).sum()) for s in ("long", "short")}
