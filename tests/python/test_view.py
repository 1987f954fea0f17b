"""The viewer's API without a browser: engine texts byte for byte, the spec
round trip and its refusals, bad parameters, the Host and size guards, and
the owner thread: the only thread that ever touches the Session."""

import json
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import urllib.request
import warnings
from concurrent.futures import Future

import pytest

pytest.importorskip("starlette")
with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # starlette's notice about its client library
    from starlette.testclient import TestClient

from tarnix_xray import Session
from tarnix_xray.synthetic import generate_market
from tarnix_xray.view import Viewer, window_spec
from tarnix_xray.view._guard import MAX_BODY_BYTES
from tarnix_xray.view._owner import Owner, Superseded

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")
WINDOW_MS = 120_000
LOCAL = "http://127.0.0.1:8765"


@pytest.fixture(scope="module")
def market():
    return generate_market(0.1, seed=3)


@pytest.fixture(scope="module")
def spec(market):
    return window_spec(market, WINDOW_MS)


class Recorder:
    """Stands in for the session's engine and notes the thread of every call."""

    def __init__(self, engine, threads):
        self.engine, self.threads = engine, threads

    def __getattr__(self, name):
        self.threads.append(threading.get_ident())
        return getattr(self.engine, name)


def opener(market, threads=None):
    def open_session(spec):
        session = Session(spec)
        session.load(**market)
        if threads is not None:
            session._engine = Recorder(session._engine, threads)
        return session

    return open_session


@pytest.fixture
def client(market, spec):
    v = Viewer(opener(market), spec, allowed_hosts=["box.lan"])
    yield TestClient(v.app, base_url=LOCAL)
    v.close()


@pytest.fixture
def windowed(market, spec):
    """A client of a trailing-window viewer; `.threads` notes the thread of every engine call."""
    threads = []
    v = Viewer(opener(market, threads), spec, window_ms=WINDOW_MS)
    client = TestClient(v.app, base_url=LOCAL)
    client.viewer, client.threads = v, threads
    yield client
    v.close()


def to_ts(client):
    return client.get("/api/bounds").json()["to_ts"]


def reference(market, spec, from_ts=None):
    session = Session(spec if from_ts is None else {**spec, "from_ts": from_ts})
    session.load(**market)
    return session


def engine_frame(session, ts):
    return session.command(f'{{"cmd":"frame_at","ts":{ts}}}')


def test_bounds_and_frames_are_the_engine_text_before_and_after_a_spec_put(client, market, spec):
    ref = reference(market, spec)
    bounds = client.get("/api/bounds")
    assert bounds.text == ref.command('{"cmd":"bounds"}')
    lo, hi = bounds.json()["from_ts"], bounds.json()["to_ts"]
    for ts in (lo - 1, lo, (lo + hi) // 2, hi, hi + 60_000):
        response = client.get(f"/api/frame?ts={ts}")
        assert response.status_code == 200
        assert response.headers["content-type"] == "application/json"
        assert response.content == engine_frame(ref, ts).encode()
    new = _with(spec, 1, "depth_levels", 12)
    response = client.put("/api/spec", json={"spec": new, "window_ms": 60_000})
    assert response.status_code == 200 and response.json() == {"spec": new, "window_ms": 60_000}
    assert client.get("/api/spec").json() == {"spec": new, "window_ms": 60_000}
    assert client.get(f"/api/frame?ts={hi}").text == engine_frame(reference(market, new, hi - 60_000 + 1), hi)


def test_trailing_window_moves_from_ts_with_the_cursor(windowed, market, spec):
    client, ref, hi = windowed, reference(market, spec), to_ts(windowed)
    for ts in (hi, hi - 90_000, hi - 90_000, hi - 200_000):
        expected = engine_frame(reference(market, spec, from_ts=ts - WINDOW_MS + 1), ts)
        assert client.get(f"/api/frame?ts={ts}").text == expected
        # The page's answer: the same text, and the funding panel as Frame reads it (NaN as null).
        page = client.get(f"/api/view?ts={ts}").text
        assert page.startswith('{"frame":' + expected + ',"series":{')
        panel = ref.frame(ts, window=WINDOW_MS).funding_oi
        assert json.loads(page)["series"] == {"time": panel.time.tolist(), **{
            k: [None if v != v else v for v in getattr(panel, k).tolist()] for k in ("funding", "oi", "price")}}
    low = -(2**63)  # the earliest times leave no room for a window before them
    assert client.get(f"/api/frame?ts={low + WINDOW_MS - 2}").json() == {"error": f"ts {low + WINDOW_MS - 2} is too "
        f"early for the {WINDOW_MS} ms window: it would start before the earliest int64 millisecond ({low})"}
    assert [client.get(f"/api/frame?ts={t}").status_code for t in (low, low + WINDOW_MS - 1)] == [400, 200]
    # Footprint bars of the same window, and a bar width that is none.
    got = client.get(f"/api/footprint_bars?ts={hi - 60_000}&bar_ms=30000").json()
    want = ref.footprint_bars(30_000, at=hi - 60_000, window=WINDOW_MS)
    assert (got["bar_ts"], got["price"], got["ask_vol"]) == (
        want.bars["bar_ts"].tolist(), want.cells["price"].tolist(), want.cells["ask_vol"].tolist())
    assert client.get(f"/api/footprint_bars?ts={hi}&bar_ms=0").json() == {"error": "bar_ms must be positive, not '0'"}


BAD_TS = [
    ("?ts=abc", "ts 'abc' is not a timestamp: give ms, a datetime or ISO 8601 text such as '2026-12-06T17:00:00Z'"),
    ("?ts=" + "9" * 65, "ts '99999999999999999999'... is not a time"),
    ("", "ts is required: /api/frame?ts=MILLISECONDS"),
]


@pytest.mark.parametrize("query, message", BAD_TS)
def test_a_bad_ts_is_a_400_with_its_message(client, query, message):
    response = client.get("/api/frame" + query)
    assert (response.status_code, response.json()) == (400, {"error": message})


HOSTS = [
    ("127.0.0.1:8765", 200), ("localhost", 200), ("LOCALHOST:80", 200), ("[::1]:8765", 200), ("[::1]", 200), ("::1", 200),
    ("evil.example", 403), ("127.0.0.1.evil.example:8765", 403), ("localhost.evil.example", 403),
    ("", 403), ("[::2]:80", 403), ("0.0.0.0:8765", 403), ("192.168.1.10:8765", 403),
    # strict: after the name only a numeric port
    ("[::1]evil.example", 403), ("[::1]:80evil.example", 403), ("[::1", 403), ("localhost:x", 403),
    ("box.lan:8765", 200), ("other.lan", 403),  # an extra allowed name
]


@pytest.mark.parametrize("host, status", HOSTS)
def test_only_local_host_headers_are_served(client, host, status):
    for path in ("/", "/api/bounds", "/api/frame?ts=0", "/api/spec"):
        response = client.get(path, headers={"host": host})
        assert response.status_code == status, path
        if status == 403:
            assert "is not served here" in response.json()["error"]


def test_a_foreign_origin_cannot_change_the_spec(client, spec):
    body = {"spec": spec, "window_ms": None}
    response = client.put("/api/spec", json=body, headers={"origin": "http://evil.example"})
    assert (response.status_code, response.json()) == (403, {"error": "requests from other sites are not served"})
    assert client.put("/api/spec", json=body, headers={"origin": LOCAL}).status_code == 200


def test_request_bodies_are_bounded(client, spec):
    big = json.dumps({"spec": {**spec, "dataset_ref": "x" * MAX_BODY_BYTES}})
    response = client.put("/api/spec", content=big, headers={"content-type": "application/json"})
    assert (response.status_code, response.json()) == (413, {"error": f"request body over {MAX_BODY_BYTES} bytes"})

    def chunks():  # no Content-Length: the bound counts what arrives
        for _ in range(MAX_BODY_BYTES // 1000 + 2):
            yield b" " * 1000

    assert client.put("/api/spec", content=chunks()).status_code == 413
    assert client.get("/api/spec").json()["spec"] == spec


def _with(spec, panel, key, value):
    changed = json.loads(json.dumps(spec))
    changed["panels"][panel][key] = value
    return changed


REFUSALS = [
    (lambda s: {"spec": _with(s, 1, "depth_levels", 0)}, 422, "bad spec: book_heatmap depth_levels must be > 0"),
    (lambda s: {"spec": {**s, "colour": "red"}}, 422, "spec has no key 'colour'"),
    (lambda s: {"spec": s, "window_ms": "10"}, 400, "window_ms is a positive integer (ms) or null, not '10'"),
    (lambda s: {"spec": s, "window_ms": -5}, 400, "window_ms is a positive integer (ms) or null, not -5"),
    (lambda s: {"spec": s, "extra": 1}, 400, "unknown member 'extra'; the body has spec and window_ms"),
    (lambda s: [s], 400, 'the body is {"spec": {...}, "window_ms": N or null}'),
    (lambda s: {"spec": "text"}, 400, 'the body is {"spec": {...}, "window_ms": N or null}'),
    (lambda s: b"{spec", 400, "the body is not JSON: "),
    # Python's json reads these; a JSON body cannot hold them
    (lambda s: json.dumps({"spec": _with(s, 0, "price_bin", float("nan"))}).encode(), 400,
     "the body is not JSON: NaN is not a JSON number"),
    (lambda s: b"[" * 30_000 + b"]" * 30_000, 400, "the body nests arrays and objects more than 32 deep"),
    (lambda s: {"spec": _with(s, 0, "price_bin", json.loads("[" * 40 + "]" * 40))}, 400,
     "the body nests arrays and objects more than 32 deep"),
]


@pytest.mark.parametrize("body, status, message", REFUSALS)
def test_a_refused_spec_keeps_the_old_one(client, market, spec, body, status, message):
    hi = to_ts(client)
    before = client.get(f"/api/frame?ts={hi}").text
    body = body(spec)
    response = client.put("/api/spec", **({"content": body} if isinstance(body, bytes) else {"json": body}))
    assert response.status_code == status
    assert response.json()["error"].startswith(message)
    assert client.get("/api/spec").json() == {"spec": spec, "window_ms": None}
    assert client.get(f"/api/frame?ts={hi}").text == before


def test_the_page_and_its_files(client):
    page = client.get("/")
    assert page.headers["content-type"] == "text/html; charset=utf-8"
    assert "default-src 'self'" in page.headers["content-security-policy"]
    for name, kind in (("viewer.js", "text/javascript"), ("draw.js", "text/javascript"), ("viewer.css", "text/css")):
        response = client.get("/" + name)
        assert (response.status_code, response.headers["content-type"]) == (200, kind + "; charset=utf-8")
        assert response.text.strip()
    assert client.get("/../session.py").status_code == 404


def test_only_the_owner_thread_touches_the_session(windowed, spec):
    hi = to_ts(windowed)
    windowed.get(f"/api/frame?ts={hi}")
    windowed.put("/api/spec", json={"spec": _with(spec, 1, "depth_levels", 0)})
    windowed.put("/api/spec", json={"spec": spec, "window_ms": 60_000})
    windowed.get(f"/api/frame?ts={hi - 30_000}")
    windowed.viewer.close()
    # bounds, two frames, and set_spec calls from the refusal and the PUT
    assert len(windowed.threads) >= 5
    assert set(windowed.threads) == {windowed.viewer.owner.thread.ident} != {threading.get_ident()}


class Slow:
    """A state whose frames wait for a gate; notes what ran, in order."""

    def __init__(self):
        self.ran, self.gate, self.started = [], threading.Event(), threading.Event()

    def frame(self, ts):
        self.ran.append(("frame", ts))
        self.started.set()
        self.gate.wait(5)
        return f"frame {ts}"


def test_waiting_frames_coalesce_and_control_jobs_go_first():
    state = Slow()
    owner = Owner(lambda: state, Slow.frame)
    owner.start()
    try:
        first = owner.frame(1)
        assert state.started.wait(5)
        older = owner.frame(2)
        control = owner.call(lambda s: s.ran.append(("control", None)) or "done")
        latest, same = owner.frame(3), owner.frame(3)
        with pytest.raises(Superseded, match=r"superseded by a newer frame request \(ts 3\)"):
            older.result(1)
        state.gate.set()
        assert [f.result(5) for f in (first, control, latest, same)] == ["frame 1", "done", "frame 3", "frame 3"]
    finally:
        owner.close()
    assert state.ran == [("frame", 1), ("control", None), ("frame", 3)]


def test_a_failing_job_answers_its_request_and_close_answers_the_waiting_ones():
    state = Slow()
    owner = Owner(lambda: state, Slow.frame)
    owner.start()
    with pytest.raises(AttributeError):
        owner.call(lambda s: s.missing).result(5)
    owner.frame(1)  # the owner goes on
    assert state.started.wait(5)
    waiting: Future = owner.call(lambda s: "never")
    closer = threading.Thread(target=owner.close)
    closer.start()
    state.gate.set()
    closer.join(5)
    for late in (lambda: waiting.result(1), lambda: owner.frame(2)):
        with pytest.raises(RuntimeError, match="the viewer is closed"):
            late()
    assert not owner.thread.is_alive()


@pytest.mark.parametrize("window_ms", [30_000, 120_000, 600_000])
def test_window_spec_is_accepted_and_its_heatmap_is_filled(market, window_ms):
    spec = window_spec(market, window_ms)
    heat = reference(market, spec).frame(window=window_ms).book_heatmap
    assert heat.intensity.shape[0] > 1 and (heat.intensity > 0).any()


# -- the `view` command (its parser parts, without serving) -------------------

DATASET = {"trades": [{"ts": 1000, "price": 100.5, "qty": 2.0, "side": "buy"},
                      {"ts": 2000, "price": 101.2, "qty": 1.0, "side": "sell"}],
           "liquidations": [{"ts": 1500, "price": 99.0, "qty": 3.0, "side": "long"}]}
SMALL_SPEC = {"dataset_ref": "t", "symbol": "T", "panels": [{"kind": "footprint", "price_bin": 1.0}]}


@pytest.fixture
def files(tmp_path):
    (tmp_path / "ds.json").write_text(json.dumps(DATASET))
    (tmp_path / "bad.json").write_text(json.dumps({"trades": [{"ts": "x", "price": 1.0, "qty": 1.0, "side": "buy"}]}))
    (tmp_path / "spec.json").write_text(json.dumps(SMALL_SPEC))
    return tmp_path


@pytest.mark.parametrize("argv, code, message", [
    (["{d}/ds.json", "--spec", '{"dataset_ref":"t","symbol":"","panels":[{"kind":"footprint"}]}'], 2,
     r": spec: bad spec: symbol must not be empty$"),
    (["{d}/ds.json", "--spec", "[1]"], 2, r": spec: the viewer takes a spec object$"),
    (["{d}/bad.json", "--spec", "{d}/spec.json"], 1, r": parse: invalid type: string \"x\", expected i64$"),
    (["{d}/ds.json", "--spec", "{d}/spec.json", "--port", "70000"], 2, r"--port must be in 0..65535, got 70000"),
    (["{d}/ds.json", "--spec", "{d}/spec.json", "--port", "{taken}"], 2,
     r"cannot listen on 127.0.0.1:\d+: Address already in use"),
])
def test_view_command_failures(files, capsys, argv, code, message):
    from tarnix_xray.cli import main

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = str(taken.getsockname()[1])
        assert main(["view", *(a.replace("{d}", str(files)).replace("{taken}", port) for a in argv)]) == code
    err = capsys.readouterr().err
    assert re.fullmatch(r"tarnix-xray: .*\n", err) and re.search(message, err.strip()), err


def test_demo_view_serves_the_synthetic_market_with_a_tenth_as_window(monkeypatch):
    from tarnix_xray.cli import main

    served = {}
    monkeypatch.setattr(Viewer, "serve", lambda self, host, port, **kw: served.update(viewer=self, open=kw))
    assert main(["demo", "--view", "--hours", "0.5", "--seed", "4", "--port", "0"]) == 0
    try:
        state = TestClient(served["viewer"].app, base_url=LOCAL).get("/api/spec").json()
        assert state == {"spec": window_spec(generate_market(0.5, seed=4), 180_000), "window_ms": 180_000}
        assert served["open"]["open_browser"] is False
    finally:
        served["viewer"].close()


SERVED = [
    # (--host, the line printed, the addresses that answer, what stderr says)
    ([], r"serving (http://127\.0\.0\.1:(\d+)/) \(Ctrl-C to stop\)", ["127.0.0.1"], ""),
    (["--host", "::"], r"serving (http://\[::1\]:(\d+)/) \(on every IPv4 and IPv6 address of this machine; "
     r"Ctrl-C to stop\)", ["127.0.0.1", "[::1]"],
     "warning: listening on every IPv4 and IPv6 address of this machine: anyone who can reach it can read this data\n"),
]


@pytest.mark.parametrize("host, line, answering, stderr", SERVED)
def test_view_command_serves_where_it_says_until_interrupted(files, host, line, answering, stderr):
    argv = [sys.executable, "-m", "tarnix_xray", "view", str(files / "ds.json"), "--spec", str(files / "spec.json"),
            "--port", "0", *host]
    # As from a terminal: a background job's shell hands its children SIGINT ignored.
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert select.select([proc.stdout], [], [], 60)[0], "the viewer did not start"
        printed = re.fullmatch(line, proc.stdout.readline().strip())
        assert printed, "unexpected first line"
        for address in answering:
            url = f"http://{address}:{printed.group(2)}/"
            with urllib.request.urlopen(url + "api/bounds") as response:
                assert response.read() == b'{"from_ts":1000,"to_ts":2000,"count":3}'  # the dataset file's
    finally:
        proc.send_signal(signal.SIGINT)
        code = proc.wait(20)
    # Ctrl-C ends the server cleanly: the usual 130, and no traceback.
    assert (code, proc.stderr.read()) == (130, stderr)

