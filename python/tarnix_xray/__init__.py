"""Market history of one instrument into analysis frames, driven by JSON commands."""

from ._tarnix_xray import Xray, __version__

__all__ = ["Xray", "__version__"]
