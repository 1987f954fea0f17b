"""Timestamps are read by tarnix_xray._clock; the data layer's modules take these names from here."""

from __future__ import annotations

from .._clock import Warn, unit_of

__all__ = ["Warn", "unit_of"]
