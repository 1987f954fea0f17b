"""Every test has a time limit (XRAY_TEST_TIMEOUT, 300 s), so a hang fails it instead of stopping the run.

Past it a watchdog thread prints every thread's stack and sends SIGUSR1
(SIGALRM is the tests' own) to the main thread, whose handler fails the
test; a main thread stuck in native code never runs that handler, so
GRACE_S later faulthandler ends the process, stacks printed.
"""

import faulthandler
import os
import signal
import sys
import threading

import pytest

LIMIT_S = float(os.environ.get("XRAY_TEST_TIMEOUT", "300"))
GRACE_S = 30.0
_terminal = sys.stderr


def pytest_configure(config):
    global _terminal
    _terminal = os.fdopen(os.dup(2), "w", buffering=1)  # the real stderr: a test's own is captured


def pytest_unconfigure(config):
    if _terminal is not sys.stderr:
        _terminal.close()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item):
    if threading.current_thread() is not threading.main_thread():  # signals reach only the main thread
        yield
        return
    lock, done = threading.Lock(), []

    def expired(signum, frame):
        pytest.fail(f"{item.nodeid} ran past its {LIMIT_S:g} s limit")

    def fire():
        with lock:  # never after the handler is gone: SIGUSR1's default ends the process
            if not done:
                for out in (sys.stderr, _terminal):
                    print(f"\n{item.nodeid}: over {LIMIT_S:g} s; the stacks of every thread:", file=out, flush=True)
                    faulthandler.dump_traceback(out)
                signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)

    previous = signal.signal(signal.SIGUSR1, expired)
    timer = threading.Timer(LIMIT_S, fire)
    timer.start()
    faulthandler.dump_traceback_later(LIMIT_S + GRACE_S, exit=True, file=_terminal)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        timer.cancel()
        with lock:
            done.append(True)
        signal.signal(signal.SIGUSR1, previous)
