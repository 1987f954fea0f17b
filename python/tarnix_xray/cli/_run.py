"""`run`: JSON lines in, one response line out per command, flushed."""

from __future__ import annotations

import argparse
import io
import json
import sys
from collections.abc import Iterable
from typing import IO

from ..errors import XrayError
from ..session import Session
from ._common import ANSWERED_ERROR, DONE, one_line, spec_text, usage


def run_lines(session: Session, lines: Iterable[str], out: IO[str]) -> bool:
    """Answer each line with one response line, flushed; True if any answered an error.

    Every line is a command, blank ones included (they get the engine's
    parse error), so a driver can pair responses with its lines by count.
    """
    failed = False
    command, write, flush = session.command, out.write, out.flush
    for line in lines:
        try:
            response = command(line.rstrip("\r\n"))
        except (TypeError, ValueError, RuntimeError) as e:  # text the binding cannot take
            why = "the line is not UTF-8 text" if isinstance(e, UnicodeError) else one_line(e)
            response = json.dumps({"ok": False, "error": why}, separators=(",", ":"))
        write(response + "\n")
        flush()
        if response.startswith('{"ok":false'):
            failed = True
    return failed


def cmd_run(args: argparse.Namespace) -> int:
    try:
        # Not strict: the spec goes to the engine as written, unknown keys and all.
        session = Session(spec_text(args.spec) if args.spec else "", strict=False)
    except (XrayError, ValueError) as e:
        raise usage(f"--spec: {one_line(e)}") from None
    # Stdin and a file are read alike. Bytes that are not UTF-8 reach the
    # binding as surrogates, which it refuses: that line is answered with an
    # error, and the rest still run. Only "\n" ends a line: a bare "\r" is
    # JSON white space, and ending a command there would pair every later
    # answer with the wrong line.
    if args.file == "-":
        source: IO[str] = sys.stdin
        if isinstance(source, io.TextIOWrapper):
            source.reconfigure(errors="surrogateescape", newline="\n")
    else:
        try:
            source = open(args.file, encoding="utf-8", errors="surrogateescape", newline="\n")
        except OSError as e:
            raise usage(f"cannot read {args.file}: {e.strerror or one_line(e)}") from None
    with source:
        failed = run_lines(session, source, sys.stdout)
    return ANSWERED_ERROR if failed else DONE


