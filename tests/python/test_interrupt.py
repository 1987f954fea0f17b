"""A pending signal stops a long "load" or frame within milliseconds; the
handler's exception is the command's and the instance is as it was."""

import json
import os
import signal
import subprocess
import time

import pytest

from tarnix_xray import Xray

# The first of these has to go by before the signal arrives; the command must
# last several times longer than that if it ran to its end.
SIGNAL_AFTER_S = 0.3
# Generous: polls come every few milliseconds while records are decoded and
# panels computed; what lies between polls (a list's storage growing) is
# several times slower in sanitizer builds on a busy machine.
NOTICED_WITHIN_S = 2.0

TRADES = '[1700000000000,30000.5,0.25,"buy"],[1700000000001,30001.5,0.5,"sell"]'
SMALL = json.dumps({"cmd": "load", "dataset": {
    "trades": [[1_000, 100.0, 1.0, "buy"], [2_000, 101.0, 2.0, "sell"]],
    "liquidations": [[1_500, 99.0, 3.0, "long"]]}})


def spec(panels):
    return json.dumps({"dataset_ref": "d", "symbol": "S", "panels": panels})


def big_load(pairs):
    return '{"cmd":"load","dataset":{"trades":[' + ",".join([TRADES] * pairs) + "]}}"


def big_load_as_array(pairs):
    # The dataset's lists by position: decoded as they are met, with no
    # check of the whole text first, so the first poll comes at once.
    return '{"cmd":"load","dataset":[[],[' + ",".join([TRADES] * pairs) + "],[],[],[],[]]}"


def observed(x, whole_frame=True):
    commands = ['{"cmd":"bounds"}', '{"cmd":"frame_at","ts":1500}']
    return [x.command(c) for c in commands + ['{"cmd":"frame"}'] * whole_frame]


class Stop(Exception):
    pass


def raise_stop(signum, frame):
    raise Stop(signum)


def sigint_later():
    """SIGINT from another process: no thread of this one can run Python
    code while a command holds the interpreter lock."""
    return subprocess.Popen(["sh", "-c", f"sleep {SIGNAL_AFTER_S}; kill -INT {os.getpid()}"])


def alarm_later():
    signal.setitimer(signal.ITIMER_REAL, SIGNAL_AFTER_S)


@pytest.fixture
def on_alarm():
    previous = signal.signal(signal.SIGALRM, raise_stop)
    # Python's own SIGINT handler, which is not installed when the process
    # started with SIGINT ignored (a background job of a script).
    previous_int = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
    signal.signal(signal.SIGINT, previous_int)


def book_load(snapshot_bids, diffs, events):
    """A snapshot at 1,000 ms (one ask at 101), then a diff a millisecond."""
    return ('{"cmd":"load","dataset":{"book":[[1000,"snapshot",%s,[[101,1]]],' % snapshot_bids
            + ",".join(f'[{1000 + t},"diff",{diffs(t)}]' for t in range(1, events)) + "]}}")


# Each takes seconds whole: a load of 8 million trades (about 280 MB); a frame of
# 2,000 footprints; 800 heatmaps each finding the book's top before any replays;
# one heatmap whose every bucket folds a crowded level. That each long loop polls
# is cancel_test.cpp's part; here a signal reaches the polls.
CASES = {
    "load": (spec([{"kind": "footprint"}]), None, big_load_as_array(4_000_000)),
    "frame on the pool": (spec([{"kind": "footprint", "price_bin": 0.5}] * 2_000),
                          big_load(200_000), '{"cmd":"frame"}'),
    # One level of 8,000 prices; a 1e300 among them leaves the level sums
    # no bound, so every bucket folds the level.
    "crowded heatmap": (spec([{"kind": "book_heatmap", "bucket_ms": 1, "depth_levels": 20}]),
                        book_load([[99 + j / 8000, 1] for j in range(8000)] + [[99.99999, 1e300]],
                                  lambda t: f"[[{99 + t * 7919 % 8000 / 8000},{t % 7 + 1}]],[]",
                                  80_000), '{"cmd":"frame"}'),
    "one-bucket heatmaps": (spec([{"kind": "book_heatmap", "price_bin": 0.5,
                                   "bucket_ms": 10**9, "depth_levels": 100}] * 800),
                            book_load([[99, 1]], lambda t: f"[[{99 - t % 50 * 0.5},{t % 9 + 1}]],"
                                      f"[[{101 + t % 50 * 0.5},1]]", 200_000), '{"cmd":"frame"}'),
}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("send, expected", [(sigint_later, KeyboardInterrupt),
                                            (alarm_later, Stop)], ids=["SIGINT", "handler"])
def test_interrupted_command_changes_nothing(on_alarm, case, send, expected):
    spec_text, setup, command = CASES[case]
    x = Xray(spec_text)
    assert x.command(SMALL) == '{"ok":true,"loaded":3}'
    if setup is not None:
        x.command(setup)
    before = observed(x, whole_frame=setup is None)  # the others' frames take seconds
    sender, started = send(), time.monotonic()
    with pytest.raises(expected):
        x.command(command)
        pytest.fail("the command ended before the signal came: make it longer")
    late = time.monotonic() - started - SIGNAL_AFTER_S
    if sender is not None:
        sender.wait()
    print(f"{case}: noticed {late * 1000:.1f} ms after the signal")
    assert late < NOTICED_WITHIN_S
    assert observed(x, whole_frame=setup is None) == before
    assert x.command('{"cmd":"version"}') == '{"version":"0.2.0"}'  # usable: not borrowed


def test_a_signal_stops_a_columns_load_and_keeps_the_dataset(on_alarm):
    np = pytest.importorskip("numpy")
    from tarnix_xray._native import Engine

    n = 6_000_000  # a load of some 100 ms; the signal comes after 2 ms
    cols = (np.arange(n, dtype=np.int64), np.full(n, 1.5), np.ones(n), np.zeros(n, np.uint8))
    engine = Engine(spec([{"kind": "footprint"}]))
    engine.load_columns(oi=(cols[0][1:4], np.array([1.0, 2.0, 3.0])))
    with pytest.raises(Stop):  # armed inside: a late start still meets the signal here
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        engine.load_columns(trades=cols)
    assert engine.bounds() == (1, 3, 3)


def test_handler_that_returns_lets_the_command_finish(on_alarm):
    calls = []
    signal.signal(signal.SIGALRM, lambda *_: calls.append(time.monotonic()))
    x = Xray(spec([{"kind": "footprint", "price_bin": 0.5}]))
    command = big_load(300_000)
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)  # again and again, during the load (the fixture stops it)
    response = x.command(command)
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert response == '{"ok":true,"loaded":600000}'
    assert len(calls) >= 2, "the handler ran during the command"
    quiet = Xray(spec([{"kind": "footprint", "price_bin": 0.5}]))
    quiet.command(command)
    assert observed(x) == observed(quiet)

