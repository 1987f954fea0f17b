"""Warnings about frames that are exact but likely not what was meant, with their numbers.

Each cause warns once per session (`OnceWarner`); the checks that pass over
loaded records run once per dataset and spec, the heatmap's until it warns.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from . import _clock
from ._schema import PANEL_DEFAULTS, PANEL_TAG
from .errors import OnceWarner

if TYPE_CHECKING:
    from ._loaded import Loaded
    from .frame import Frame

# The lists each panel reads; a panel with none of its lists loaded is empty.
PANEL_INPUTS = {
    "footprint": ("trades",),
    "book_heatmap": ("book",),
    "liquidation_map": ("liquidations",),
    "funding_oi_divergence": ("funding", "oi", "candles"),
}
OFF_GRID_SHARE = 0.5  # warn when more of the window's book levels than this lie off the grid
TICK_DOCS = "docs/main-job.md#footprint-bins-and-the-tick"


def utc(ms: int) -> str:
    import numpy as np

    return f"{np.datetime64(int(ms), 'ms')}Z"


def duration(ms: int) -> str:
    for unit, size in (("days", 86_400_000), ("h", 3_600_000), ("min", 60_000), ("s", 1000)):
        if ms >= size:
            return f"{ms / size:.1f} {unit}"
    return f"{ms} ms"


def param(panel: Mapping[str, Any], name: str) -> Any:
    return panel.get(name, PANEL_DEFAULTS[panel[PANEL_TAG]][name])


class FrameChecks:
    """The checks of one session; `reset` when its dataset or spec changes."""

    def __init__(self, warn: OnceWarner) -> None:
        self.warn = warn
        self.done: set[str] = set()

    def reset(self) -> None:
        self.done.clear()

    def loaded(self, loaded: Loaded) -> None:
        if sum(loaded.counts.values()) == 0 and loaded.given:
            empty = ", ".join(sorted(loaded.given))
            self.warn("empty load", f"no records loaded: {empty} held no rows (a header only?); "
                                    f"every frame answers 'data: no dataset' until a load brings some")

    def cursor(self, at: int, bounds: tuple[int, int, int] | None, window_ms: int | None) -> None:
        """A cursor before the first record, or past the last one, says so and by how much."""
        if bounds is None:
            return
        first, last, _ = bounds
        span = f"the loaded data ({utc(first)} .. {utc(last)})"
        if at < first:
            message = f"cursor {at} ms is {utc(at)}, before {span}, so the frame is empty"
            if _clock.unit_of(abs(at)) == "s" and _clock.unit_of(abs(last)) == "ms":
                message += (f"; {at} looks like epoch seconds ({utc(at * 1000)}): pass {at * 1000} ms, "
                            f"a datetime or ISO text")
            self.warn("cursor before", message)
        elif at > last:
            holds = ("its window holds no records" if window_ms is not None and at - window_ms + 1 > last
                     else "the frame holds nothing newer")  # fmt: skip
            self.warn("cursor after", f"cursor {utc(at)} lies {duration(at - last)} after the last "
                                      f"record of {span}; {holds}")

    def frame(self, frame: Frame, panels: list[Any], loaded: Loaded | None, low: int | None) -> None:
        if loaded is None:
            return
        for panel in panels:
            kind = panel.get(PANEL_TAG) if isinstance(panel, Mapping) else None
            if kind not in PANEL_INPUTS:
                continue
            self._inputs(kind, loaded)
            if kind == "footprint":
                self._tick(float(param(panel, "price_bin")), loaded)
            elif kind == "funding_oi_divergence" and not loaded.counts.get("candles") and (
                    loaded.counts.get("funding") or loaded.counts.get("oi")):
                self.warn("no candles", "the funding_oi_divergence panel has no candles: the engine's "
                          "text carries price 0.0, and the frame's price array takes the last trade's "
                          "price instead (NaN before the first trade); load candles for closes")
        heatmap = frame.book_heatmap
        if heatmap is not None and len(heatmap.price) and "heatmap grid" not in self.warn.seen:
            self._grid(heatmap.price, frame.cursor_ts, loaded, low, panels)

    def _inputs(self, kind: str, loaded: Loaded) -> None:
        inputs = PANEL_INPUTS[kind]
        if any(loaded.counts.get(name) for name in inputs):
            return
        given = [name for name in inputs if name in loaded.given]
        why = f"{' and '.join(given)} held no rows" if given else "none is loaded"
        have = ", ".join(f"{name} {n:,}" for name, n in loaded.counts.items() if n) or "nothing"
        self.warn(f"inputs {kind}", f"the {kind} panel reads {' or '.join(inputs)}, and {why} "
                                    f"(loaded: {have}), so it is empty")

    def _tick(self, price_bin: float, loaded: Loaded) -> None:
        key = f"tick {price_bin!r}"
        if key in self.done:
            return
        self.done.add(key)
        low, distinct, example = loaded.one_bin_low(price_bin)
        if not low:
            return
        from ._loaded import engine_bin, tick_safe_bin

        safe = tick_safe_bin(loaded.distinct_prices, price_bin)
        fix = f"price_bin {safe!r} puts each in its own bin" if safe is not None else "another price_bin"
        shown = engine_bin(example, price_bin)
        self.warn(key, f"footprint price_bin {price_bin!r}: {low:,} of {distinct:,} distinct traded "
                       f"prices fall in the bin below their own (e.g. {example!r} is shown at {shown!r}): "
                       f"the engine bins by floor(price / price_bin) in binary floating point; "
                       f"{fix} (see {TICK_DOCS})")

    def _grid(self, prices: Any, cursor: int, loaded: Loaded, low: int | None, panels: list[Any]) -> None:
        step = next(float(param(p, "price_bin")) for p in panels
                    if isinstance(p, Mapping) and p.get(PANEL_TAG) == "book_heatmap")  # fmt: skip
        grid_low, grid_high = float(prices.min()), float(prices.max()) + step
        off, total = loaded.off_grid(low, cursor, grid_low, grid_high)
        if total and off > OFF_GRID_SHARE * total:
            self.warn("heatmap grid", f"the book_heatmap grid ({grid_low:g} .. {grid_high:g}, "
                                      f"{len(prices)} levels of {step:g} around the final mid) leaves "
                                      f"{off / total:.0%} of the window's book levels off the grid, drawn "
                                      f"blank as if nothing rested there; widen depth_levels or price_bin "
                                      f"(Session.suggest_spec() sizes one to the data)")
