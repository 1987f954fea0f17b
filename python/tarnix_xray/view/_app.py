"""The viewer's routes: the page, its static files and the JSON API.

    GET /                  the page (index.html; its scripts and styles by name)
    GET /api/bounds        the dataset bounds (engine text)
    GET /api/frame?ts=MS   the frame at MS, or at ISO 8601 text (engine text, not re-encoded)
    GET /api/view?ts=MS    what the page draws: {"frame": that text, "series": the funding panel as Frame reads it}
    GET /api/footprint_bars?ts=MS&bar_ms=N   footprint bars of the frame window at MS
    GET /api/spec          {"spec": {...}, "window_ms": N or null}
    PUT /api/spec          the same body; 422 with the engine's message when refused

Handlers never touch the Session: they hand jobs to the owner thread and
await its answer.
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import Iterable
from importlib import resources
from typing import Any

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .._clock import duration_ms, to_ms
from ..errors import XrayError
from ._guard import BodyTooLarge, Guard
from ._owner import Owner, Superseded
from ._state import Refused, ViewState

_TYPES = {".html": "text/html", ".js": "text/javascript", ".css": "text/css"}
# The page loads nothing from elsewhere and runs no inline script.
_HEADERS = {"content-security-policy": "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'",
            "x-content-type-options": "nosniff", "cache-control": "no-store"}


def parse_ts(raw: str | None) -> int:
    """The ts query parameter (ms or ISO 8601 text) as int ms; Refused (400) otherwise."""
    if raw is None:
        raise Refused("ts is required: /api/frame?ts=MILLISECONDS", 400)
    if len(raw) > 64:  # no time is this long; do not echo it
        raise Refused(f"ts {raw[:20]!r}... is not a time", 400)
    try:
        return to_ms(raw, what="ts")
    except ValueError as e:
        raise Refused(str(e), 400) from None


# A spec nests three deep (spec, panels, panel); deeper bodies are refused
# before anything recurses over them.
MAX_BODY_DEPTH = 32


def _no_constant(name: str) -> Any:
    # Python's json reads NaN and Infinity; JSON and the engine have no such numbers.
    raise ValueError(f"{name} is not a JSON number")


def parse_body(raw: bytes) -> Any:
    """A request body as JSON: Refused (400) when it is not, has NaN or Infinity, or nests too deep."""
    too_deep = Refused(f"the body nests arrays and objects more than {MAX_BODY_DEPTH} deep", 400)
    try:
        body = json.loads(raw, parse_constant=_no_constant)
    except ValueError as e:  # JSONDecodeError and UnicodeDecodeError among them
        raise Refused(f"the body is not JSON: {e}", 400) from None
    except RecursionError:
        raise too_deep from None
    level = [body]
    for _ in range(MAX_BODY_DEPTH):
        level = [v for c in level if isinstance(c, (dict, list)) for v in (c.values() if isinstance(c, dict) else c)]
    if any(isinstance(c, (dict, list)) for c in level):
        raise too_deep
    return body


def _static_files() -> dict[str, tuple[bytes, str]]:
    """The page's files by URL path, read once: "/" is index.html."""
    files = {}
    for entry in resources.files(__package__).joinpath("static").iterdir():
        kind = _TYPES.get("." + entry.name.rsplit(".", 1)[-1])
        if kind is not None:
            path = "/" if entry.name == "index.html" else "/" + entry.name
            files[path] = (entry.read_bytes(), kind + "; charset=utf-8")
    return files


def _error(message: str, status: int) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status, headers=_HEADERS)


def _engine_text(text: str) -> Response:
    return Response(text, media_type="application/json", headers=_HEADERS)


def create_app(owner: Owner[ViewState], allowed_hosts: Iterable[str] = ()) -> Guard:
    """The ASGI app over a started owner; extra `allowed_hosts` for a non-local bind."""
    files = _static_files()

    async def answer(future: Any) -> Any:
        return await asyncio.wrap_future(future)

    async def static(request: Request) -> Response:
        body, kind = files[request.url.path]
        return Response(body, media_type=kind, headers=_HEADERS)

    async def bounds(request: Request) -> Response:
        try:
            return _engine_text(await answer(owner.call(ViewState.bounds_text)))
        except XrayError as e:
            return _error(str(e), 409)

    async def frame(request: Request) -> Response:
        try:
            ts = parse_ts(request.query_params.get("ts"))
            text, series = await answer(owner.frame(ts))
            if request.url.path == "/api/view":
                text = f'{{"frame":{text},"series":{series}}}'
            return _engine_text(text)
        except Refused as e:
            return _error(str(e), e.status)
        except Superseded as e:
            return _error(str(e), 409)
        except XrayError as e:
            return _error(str(e), 422)

    async def footprint_bars(request: Request) -> Response:
        try:
            ts = parse_ts(request.query_params.get("ts"))
            bar_ms = duration_ms(request.query_params.get("bar_ms", "60000"), "bar_ms")
            return JSONResponse(await answer(owner.call(lambda s: s.footprint_bars(ts, bar_ms))), headers=_HEADERS)
        except Refused as e:
            return _error(str(e), e.status)
        except ValueError as e:  # a bar_ms that is no duration
            return _error(str(e), 400)
        except XrayError as e:
            return _error(str(e), 422)

    async def spec(request: Request) -> Response:
        if request.method == "GET":
            return JSONResponse(await answer(owner.call(ViewState.spec_view)), headers=_HEADERS)
        try:
            body = parse_body(await request.body())
        except BodyTooLarge as e:
            return _error(str(e), 413)
        except Refused as e:
            return _error(str(e), e.status)
        try:
            return JSONResponse(await answer(owner.call(lambda state: state.put_spec(body))), headers=_HEADERS)
        except Refused as e:
            return _error(str(e), e.status)

    routes = [Route(path, static) for path in files]
    routes += [Route("/api/bounds", bounds), Route("/api/frame", frame), Route("/api/view", frame),
               Route("/api/footprint_bars", footprint_bars), Route("/api/spec", spec, methods=["GET", "PUT"])]
    return Guard(Starlette(routes=routes), allowed_hosts)
