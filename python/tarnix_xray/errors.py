"""The exceptions and warnings of the tarnix_xray package (no dependencies)."""

from __future__ import annotations

import json
import logging
import os
import sys
import types
import warnings

# Display prefixes of the engine's error kinds, longest first so that none is
# a prefix of another one checked before it.
_KINDS = (("bad spec: ", "bad_spec"), ("parse: ", "parse"), ("data: ", "data"))


class XrayError(Exception):
    """The engine refused a command; `kind` is "parse", "bad_spec" or "data".

    `str(error)` is the engine's own display text, e.g. "bad spec: no spec set";
    `message` is that text without its kind prefix.
    """

    def __init__(self, display_text: str) -> None:
        super().__init__(display_text)
        self.kind = "unknown"
        self.message = display_text
        for prefix, kind in _KINDS:
            if display_text.startswith(prefix):
                self.kind, self.message = kind, display_text[len(prefix) :]
                break

    @classmethod
    def from_response(cls, response: str) -> XrayError | None:
        """The error of an error response text, or None for any other text."""
        if not response.startswith('{"ok":false'):
            return None
        return cls(json.loads(response)["error"])


class DatasetError(ValueError):
    """Data that cannot be loaded; names the list, column or key, row and value."""


class UnreadableFile(DatasetError):
    """A file that cannot be read as a table at all: corrupt, truncated, empty, not UTF-8, a folder."""


class SpecError(ValueError):
    """A spec key that the engine would skip silently (checked sessions only)."""


class XrayWarning(UserWarning):
    """A frame that is exact but probably not what was meant."""


class OnceWarner:
    """Issues each cause's XrayWarning once for the life of this object."""

    def __init__(self) -> None:
        self.seen: set[str] = set()

    def __call__(self, cause: str, message: str) -> None:
        if cause not in self.seen:
            self.seen.add(cause)
            warnings.warn(message, XrayWarning, stacklevel=_caller_level())


def _caller_level() -> int:
    """The stacklevel of the first caller outside this package, so a warning names the user's line."""
    package = os.path.dirname(__file__) + os.sep
    frame: types.FrameType | None = sys._getframe(2)
    level = 2  # warnings.warn's caller is level 1
    while frame is not None and frame.f_code.co_filename.startswith(package):
        frame, level = frame.f_back, level + 1
    return level


def note(message: str) -> None:
    """Say something worth knowing that is no fault (columns left out): an info record of the
    "tarnix_xray" logger, which the command line prints and a program may show or not."""
    logging.getLogger("tarnix_xray").info(message)
