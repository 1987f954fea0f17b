"""`view`: serve a dataset's frames to a browser page with a time slider; `demo --view`."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from typing import Any

from .._clock import duration_ms
from ._common import DONE, data_options, one_line, spec_text, usage
from ._frame import load_dataset, run_checked

DEFAULT_PORT = 8765
LOCAL = ("127.0.0.1", "localhost", "::1")


def add_serve_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", default="127.0.0.1", metavar="H",
                        help="interface to listen on (default 127.0.0.1; another one exposes the data)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, metavar="P",
                        help=f"port (default {DEFAULT_PORT}; 0 picks a free one)")
    parser.add_argument("--open", action="store_true", help="open the page in the default browser")
    parser.add_argument("--window", type=_window, metavar="DURATION",
                        help="trailing window: each frame covers DURATION before the cursor (ms, or 250ms, 90s, "
                        "15m, 1h, 1d; default: the spec's from_ts)")  # fmt: skip


def add_view_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("dataset", nargs="+", metavar="DATASET")
    parser.add_argument("--spec", required=True, help="spec: a JSON file or inline JSON")
    add_serve_arguments(parser)


def add_demo_view_arguments(parser: argparse.ArgumentParser) -> None:
    """`demo --view` and its server options (the window defaults to a tenth of the market)."""
    parser.add_argument("--view", action="store_true", help="serve the market to a browser page instead of files")
    add_serve_arguments(parser)


def _window(value: str) -> int:
    try:
        return duration_ms(value, "the window")
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def cmd_view(args: argparse.Namespace) -> int:
    from ..session import read_spec  # the engine's number reading, not Python's

    spec = read_spec(spec_text(args.spec))
    if not isinstance(spec, dict):
        raise usage("spec: the viewer takes a spec object")

    def open_session(checked: dict[str, Any]) -> Any:
        from .. import Session

        try:
            session = Session(checked)
        except Exception as e:  # noqa: BLE001 - any refusal of the spec is the user's to fix
            raise usage(f"spec: {one_line(e)}") from None
        run_checked(lambda: load_dataset(session, args.dataset, data_options(args)))
        return session

    return serve(open_session, spec, args)


def cmd_demo_view(args: argparse.Namespace) -> int:
    from .. import Session
    from ..synthetic import generate_market
    from ..view import window_spec

    market: dict[str, Any] = generate_market(args.hours, seed=args.seed)
    span = int(market["candles"]["ts"].iloc[-1] - market["candles"]["ts"].iloc[0]) + 60_000
    window = args.window or max(60_000, span // 10 // 1000 * 1000)
    args.window = window

    def open_session(spec: dict[str, Any]) -> Any:
        session = Session(spec)
        session.load(**market)
        return session

    return serve(open_session, window_spec(market, window), args)


def serve(open_session: Callable[[dict[str, Any]], Any], spec: dict[str, Any], args: argparse.Namespace) -> int:
    _check_port(args.host, args.port)
    from ..view import Viewer
    from ..view._server import listens_on

    where = listens_on(args.host)
    exposed = args.host not in LOCAL
    if exposed:
        print(f"warning: listening on {where}: anyone who can reach it can read this data", file=sys.stderr)
    viewer = run_checked(lambda: Viewer(open_session, spec, window_ms=args.window,
                                        allowed_hosts=[args.host] if exposed else []))

    def ready(url: str) -> None:
        note = "" if where == args.host else f"on {where}; "
        print(f"serving {url} ({note}Ctrl-C to stop)", flush=True)

    try:
        viewer.serve(args.host, args.port, open_browser=args.open, on_ready=ready)
    except OSError as e:  # taken between the check and the start
        raise usage(f"cannot listen on {args.host}:{args.port}: {e.strerror or one_line(e)}") from None
    return DONE


def _check_port(host: str, port: int) -> None:
    # uvicorn exits the process on a bind error; say it in one line first.
    if not 0 <= port <= 65535:
        raise usage(f"--port must be in 0..65535, got {port}")
    from ..view._server import listening_socket

    try:
        listening_socket(host, port).close()
    except (OSError, OverflowError) as e:
        raise usage(f"cannot listen on {host}:{port}: {getattr(e, 'strerror', None) or one_line(e)}") from None
