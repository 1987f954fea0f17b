"""Axes helpers shared by the panel pictures and the order-flow pictures."""

from __future__ import annotations

import datetime as _dt
from typing import TYPE_CHECKING

from ._extras import need

need("matplotlib", "tarnix_xray.plot")

import matplotlib.dates as mdates  # noqa: E402

if TYPE_CHECKING:
    from matplotlib.axes import Axes

_UTC = _dt.timezone.utc


def empty_axes(ax: Axes, title: str, why: str) -> Axes:
    """A titled axes saying why it holds nothing."""
    # Titles sit at a fixed height (y=1.0): placing them automatically measures
    # every tick label of every twinned axes, a third of the drawing time.
    ax.set_title(title, loc="left", fontsize=10, y=1.0)
    ax.text(0.5, 0.5, why, transform=ax.transAxes, ha="center", va="center", color="0.4")
    # Labels only: the tick locators may be shared with axes that do show data.
    ax.tick_params(labelbottom=False, labelleft=False)
    return ax


def utc_time_axis(ax: Axes) -> None:
    """Dates on the x axis, in UTC whatever the machine's time zone."""
    locator = mdates.AutoDateLocator(tz=_UTC)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator, tz=_UTC))
