"""What the owner thread holds: the Session, the spec the page sees, the trailing window.

Frames go out as the engine's own text, one engine call per scrub step; the
trailing window is the Session's (the last window_ms ms up to the cursor).
Beside the text goes the funding panel as `Frame` reads it, which the page
draws: a value before its series' first record is missing (null), not the
engine's 0.0, and the price falls back to the last trade where no candle is.
"""

from __future__ import annotations

import copy
import json
import math
from collections.abc import Callable, Mapping
from typing import Any

from ..errors import SpecError, XrayError
from ..session import Session


INT64_MIN = -(2**63)  # the earliest time the engine holds, in ms


class Refused(Exception):
    """A request the viewer turns down; `status` is the HTTP status to answer with."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


class ViewState:
    """Built on the owner thread; only that thread calls its methods."""

    def __init__(self, open_session: Callable[[dict[str, Any]], Session], spec: Mapping[str, Any],
                 window_ms: int | None = None) -> None:
        self.spec = copy.deepcopy(dict(spec))
        self.window_ms = _window(window_ms)
        self.session = open_session(self.spec)
        bounds = self.session.bounds()
        self._bounds = json.dumps(bounds._asdict(), separators=(",", ":"))
        self.to_ts = bounds.to_ts

    def close(self) -> None:
        """Drop the Session (on the owner thread, which alone may release it)."""
        self.session.close()

    def bounds_text(self) -> str:
        return self._bounds

    def frame_answer(self, ts: int) -> tuple[str, str]:
        """The engine's text of the frame at `ts`, and its funding series (JSON) for the page."""
        if self.window_ms is not None and ts - self.window_ms + 1 < INT64_MIN:
            raise Refused(f"ts {ts} is too early for the {self.window_ms} ms window: it would start "
                          f"before the earliest int64 millisecond ({INT64_MIN})", 400)  # fmt: skip
        frame = self.session.frame(ts, window=self.window_ms)
        return frame.text, series_json(frame)

    def footprint_bars(self, ts: int, bar_ms: int) -> dict[str, Any]:
        """Footprint bars of the frame window at ts, as the page draws them."""
        bars = self.session.footprint_bars(bar_ms, at=ts, window=self.window_ms)
        cells = {k: bars.cells[k].tolist() for k in ("bar", "price", "bid_vol", "ask_vol")}
        flags = {k: bars.cells[k].astype(int).tolist() for k in ("buy_imbalance", "sell_imbalance")}
        return {"tick": bars.tick, "bar_ms": bar_ms, "bar_ts": bars.bars["bar_ts"].tolist(),
                "poc": bars.bars["poc"].tolist(), **cells, **flags}  # fmt: skip

    def spec_view(self) -> dict[str, Any]:
        return {"spec": self.spec, "window_ms": self.window_ms}

    def put_spec(self, body: Any) -> dict[str, Any]:
        """Replace the spec (and window) from a PUT body; the engine's refusal keeps the old one."""
        if not isinstance(body, dict) or not isinstance(body.get("spec"), dict):
            raise Refused('the body is {"spec": {...}, "window_ms": N or null}', 400)
        unknown = sorted(set(body) - {"spec", "window_ms"})
        if unknown:
            raise Refused(f"unknown member {unknown[0]!r}; the body has spec and window_ms", 400)
        try:
            window = _window(body.get("window_ms"))
        except ValueError as e:
            raise Refused(str(e), 400) from None
        spec = copy.deepcopy(body["spec"])
        try:
            self.session.set_spec(spec)
        except (XrayError, SpecError, TypeError, ValueError) as e:  # ValueError: NaN has no JSON text
            raise Refused(str(e), 422) from None
        self.spec, self.window_ms = spec, window
        return self.spec_view()


def series_json(frame: Any) -> str:
    """The frame's funding panel as {"time", "funding", "oi", "price"}, NaN as null; null without one."""
    panel = frame.funding_oi
    if panel is None:
        return "null"
    series = {"time": panel.time.tolist()}
    for name in ("funding", "oi", "price"):
        series[name] = [None if math.isnan(v) else v for v in getattr(panel, name).tolist()]
    return json.dumps(series, separators=(",", ":"), allow_nan=False)


def _window(value: Any) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise ValueError(f"window_ms is a positive integer (ms) or null, not {value!r}")
    return value
