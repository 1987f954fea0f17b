"""Guards in front of every route: a local Host (DNS rebinding), a bounded body.

A page on another site can point its own host name at 127.0.0.1; its
requests then carry that name in Host, so only local names are answered.
"""

from __future__ import annotations

import json
from collections.abc import Iterable
from typing import Any

from starlette.types import ASGIApp, Message, Receive, Scope, Send

LOCAL_HOSTS = frozenset({"127.0.0.1", "localhost", "::1"})
MAX_BODY_BYTES = 64 * 1024  # a spec is a few hundred bytes


def host_name(header: str) -> str:
    """The name part of a Host header: no port, no IPv6 brackets, lower case.

    Strict: after a name only ":digits" may follow, and a bracketed IPv6
    address is the whole name ("[::1]evil.example" is not "::1"); anything
    else comes back whole, which no allowed name equals.
    """
    header = header.strip().lower()
    if header.startswith("["):
        name, bracket, rest = header[1:].partition("]")
        return name if bracket and _port_or_nothing(rest) else header
    if header.count(":") == 1:
        name, _, port = header.partition(":")
        return name if _digits(port) else header
    return header


def _port_or_nothing(rest: str) -> bool:
    return rest == "" or (rest.startswith(":") and _digits(rest[1:]))


def _digits(text: str) -> bool:
    return text.isascii() and text.isdigit()


class Guard:
    """ASGI middleware: 403 for a foreign Host or Origin, 413 for a body over the bound."""

    def __init__(self, app: ASGIApp, allowed_hosts: Iterable[str] = (), max_body: int = MAX_BODY_BYTES) -> None:
        self.app = app
        self.allowed = LOCAL_HOSTS | {h.lower().strip("[]") for h in allowed_hosts}
        self.max_body = max_body

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {k.decode("latin-1"): v.decode("latin-1") for k, v in scope["headers"]}
        host = host_name(headers.get("host", ""))
        if host not in self.allowed:
            await _answer(send, 403, f"host {host!r} is not served here; open the viewer as http://127.0.0.1")
            return
        origin = headers.get("origin")
        if origin is not None and host_name(origin.split("://", 1)[-1]) not in self.allowed:
            await _answer(send, 403, "requests from other sites are not served")
            return
        length = headers.get("content-length")
        if length is not None and (not length.isdigit() or int(length) > self.max_body):
            await _answer(send, 413, f"request body over {self.max_body} bytes")
            return
        await self.app(scope, _bounded(receive, self.max_body), send)


class BodyTooLarge(Exception):
    pass


def _bounded(receive: Receive, limit: int) -> Receive:
    # A chunked body has no Content-Length: count what arrives.
    seen = 0

    async def bounded() -> Message:
        nonlocal seen
        message = await receive()
        if message["type"] == "http.request":
            seen += len(message.get("body", b""))
            if seen > limit:
                raise BodyTooLarge(f"request body over {limit} bytes")
        return message

    return bounded


async def _answer(send: Send, status: int, message: str) -> None:
    body = json.dumps({"error": message}).encode()
    headers: list[Any] = [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})
