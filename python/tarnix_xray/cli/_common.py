"""What every subcommand shares: failures with their exit codes, reading arguments."""

from __future__ import annotations

import argparse
import json
import logging
import re
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from .._clock import UNITS, to_ms

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




# -- reading data files ---------------------------------------------------------


def add_data_arguments(parser: argparse.ArgumentParser) -> None:
    """The data layer's reading options, for subcommands that read CSV/Parquet files."""
    group = parser.add_argument_group("reading CSV/Parquet files")
    group.add_argument("--layout", metavar="NAME[,NAME]", help="layouts of published file shapes the files are "
                       "in (e.g. funding_history, agg_trades_headerless; see docs/data.md); a header often tells it")
    group.add_argument("--columns", metavar="SRC=DST[,...]", help="map source columns to layout columns: "
                       "Amount=qty, or per list trades:Amount=qty (or a JSON object)")
    group.add_argument("--ts-unit", metavar="UNIT", help="unit of integer times: s, ms, us or ns, or per list "
                         "trades=ms,book=us (default: told by their magnitude)")
    group.add_argument("--strict", action="store_true", help="refuse columns that no layout column takes "
                       "(default: leave them out and say which)")  # fmt: skip


def data_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of the data layer's readers from the options above."""
    _show_notes()
    options: dict[str, Any] = {"strict": bool(getattr(args, "strict", False))}
    if getattr(args, "layout", None):
        from ..data.presets import presets_of
        from ..errors import DatasetError

        names = [n.strip() for n in args.layout.split(",") if n.strip()]
        try:
            presets_of(names)
        except DatasetError as e:
            raise usage(f"--layout: {e}") from None
        options["layout"] = names[0] if len(names) == 1 else names
    if getattr(args, "columns", None):
        options["columns"] = _columns(args.columns)
    if getattr(args, "ts_unit", None):
        units = _pairs(args.ts_unit, "--ts-unit", "trades=ms") if "=" in args.ts_unit else {"": args.ts_unit}
        wrong = next((u for u in units.values() if u not in UNITS), None)
        if wrong is not None:
            raise usage(f"--ts-unit: {wrong!r} is not s, ms, us or ns")
        options["ts_unit"] = units.get("", units)
    return options


def _columns(text: str) -> dict[str, Any]:
    if text.lstrip().startswith("{"):
        try:
            value = json.loads(text)
        except ValueError as e:
            raise usage(f"--columns is not JSON: {e}") from None
        if not isinstance(value, dict):
            raise usage("--columns: a JSON object, e.g. {\"Amount\": \"qty\"}")
        return value
    mapping: dict[str, Any] = {}
    for source, target in _pairs(text, "--columns", "Amount=qty").items():
        list_, colon, column = source.partition(":")
        if colon:
            mapping.setdefault(list_, {})[column] = target
        else:
            mapping[source] = target
    if any(isinstance(v, dict) for v in mapping.values()) and not all(isinstance(v, dict) for v in mapping.values()):
        raise usage("--columns: give every pair a list (trades:Amount=qty) or none")
    return mapping


def _pairs(text: str, option: str, example: str) -> dict[str, str]:
    pairs = {}
    for item in text.split(","):
        key, equals, value = item.partition("=")
        if not equals or not key.strip() or not value.strip():
            raise usage(f"{option}: {item!r} is not NAME=VALUE (e.g. {example})")
        pairs[key.strip()] = value.strip()
    return pairs


class _NoteLine(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None:
        print(f"{PROG}: note: {for_cli(record.getMessage())}", file=sys.stderr)


def _show_notes() -> None:
    logger = logging.getLogger("tarnix_xray")
    if not any(isinstance(h, _NoteLine) for h in logger.handlers):
        logger.addHandler(_NoteLine())
        logger.setLevel(logging.INFO)


# The data layer's advice names its Python arguments; here they are options.
_SPELLINGS = (
    (re.compile(r"ts_unit=(['\"]?)(\w+)\1"), r"--ts-unit \2"),
    (re.compile(r"layout=(['\"]?)(\w+)\1"), r"--layout \2"),
    (re.compile(r"columns=\{'([^']+)': '(\w+)'\}"), r"--columns \1=\2"),
    (re.compile(r"\bcolumns="), "--columns"),
    (re.compile(r"strict=True"), "--strict"),
    (re.compile(r", or pass it by keyword \(\w+=\.\.\.\)"), ""),
)


def for_cli(message: str) -> str:
    """A data layer message with its advice in the options of the command line."""
    for pattern, spelling in _SPELLINGS:
        message = pattern.sub(spelling, message)
    return message


def data_failure(error: BaseException) -> Failure:
    """A refusal of the data layer as the command line's failure: a file that cannot be read is
    a usage mistake (exit 2), data the checks refuse an answered error (exit 1)."""
    from ..errors import UnreadableFile

    if isinstance(error, MemoryError):
        said = one_line(error)
        return Failure("out of memory" + ("" if said == "MemoryError" else f": {said}"), USAGE)
    code = USAGE if isinstance(error, UnreadableFile) else ANSWERED_ERROR
    return Failure(for_cli(one_line(error)), code)
