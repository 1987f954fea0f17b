"""Pictures of order flow: footprint bars, and the book heatmap split into its sides.

Needs matplotlib (`pip install "tarnix_xray[plot]"`); built without pyplot,
like `tarnix_xray.plot`, which re-exports these functions. Empty or
one-sided inputs draw a labelled empty axes, never an exception.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._extras import need

need("matplotlib", "tarnix_xray.plot")
need("numpy", "tarnix_xray.plot")

import numpy as np  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402
from matplotlib.colors import LogNorm, TwoSlopeNorm  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

from ._plot_axes import empty_axes as _empty  # noqa: E402
from ._plot_axes import utc_time_axis as _time_axis  # noqa: E402

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from .order_flow import BookSides, FootprintBars, LargePrints
    from .session import Session

__all__ = ["order_flow_figure", "order_flow_picture", "plot_book_sides", "plot_footprint_bars"]

BUY, SELL = "#2e9d5b", "#d1453b"
_DAY_MS = 86_400_000.0
# Text in a cell once it is at least this large on screen (points).
_TEXT_MIN_W, _TEXT_MIN_H = 44.0, 8.0



def _cell_points(ax: Axes, width_days: float, height: float) -> tuple[float, float]:
    """The size on screen, in points, of a cell of the given data size."""
    box = ax.get_window_extent()
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    dpi = ax.figure.dpi
    return (box.width * width_days / max(x1 - x0, 1e-12) * 72 / dpi,
            box.height * height / max(abs(y1 - y0), 1e-12) * 72 / dpi)  # fmt: skip


def plot_footprint_bars(ax: Axes, bars: FootprintBars | None, *, text: bool | None = None) -> Axes:
    """One column of cells per bar, coloured by delta (ask - bid: green buys, red sells);
    buy imbalances marked ▶ on the right, sell imbalances ◀ on the left, each bar's POC
    outlined; "bid × ask" written in the cells when they are large enough (text=None)."""
    title = "Footprint bars"
    if bars is None or len(bars.cells["price"]) == 0:
        return _empty(ax, title, "no trades in the window")
    c, tick = bars.cells, bars.tick
    bar_ts = np.asarray(bars.bars["bar_ts"])[c["bar"]]
    left = bar_ts / _DAY_MS
    width = bars.bar_ms / _DAY_MS * 0.92
    low = c["price"] - tick / 2
    verts = np.stack([np.c_[left, low], np.c_[left + width, low], np.c_[left + width, low + tick],
                      np.c_[left, low + tick]], axis=1)  # fmt: skip
    starts = np.asarray(bars.bars["bar_ts"]) / _DAY_MS
    ax.set_xlim(float(starts.min()), float(starts.max()) + bars.bar_ms / _DAY_MS)
    ax.set_ylim(float(c["price"].min()) - tick, float(c["price"].max()) + tick)
    w, h = _cell_points(ax, width, tick)
    delta = c["ask_vol"] - c["bid_vol"]
    reach = float(np.abs(delta).max()) or 1.0
    # Cell edges only where cells are tall enough to show colour between them.
    cells = PolyCollection(verts, array=delta, cmap="RdYlGn", norm=TwoSlopeNorm(0.0, -reach, reach),
                           edgecolors="0.85", linewidths=0.3 if h >= 4 else 0.0)  # fmt: skip
    ax.add_collection(cells)
    poc = np.asarray(bars.bars["poc"])
    ax.add_collection(PolyCollection(
        np.stack([np.c_[starts, poc - tick / 2], np.c_[starts + width, poc - tick / 2],
                  np.c_[starts + width, poc + tick / 2], np.c_[starts, poc + tick / 2]], axis=1),
        facecolors="none", edgecolors="black", linewidths=1.0))  # fmt: skip
    buy, sell = c["buy_imbalance"], c["sell_imbalance"]
    ax.scatter(left[buy] + width, c["price"][buy], marker=">", s=10, color=BUY, zorder=3, label="buy imbalance")
    ax.scatter(left[sell], c["price"][sell], marker="<", s=10, color=SELL, zorder=3, label="sell imbalance")
    if text if text is not None else (w >= _TEXT_MIN_W and h >= _TEXT_MIN_H):
        size = max(4.0, min(9.0, h * 0.7))
        for x, y, bid, ask in zip(left + width / 2, c["price"], c["bid_vol"], c["ask_vol"]):
            ax.text(x, y, f"{bid:g} × {ask:g}", ha="center", va="center", fontsize=size, color="0.1")
    ax.figure.colorbar(cells, ax=ax, pad=0.01, label="delta (ask - bid)")
    ax.legend(loc="upper left", fontsize=7, framealpha=0.8)
    ax.set_title(f"{title}, {bars.bar_ms // 1000:g} s, tick {tick:g}", loc="left", fontsize=10, y=1.0)
    ax.set_ylabel("price")
    _time_axis(ax)
    return ax


def plot_book_sides(ax: Axes, sides: BookSides | None, *, prints: LargePrints | None = None) -> Axes:
    """Resting bids (greens) and asks (reds) on the heatmap's grid, the best bid and
    ask as lines, and large prints as bubbles (area by quantity, colour by aggressor)."""
    title = "Book by side"
    if sides is None or sides.bids.size == 0:
        return _empty(ax, title, "no book in the window")
    step = float(np.diff(sides.time).min()) if len(sides.time) > 1 else 60_000.0
    level = float(np.diff(sides.price).min()) if len(sides.price) > 1 else 1.0
    extent = (sides.time[0] / _DAY_MS, (sides.time[-1] + step) / _DAY_MS,
              float(sides.price[0]), float(sides.price[-1]) + level)  # fmt: skip
    filled = np.concatenate([sides.bids[sides.bids > 0], sides.asks[sides.asks > 0]])
    if filled.size:
        lo, hi = np.quantile(filled, [0.02, 0.995])
        norm = (lo, max(hi, lo * 1.0001))
        for side, cmap in ((sides.bids, "Greens"), (sides.asks, "Reds")):
            image = np.where(side > 0, side, np.nan).T
            ax.imshow(image, origin="lower", aspect="auto", extent=extent, cmap=cmap, interpolation="nearest",
                      norm=LogNorm(vmin=max(norm[0], 1e-12), vmax=max(norm[1], 1e-12)))  # fmt: skip
    ends = (sides.time + step) / _DAY_MS
    ax.plot(ends, sides.best_bid, color=BUY, lw=1.0, drawstyle="steps-pre", label="best bid")
    ax.plot(ends, sides.best_ask, color=SELL, lw=1.0, drawstyle="steps-pre", label="best ask")
    if prints is not None and len(prints):
        qty = np.asarray(prints.qty)
        area = 20 + 300 * qty / max(float(qty.max()), 1e-12)
        colours = np.where(np.asarray(prints.side) == 0, BUY, SELL)
        ax.scatter(np.asarray(prints.ts) / _DAY_MS, prints.price, s=area, c=colours, alpha=0.5,
                   edgecolors="black", linewidths=0.4, zorder=3, label=f"prints ≥ {prints.threshold:g}")  # fmt: skip
    ax.set_xlim(extent[0], extent[1])
    ax.set_ylim(extent[2], extent[3])
    ax.legend(loc="upper left", fontsize=7, framealpha=0.8)
    ax.set_title(title, loc="left", fontsize=10, y=1.0)
    ax.set_ylabel("price")
    _time_axis(ax)
    return ax


def order_flow_figure(bars: FootprintBars | None, sides: BookSides | None = None, *,
                      prints: LargePrints | None = None, path: str | Path | None = None,
                      dpi: int = 100) -> Figure:  # fmt: skip
    """Footprint bars above the book by side (when given); written to `path` (PNG) when given."""
    fig = Figure(figsize=(16, 10 if sides is not None else 6))
    rows = 2 if sides is not None else 1
    grid = fig.add_gridspec(rows, 1, left=0.05, right=0.98, bottom=0.06, top=0.93, hspace=0.25)
    plot_footprint_bars(fig.add_subplot(grid[0, 0]), bars)
    if sides is not None:
        plot_book_sides(fig.add_subplot(grid[1, 0]), sides, prints=prints)
    if path is not None:
        fig.savefig(path, dpi=dpi)
    return fig




def order_flow_picture(session: Session, path: str | Path | None = None, *, bar: Any = "1m", at: Any = None,
                       window: Any = None, quantile: float = 0.995) -> Figure:  # fmt: skip
    """The order flow of a session's frame window: footprint bars of `bar`, the book by side
    when the spec has a book_heatmap panel, and the prints of the top (1 - quantile) sizes."""
    from .errors import XrayError

    bars = session.footprint_bars(bar, at=at, window=window)
    try:
        sides = session.book_sides(at=at, window=window)
    except XrayError as e:
        if e.kind != "bad_spec":
            raise
        sides = None  # no book_heatmap panel: no grid to put the sides on
    prints = session.large_prints(quantile=quantile, at=at, window=window)
    return order_flow_figure(bars, sides, prints=prints, path=path)
