"""What every subcommand shares: failures with their exit codes, reading arguments."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from .._clock import to_ms

if TYPE_CHECKING:
    from ..frame import Frame

PROG = "tarnix-xray"
DONE, ANSWERED_ERROR, USAGE = 0, 1, 2


class Failure(Exception):
    """A user's mistake: `message` goes to stderr as one line, `code` is the exit code."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


def usage(message: str) -> Failure:
    return Failure(message, USAGE)


class Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block on a mistake; one line is enough.
    def error(self, message: str) -> NoReturn:
        self.exit(USAGE, f"{self.prog}: {message} (see --help)\n")


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def read_text(path: str) -> str:
    """A file's text, or stdin for "-"; a missing or unreadable file is a usage error."""
    if path == "-":
        return sys.stdin.read()
    try:
        return Path(path).read_text(encoding="utf-8")
    except FileNotFoundError:
        raise usage(f"no such file: {path}") from None
    except (OSError, UnicodeDecodeError) as e:
        raise usage(f"cannot read {path}: {one_line(e)}") from None


def spec_text(spec: str) -> str:
    """SPEC as JSON text: inline when it starts with "{" or "[", else a file."""
    from ..session import read_spec

    text = spec if spec.lstrip()[:1] in ("{", "[") else read_text(spec)
    try:
        read_spec(text)  # read as the engine reads it: a number out of its range is refused here
    except ValueError as e:
        raise usage(f"spec is not JSON: {e}") from None
    return text


def parse_time(value: str, what: str = "--at") -> int:
    """A time argument: integer milliseconds or ISO 8601 text (UTC when no offset is given)."""
    try:
        return to_ms(value, what=what)
    except (TypeError, ValueError) as e:
        raise usage(one_line(e)) from None


def write_text(path: str | Path, text: str) -> None:
    try:
        Path(path).write_text(text, encoding="utf-8")
    except OSError as e:
        raise usage(f"cannot write {path}: {e.strerror or one_line(e)}") from None


def draw_order_flow(session: Any, path: str | Path, **where: Any) -> None:
    """Footprint bars, the book by side and large prints of a session's frame window."""
    from ..plot import order_flow_picture

    try:
        order_flow_picture(session, path, **where)
    except OSError as e:
        raise usage(f"cannot write {path}: {e.strerror or one_line(e)}") from None


def draw(frame: Frame, path: str | Path) -> None:
    from ..plot import dashboard

    try:
        dashboard(frame, path=path)
    except OSError as e:
        raise usage(f"cannot write {path}: {e.strerror or one_line(e)}") from None


