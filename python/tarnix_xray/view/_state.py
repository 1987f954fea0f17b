"""What the owner thread holds: the Session, the spec the page sees, the trailing window.

Frames go out as the engine's own text. With a trailing window the spec's
from_ts follows the cursor (cursor - window_ms), set again only when it moves.
"""

from __future__ import annotations

import copy
import json
from collections.abc import Callable, Mapping
from typing import Any

from ..errors import SpecError, XrayError
from ..session import Session


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
        self._bounds = self._command('{"cmd":"bounds"}')
        self.to_ts = int(json.loads(self._bounds)["to_ts"])
        self._applied_from: int | None = None
        self._apply(self.spec, self.window_ms, self.to_ts)

    def close(self) -> None:
        """Drop the Session (on the owner thread, which alone may release it)."""
        del self.session

    def bounds_text(self) -> str:
        return self._bounds

    def frame_text(self, ts: int) -> str:
        if self.window_ms is not None:
            start = _from_ts(self.spec, self.window_ms, ts)
            if start != self._applied_from:
                self.session.set_spec({**self.spec, "from_ts": start})
                self._applied_from = start
        return self._command(f'{{"cmd":"frame_at","ts":{ts}}}')

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
            self._apply(spec, window, self.to_ts)
        except (XrayError, SpecError, TypeError) as e:
            raise Refused(str(e), 422) from None
        self.spec, self.window_ms = spec, window
        return self.spec_view()

    # -- helpers ----------------------------------------------------------

    def _apply(self, spec: dict[str, Any], window: int | None, ts: int) -> None:
        # Checked at the last data time, so a refusal shows before any frame is asked.
        start = None if window is None else _from_ts(spec, window, ts)
        self.session.set_spec(spec if start is None else {**spec, "from_ts": start})
        self._applied_from = start

    def _command(self, text: str) -> str:
        response = self.session.xray.command(text)
        error = XrayError.from_response(response)
        if error is not None:
            raise error
        return response


def _from_ts(spec: Mapping[str, Any], window_ms: int, ts: int) -> int:
    start = ts - window_ms
    to_ts = spec.get("to_ts")
    # A cursor past to_ts is clamped to it; the window must not start after it.
    return min(start, to_ts) if isinstance(to_ts, int) and not isinstance(to_ts, bool) else start


def _window(value: Any) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise ValueError(f"window_ms is a positive integer (ms) or null, not {value!r}")
    return value
