"""`frame`: load a dataset file (or CSV/Parquet files) and print one frame."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from ._common import (ANSWERED_ERROR, DONE, Failure, data_failure, data_options, draw, draw_order_flow, one_line,
                      parse_time, read_text, spec_text, usage, write_text)  # fmt: skip


def _session(spec: str) -> Any:
    from .. import Session

    try:
        return Session(spec)  # the text as written: the engine reads its numbers
    except Exception as e:  # noqa: BLE001 - any refusal of the spec is the user's to fix
        raise usage(f"spec: {one_line(e)}") from None


def load_dataset(session: Any, paths: Sequence[str], options: dict[str, Any] | None = None) -> int:
    """Load DATASET: one JSON file (a dataset or a "load" command), or CSV/Parquet files (with the
    reading options of data_options)."""
    if (len(paths) == 1 and Path(paths[0]).suffix.lower() == ".json") or list(paths) == ["-"]:
        return load_json(session, paths[0])
    for p in paths:
        if not Path(p).exists():
            raise usage(f"no such file: {p}")
    return int(session.load(list(paths), **(options or {})))


def load_json(session: Any, path: str) -> int:
    """A JSON dataset is the engine's own form: its text goes to "load" as written.

    Building columns from it first took 6 s of processor time for a 31 MB
    file where the engine's load took 0.2 s. Only the list names are checked
    here, since the engine skips an unknown one silently.
    """
    from .._suggest import hint
    from ..data import LAYOUTS

    text = read_text(path)
    try:
        obj = json.loads(text)
    except json.JSONDecodeError as e:
        raise usage(f"{path} is not JSON: {e}") from None
    command = isinstance(obj, dict) and obj.get("cmd") == "load"
    dataset = obj.get("dataset") if command else obj
    if not isinstance(dataset, dict):
        raise usage(f"{path} holds neither a dataset object nor a load command")
    for key in dataset:
        if key not in LAYOUTS:
            raise Failure(f"dataset has no list {key!r}{hint(key, LAYOUTS)}", ANSWERED_ERROR)
    return int(run_checked(lambda: session.load_json(text, command=command)))


def run_checked(step: Callable[[], Any]) -> Any:
    """Run a step of the data layer; its refusals are answered errors (exit 1)."""
    from ..errors import DatasetError, SpecError, XrayError

    try:
        return step()
    except (DatasetError, MemoryError) as e:
        raise data_failure(e) from None
    except (XrayError, SpecError) as e:
        raise Failure(one_line(e), ANSWERED_ERROR) from None


def cmd_frame(args: argparse.Namespace) -> int:
    session = _session(spec_text(args.spec))
    at = parse_time(args.at) if args.at is not None else None
    options = data_options(args)
    run_checked(lambda: load_dataset(session, args.dataset, options))
    frame = run_checked(lambda: session.frame(at))
    if args.out in (None, "-"):
        sys.stdout.write(frame.text + "\n")
    else:
        write_text(args.out, frame.text)
    if args.png:
        draw(frame, args.png)
    if args.flow_png:
        run_checked(lambda: draw_order_flow(session, args.flow_png, bar=args.bar, at=at))
    return DONE


