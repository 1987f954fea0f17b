"""`batch`: every instrument of a partitioned dataset, framed on Dask, into one file per task."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from .._clock import duration_ms
from ..errors import DatasetError
from ._common import (ANSWERED_ERROR, DONE, add_data_arguments, data_options, for_cli, one_line, parse_time,
                      read_text, spec_text, usage)  # fmt: skip

# Keys of a batch spec file that are the job's, not the engine's.
_JOB_KEYS = ("window", "overrides")


def add_batch_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("source", metavar="SOURCE",
                        help="a directory of symbol=.../date=... partitions, or a table of files "
                        "(CSV/Parquet with columns symbol, date, path[, list])")  # fmt: skip
    parser.add_argument("--spec", required=True, help='spec: a JSON file or inline JSON; may add "window" '
                        'and "overrides" ({"SYMBOL": {"price_bin": 5}})')  # fmt: skip
    when = parser.add_mutually_exclusive_group(required=True)
    when.add_argument("--every", metavar="DURATION", help="a cursor every DURATION (ms, or 250ms, 90s, 5m, 1h, 1d), "
                      "on its multiples")  # fmt: skip
    when.add_argument("--at", metavar="FILE", help="cursors from FILE: one per line, ms or ISO time")
    parser.add_argument("--start", metavar="TS", help="first cursor time with --every (ms or ISO, UTC)")
    parser.add_argument("--end", metavar="TS", help="last cursor time with --every (ms or ISO, UTC)")
    parser.add_argument("--window", metavar="DURATION", help="each frame covers this trailing window "
                        "(bounds what a task loads; default: the spec's from_ts)")  # fmt: skip
    parser.add_argument("--chunk", default="1d", metavar="DURATION", help="cursors per task (default 1d)")
    parser.add_argument("--format", choices=("parquet", "jsonl"), default="parquet")
    parser.add_argument("--scheduler", metavar="ADDR", help="a running scheduler (tcp://host:8786); "
                        "default: a local cluster")  # fmt: skip
    parser.add_argument("--workers", type=int, metavar="N", help="local worker processes (default: one per core)")
    parser.add_argument("--symbols", metavar="A,B", help="only these instruments (default: all of SOURCE)")
    parser.add_argument("--allow-gaps", action="store_true", help="accept missing days inside an instrument's span")
    parser.add_argument("-o", "--output", required=True, metavar="OUT", help="output directory")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    add_data_arguments(parser)


def cmd_batch(args: argparse.Namespace) -> int:
    from ..batch import Job, Schedule, Source, run

    spec, window, overrides = _spec(args.spec)
    window_what = "spec window"
    if args.window is not None:
        window, window_what = args.window, "--window"
    try:
        schedule = (Schedule.at([parse_time(t, f"a cursor of {args.at}") for t in read_text(args.at).split()])
                    if args.at else Schedule.every(args.every, start=_time(args.start, "--start"),
                                                   end=_time(args.end, "--end")))  # fmt: skip
        job = Job(
            source=_source(args.source, Source, data_options(args)), spec=spec, schedule=schedule,
            window_ms=None if window is None else duration_ms(window, window_what), overrides=overrides,
            chunk_ms=duration_ms(args.chunk, "--chunk"), allow_gaps=args.allow_gaps,
            symbols=tuple(args.symbols.split(",")) if args.symbols else None,
        )  # fmt: skip
        result = run(job, args.output, fmt=args.format, scheduler=args.scheduler, workers=args.workers,
                     progress=not args.quiet, log=None if args.quiet else _say)  # fmt: skip
    except (ValueError, OSError) as e:  # DatasetError and a refused output directory among them
        raise usage(for_cli(one_line(e))) from None
    if not args.quiet:
        _say(f"{result.ran} tasks run, {result.skipped} already done, {result.frames} frames, "
             f"{result.seconds:.1f} s; results in {args.output}")  # fmt: skip
    for symbol, why in sorted(result.failed.items()):
        print(f"tarnix-xray: {symbol} failed: {for_cli(why)}", file=sys.stderr)
    return ANSWERED_ERROR if result.failed else DONE


def _say(line: str) -> None:
    print(line, file=sys.stderr)


def _time(value: str | None, what: str) -> int | None:
    return None if value is None else parse_time(value, what)


def _spec(arg: str) -> tuple[dict[str, Any], Any, dict[str, Any]]:
    from ..session import read_spec  # the engine's number reading, not Python's

    value = read_spec(spec_text(arg))
    if not isinstance(value, dict):
        raise usage("spec is a JSON object")
    window, overrides = value.pop("window", None), value.pop("overrides", {}) or {}
    if not isinstance(overrides, dict) or not all(isinstance(v, dict) for v in overrides.values()):
        raise usage('spec "overrides" maps a symbol to an object of changes, e.g. {"BTC": {"price_bin": 5}}')
    return value, window, overrides


def _source(path: str, source: Any, options: dict[str, Any]) -> Any:
    try:
        return source.directory(path, **options) if Path(path).is_dir() else source.table(path, **options)
    except FileNotFoundError:
        raise usage(f"no such file or directory: {path}") from None
    except DatasetError as e:
        raise usage(for_cli(one_line(e))) from None
