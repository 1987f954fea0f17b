"""The `tarnix-xray` command: demo, frame, view, run, convert and batch.

Exit codes: 0 done, 1 a command answered an error, 2 usage (bad arguments,
missing or unreadable files, a spec that does not decode or validate).
A user's mistake is one line on stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Sequence

from .._extras import MissingExtra
from ._batch import add_batch_arguments, cmd_batch
from ._common import DONE, PROG, USAGE, Failure, Parser, add_data_arguments, for_cli
from ._convert import cmd_convert
from ._demo import add_demo_arguments, cmd_demo
from ._frame import cmd_frame
from ._run import cmd_run, run_lines
from ._view import add_view_arguments, cmd_view

__all__ = ["main", "build_parser", "run_lines"]


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=PROG, description="Frames of one instrument's market history: footprint, "
                     "book heatmap, liquidations, funding and open interest.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)

    demo = sub.add_parser("demo", help="generate a synthetic market, frame it, draw the dashboard",
                          description="Generate a seeded synthetic market, load it, compute a four-panel "
                          "frame, write frame.json and dashboard.png and print a summary.")
    add_demo_arguments(demo)
    demo.set_defaults(handler=cmd_demo)

    frame = sub.add_parser("frame", help="one frame of a dataset",
                           description="Load DATASET (a dataset JSON file, a load command file, or "
                           "CSV/Parquet files named after their list) and print one frame.")
    frame.add_argument("dataset", nargs="+", metavar="DATASET")
    frame.add_argument("--spec", required=True, help="spec: a JSON file or inline JSON")
    frame.add_argument("--at", metavar="TS", help="cursor: milliseconds or an ISO time (UTC by default)")
    frame.add_argument("--out", metavar="FILE", help="write the frame text here (default stdout)")
    frame.add_argument("--png", metavar="FILE", help="also draw the dashboard here (needs [plot])")
    frame.add_argument("--flow-png", metavar="FILE", help="also draw the order flow here: footprint bars, "
                       "the book by side, large prints (needs [plot])")
    frame.add_argument("--bar", default="1m", metavar="SPAN", help="footprint bar length for --flow-png "
                       "(default 1m)")
    add_data_arguments(frame)
    frame.set_defaults(handler=cmd_frame)

    view = sub.add_parser("view", help="scrub a dataset's frames in a browser page",
                          description="Load DATASET as frame does and serve, on 127.0.0.1, a page that draws "
                          "the four panels and follows a time slider (needs the [view] extra).")
    add_view_arguments(view)
    add_data_arguments(view)
    view.set_defaults(handler=cmd_view)

    run = sub.add_parser("run", help="JSON lines: one command per line in, one response per line out",
                         description="Read one JSON command per line and write one response per line, "
                         "flushed. Without --spec the instance starts with no spec; send set_spec. "
                         "Exit 1 when any command answered an error.")
    run.add_argument("file", nargs="?", default="-", metavar="FILE", help='commands (default "-", stdin)')
    run.add_argument("--spec", help="constructor spec: a JSON file or inline JSON")
    run.set_defaults(handler=cmd_run)

    convert = sub.add_parser("convert", help="CSV/Parquet files to one dataset JSON file",
                             description="Read CSV/Parquet files (each named after its list, e.g. "
                             "trades.csv, or told by its columns) and write the dataset JSON.")
    convert.add_argument("files", nargs="+", metavar="FILE")
    convert.add_argument("-o", "--output", required=True, metavar="DATASET", help="the dataset file to write")
    convert.add_argument("-q", "--quiet", action="store_true", help="no progress")
    add_data_arguments(convert)
    convert.set_defaults(handler=cmd_convert)

    batch = sub.add_parser("batch", help="frames of every instrument of a partitioned dataset, on Dask",
                           description="Frame every instrument of SOURCE at each cursor, as tasks on a "
                           "Dask cluster, into one file per instrument and chunk under OUT. Exit 1 when "
                           "an instrument failed. Needs the [batch] extra.")
    add_batch_arguments(batch)
    batch.set_defaults(handler=cmd_batch)
    return parser


def _warn_in_one_line(message: Warning | str, category: type[Warning], *_: object, **__: object) -> None:
    print(f"{PROG}: warning: {for_cli(str(message))}", file=sys.stderr)


def _too_deep(args: argparse.Namespace) -> str:
    """Which JSON input nests too deep for Python's reader, found by reading each again."""
    import json
    from pathlib import Path

    spec = getattr(args, "spec", None)
    inputs = [] if spec is None else [("--spec", spec)]
    inputs += [(name, name) for name in getattr(args, "dataset", None) or [] if name.endswith(".json")]
    for what, source in inputs:
        try:
            json.loads(source if source.lstrip()[:1] in ("{", "[") else Path(source).read_text(encoding="utf-8"))
        except RecursionError:
            return f"{what if what != source else source}: nests arrays or objects too deeply to be read"
        except (OSError, ValueError):
            continue
    return "an input nests arrays or objects too deeply to be read"


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _warn_in_one_line
            return int(args.handler(args))
    except Failure as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return e.code
    except MissingExtra as e:  # its message names the extra to install
        print(f"{PROG}: {e}", file=sys.stderr)
        return USAGE
    except RecursionError:  # Python's json reader recurses once per level of nesting
        print(f"{PROG}: {_too_deep(args)}", file=sys.stderr)
        return USAGE
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`); nothing left to say to it.
        sys.stderr.close()
        return DONE


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
