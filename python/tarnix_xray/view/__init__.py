"""A browser viewer: scrub a dataset's frames with a time slider (the `[view]` extra).

    from tarnix_xray.view import Viewer
    viewer = Viewer(lambda spec: load_my_data(Session(spec)), spec, window_ms=15 * 60_000)
    viewer.serve(port=8765)          # http://127.0.0.1:8765

`open_session(spec)` runs on the viewer's own thread, which owns the
Session from then on; the server's request threads never touch it.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import Any

from .._extras import need

# Before the modules below: the app imports starlette at its top, the server uvicorn.
need("starlette", "tarnix_xray.view")
need("uvicorn", "tarnix_xray.view")

from ..session import Session  # noqa: E402
from ._app import create_app  # noqa: E402
from ._owner import Owner, Superseded  # noqa: E402
from ._state import Refused, ViewState  # noqa: E402
from ._window import window_spec  # noqa: E402

__all__ = ["Refused", "Superseded", "Viewer", "window_spec"]


class Viewer:
    """One Session on its owner thread and the ASGI app that serves it."""

    def __init__(self, open_session: Callable[[dict[str, Any]], Session], spec: Mapping[str, Any], *,
                 window_ms: int | None = None, allowed_hosts: Iterable[str] = (),
                 start_timeout: float | None = None) -> None:
        self.owner: Owner[ViewState] = Owner(lambda: ViewState(open_session, spec, window_ms),
                                             ViewState.frame_answer)
        self.owner.start(start_timeout)
        self.app = create_app(self.owner, allowed_hosts)

    def serve(self, host: str = "127.0.0.1", port: int = 8765, *, open_browser: bool = False,
              on_ready: Callable[[str], None] | None = None) -> None:
        """Serve until interrupted; `on_ready(url)` runs once the socket listens."""
        from ._server import serve

        try:
            serve(self.app, host, port, open_browser=open_browser, on_ready=on_ready)
        finally:
            self.close()

    def close(self) -> None:
        self.owner.close()
