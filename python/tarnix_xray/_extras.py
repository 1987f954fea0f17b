"""The optional packages, the extra that installs each, and the one way to import them.

`need` is called before a part uses an optional package, so that a missing
one is met as a single message naming the extra to install, whichever part
the user came in through. tools/check_layers.py reads `EXTRAS` from here.
"""

from __future__ import annotations

import importlib
from types import ModuleType

# Top-level package -> the extra of pyproject.toml that installs it. numpy is
# in [plot] as well; [data] is what frames and tables need it for.
EXTRAS: dict[str, str] = {
    "numpy": "data",
    "pandas": "data",
    "pyarrow": "data",
    "tqdm": "data",
    "matplotlib": "plot",
    "starlette": "view",
    "uvicorn": "view",
    "dask": "batch",
    "distributed": "batch",
}


class MissingExtra(ImportError):
    """An optional package is not installed; the message names the extra that brings it."""


def need(module: str, what: str) -> ModuleType:
    """`module` imported; else MissingExtra, '{what} needs {package}: pip install "tarnix_xray[extra]"'."""
    package = module.partition(".")[0]
    extra = EXTRAS[package]  # a KeyError here is a package missing from the table
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise MissingExtra(f'{what} needs {package}: pip install "tarnix_xray[{extra}]"', name=package) from e


def optional(module: str) -> ModuleType | None:
    """`module` imported, or None without it: for what works as well without (progress bars)."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None
