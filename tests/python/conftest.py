"""A time limit on every test, so that a hang fails its test instead of stopping the run.

Past the limit a watchdog thread prints every thread's stack and sends
SIGUSR1 (SIGALRM is the tests' own) to the main thread, whose handler fails
the test. A main thread stuck in native code never runs that handler, so
GRACE_S later faulthandler ends the process, stacks printed: the run still
ends and says where. XRAY_TEST_TIMEOUT sets the limit (300 s),
`@pytest.mark.time_limit(S)` one test's.
"""

import faulthandler
import os
import signal
import sys
import threading

import pytest

LIMIT_S = float(os.environ.get("XRAY_TEST_TIMEOUT", "300"))
GRACE_S = 30.0
_terminal = sys.stderr  # replaced by the real stderr: a test's own is captured, and lost at exit


class TestTimeout(Exception):
    __test__ = False


def pytest_configure(config):
    global _terminal
    config.addinivalue_line("markers", "time_limit(seconds): this test's limit instead of the default")
    _terminal = os.fdopen(os.dup(2), "w", buffering=1)  # capturing has not begun here


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item):
    marker = item.get_closest_marker("time_limit")
    limit = float(marker.args[0]) if marker else LIMIT_S
    if threading.current_thread() is not threading.main_thread():  # signals reach only the main thread
        yield
        return
    lock, state = threading.Lock(), {"done": False}

    def expired(signum, frame):
        raise TestTimeout(f"{item.nodeid} ran past its {limit:g} s limit")

    def fire():
        with lock:
            if state["done"]:
                return
            for out in (sys.stderr, _terminal):
                out.write(f"\n{item.nodeid}: over {limit:g} s; the stacks of every thread:\n")
                out.flush()
                faulthandler.dump_traceback(out, all_threads=True)
            signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)

    previous = signal.signal(signal.SIGUSR1, expired)
    timer = threading.Timer(limit, fire)
    timer.daemon = True
    timer.start()
    faulthandler.dump_traceback_later(limit + GRACE_S, exit=True, file=_terminal)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        timer.cancel()
        with lock:  # no signal after this: SIGUSR1's default action ends the process
            state["done"] = True
        signal.signal(signal.SIGUSR1, previous)
