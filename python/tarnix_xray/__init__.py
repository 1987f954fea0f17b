"""Market history of one instrument into analysis frames, driven by JSON commands.

`Xray` is the engine itself; `Session` drives one with checks, loads data from
DataFrames and files, and returns `Frame` objects with numpy arrays. The data
helpers (`tarnix_xray.data`) need the `[data]` extra and are imported on first use.
"""

from typing import Any

from ._tarnix_xray import Xray, __version__
from .errors import DatasetError, SpecError, XrayError, XrayWarning
from .frame import Frame
from .session import Bounds, Session

__all__ = [
    "Bounds",
    "DatasetError",
    "Frame",
    "Session",
    "SpecError",
    "Xray",
    "XrayError",
    "XrayWarning",
    "__version__",
]


def __getattr__(name: str) -> Any:
    # The data layer needs numpy; only reaching for it imports it.
    if name == "data":
        import importlib

        return importlib.import_module(".data", __name__)
    raise AttributeError(f"module 'tarnix_xray' has no attribute {name!r}")
