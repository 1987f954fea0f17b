"""`demo`: a synthetic market through the whole road, load to picture, with a summary."""

from __future__ import annotations

import argparse
import json
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._common import DONE, draw, draw_order_flow, one_line, usage, write_text
from ._view import add_demo_view_arguments, cmd_demo_view

if TYPE_CHECKING:
    from ..frame import Frame

STRONGEST_BINS = 5


def _hours(value: str) -> float:
    try:
        hours = float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {value!r}") from None
    # Longer markets work, but the demo is meant to finish in seconds.
    if not 0 < hours <= 48:
        raise argparse.ArgumentTypeError(f"hours must be in (0, 48], got {value}")
    return hours


MAX_SEED = 2**63 - 1  # the generator salts 64-bit hashes with seed + a few


def _seed(value: str) -> int:
    try:
        seed = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {value!r}") from None
    if not 0 <= seed <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"seed must be in 0..{MAX_SEED}, got {value}")
    return seed


def add_demo_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--out", metavar="DIR", default="xray-demo", help="output folder (default xray-demo)")
    parser.add_argument("--hours", type=_hours, default=1.0, metavar="H", help="market length (default 1)")
    parser.add_argument("--seed", type=_seed, default=0, metavar="N", help="random seed (default 0)")
    parser.add_argument("--no-png", action="store_true", help="skip the dashboard picture")
    add_demo_view_arguments(parser)


def cmd_demo(args: argparse.Namespace) -> int:
    if args.view:
        return cmd_demo_view(args)
    from .. import Session, data
    from ..synthetic import demo_spec, generate_market

    out = Path(args.out)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise usage(f"cannot create {out}: {e.strerror or one_line(e)}") from None

    clock = Clock()
    market = clock.time("generate", lambda: generate_market(args.hours, seed=args.seed))
    spec = demo_spec(market)
    session = Session(spec)
    dataset = clock.time("columns", lambda: data.dataset(**market))
    loaded = clock.time("load", lambda: session.load(dataset))
    frame = clock.time("frame", session.frame)
    # The dataset and spec as files, so that `frame` can take it from here.
    write_text(out / "dataset.json", dataset.load_text(command=False))
    write_text(out / "spec.json", json.dumps(spec, indent=1))
    write_text(out / "frame.json", frame.text)
    written = [out / "dataset.json", out / "spec.json", out / "frame.json"]
    if not args.no_png:
        clock.time("dashboard", lambda: draw(frame, out / "dashboard.png"))
        # The last half hour in 1-minute footprint bars, the book by side below.
        clock.time("order flow", lambda: draw_order_flow(session, out / "order_flow.png", window="30m"))
        written += [out / "dashboard.png", out / "order_flow.png"]
    bounds = session.bounds()
    print("\n".join(summary(frame, loaded, (bounds.from_ts, bounds.to_ts), market, clock.phases)))
    print("wrote " + ", ".join(str(p) for p in written))
    return DONE


class Clock:
    """Seconds per named phase, in the order they ran."""

    def __init__(self) -> None:
        self.phases: dict[str, float] = {}

    def time(self, name: str, step: Any) -> Any:
        start = time.perf_counter()
        result = step()
        self.phases[name] = time.perf_counter() - start
        return result


def _utc(ms: int) -> str:
    import numpy as np

    return str(np.datetime_as_string(np.datetime64(ms, "ms"), unit="s")).replace("T", " ")


def summary(
    frame: Frame, loaded: int, span: tuple[int, int], market: dict[str, Any], phases: dict[str, float]
) -> list[str]:
    """The printed summary; every figure comes from the frame or the load."""
    rows = ", ".join(f"{name} {len(df):,}" for name, df in market.items())
    lines = [
        f"{frame.symbol}: {loaded:,} records loaded ({rows} rows)",
        f"span      {_utc(span[0])} .. {_utc(span[1])} UTC ({(span[1] - span[0]) / 3_600_000:.2f} h)",
        "times     " + ", ".join(f"{k} {v:.3f} s" for k, v in phases.items()),
    ]
    fp = frame.footprint
    if fp is not None and len(fp.price_bins):
        lo, hi = fp.value_area()
        lines.append(f"footprint POC {fp.poc:.8g}, value area {lo:.8g} .. {hi:.8g}, "
                     f"total delta {fp.total_delta:+.8g}")
        lines.append("          strongest bins (price  buy  sell  delta):")
        for i in sorted(range(len(fp.price_bins)), key=lambda i: -fp.volume[i])[:STRONGEST_BINS]:
            lines.append(f"          {fp.price_bins[i]:>10.8g} {fp.buy_vol[i]:>10.8g} {fp.sell_vol[i]:>10.8g} "
                         f"{fp.delta[i]:>+10.8g}")
    lm = frame.liquidation_map
    if lm is not None:
        parts = []
        for side in ("long", "short"):
            mine = lm.side == side
            parts.append(f"{side} {int(mine.sum())} ({float(lm.qty[mine].sum()):.8g})")
        lines.append("liquidations " + ", ".join(parts))
    return lines
