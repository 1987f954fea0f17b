"""Running the app under uvicorn, and telling the person where to look."""

from __future__ import annotations

import contextlib
import socket
import threading
import time
import webbrowser
from collections.abc import Callable, Iterator
from typing import Any


# The wildcard addresses, and the address of this machine to open instead.
_EVERYWHERE = {"": "127.0.0.1", "0.0.0.0": "127.0.0.1", "::": "::1"}


def url_for(host: str, port: int) -> str:
    """Where to open the page on this machine when the server listens on `host`."""
    shown = _EVERYWHERE.get(host, host)
    return f"http://[{shown}]:{port}/" if ":" in shown else f"http://{shown}:{port}/"


def listens_on(host: str) -> str:
    """The addresses a server on `host` takes, in words."""
    if host == "::":
        return "every IPv4 and IPv6 address of this machine"
    if host in _EVERYWHERE:
        return "every IPv4 address of this machine"
    return host


def listening_socket(host: str, port: int) -> socket.socket:
    """A socket listening on `host`; "::" takes IPv4 as well (asyncio alone would make it IPv6-only)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    dual = host == "::" and socket.has_dualstack_ipv6()
    return socket.create_server((host, port), family=family, dualstack_ipv6=dual)


def serve(app: Any, host: str, port: int, *, open_browser: bool = False,
          on_ready: Callable[[str], None] | None = None) -> None:
    """Serve `app` until interrupted; OSError when `host`:`port` cannot be listened on."""
    import uvicorn  # tarnix_xray.view has checked it is there

    sock = listening_socket(host, port)

    class Server(uvicorn.Server):
        async def startup(self, sockets: Any = None) -> None:
            await super().startup(sockets)
            if self.started:
                url = url_for(host, sock.getsockname()[1])
                if on_ready is not None:
                    on_ready(url)
                if open_browser:
                    threading.Thread(target=webbrowser.open, args=(url,), daemon=True).start()

    # One worker: the Session lives in this process. Small header limits suit a local tool.
    config = uvicorn.Config(app, host=host, port=port, log_level="warning", workers=1,
                            h11_max_incomplete_event_size=16 * 1024, lifespan="off")
    with sock:
        Server(config).run(sockets=[sock])


@contextlib.contextmanager
def running(app: Any, host: str = "127.0.0.1", port: int = 0, timeout: float = 10.0) -> Iterator[str]:
    """Serve `app` on a background thread for a `with` block; yields the URL (port 0: any free one)."""
    import uvicorn

    config = uvicorn.Config(app, host=host, port=port, log_level="warning", lifespan="off")
    server = uvicorn.Server(config)
    thread = threading.Thread(target=server.run, name="xray-view-server", daemon=True)
    thread.start()
    deadline = time.monotonic() + timeout
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            raise RuntimeError(f"the viewer did not start on {host}:{port}")
        time.sleep(0.01)
    bound = server.servers[0].sockets[0].getsockname()[1]
    try:
        yield url_for(host, bound)
    finally:
        server.should_exit = True
        thread.join(timeout)
