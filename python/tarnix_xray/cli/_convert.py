"""`convert`: CSV/Parquet files (archives, folders of daily files) to one dataset JSON file."""

from __future__ import annotations

import argparse
import functools
import sys
from pathlib import Path

from ._common import ANSWERED_ERROR, DONE, Failure, data_options, usage, write_text
from ._frame import run_checked


def cmd_convert(args: argparse.Namespace) -> int:
    from .. import data

    for p in args.files:
        if not Path(p).exists():
            raise usage(f"no such file: {p}")
    options = data_options(args)
    lists = {}
    for p in args.files:
        one = run_checked(functools.partial(data.read, p, progress=not args.quiet, **options))
        for name, count in one.counts.items():
            if count or name in one.lists:
                if name in lists:
                    raise Failure(f"{p}: a second file of {name}; give one file per list", ANSWERED_ERROR)
                lists[name] = one.lists[name]
                if not args.quiet:
                    print(f"{p}: {name}, {count:,} records", file=sys.stderr)
    dataset = data.Dataset(lists)
    write_text(args.output, dataset.load_text(command=False))
    if not args.quiet:
        print(f"wrote {args.output}: {len(dataset):,} records", file=sys.stderr)
    return DONE


