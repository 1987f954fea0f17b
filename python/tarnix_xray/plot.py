"""Pictures of a frame: one function per panel on a given Axes, and `dashboard`.

Needs matplotlib (`pip install "tarnix_xray[plot]"`). Figures are built
without pyplot, so nothing here picks a GUI backend: `dashboard` works
headless and `Figure.savefig` renders through Agg. Time axes are UTC.
An empty or one-sided panel draws a labelled empty axes, never an exception.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._extras import need

# matplotlib first: it brings numpy, and its message names the [plot] extra.
need("matplotlib", "tarnix_xray.plot")
need("numpy", "tarnix_xray.plot")

import numpy as np  # noqa: E402
from matplotlib.colors import LogNorm  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.ticker import FormatStrFormatter, NullFormatter  # noqa: E402
from ._plot_axes import empty_axes as _empty  # noqa: E402
from ._plot_axes import utc_time_axis as _time_axis  # noqa: E402
from .plot_flow import order_flow_figure, order_flow_picture, plot_book_sides, plot_footprint_bars  # noqa: E402, F401

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from .frame import BookHeatmapPanel, FootprintPanel, Frame, FundingOiPanel, LiquidationMapPanel
    from .order_flow import FootprintBars

__all__ = [
    "dashboard",
    "mid_line",
    "plot_footprint",
    "plot_funding_oi",
    "plot_heatmap",
    "plot_liquidations",
]

BUY, SELL = "#2e9d5b", "#d1453b"
LONG, SHORT = "#d1453b", "#2e9d5b"  # longs are flushed by falls: the sell colour


def _dates(ms: np.ndarray) -> np.ndarray:
    """int64 milliseconds to matplotlib date numbers (days since the epoch)."""
    return np.asarray(ms, dtype=np.float64) / 86_400_000.0


def _step(values: np.ndarray, fallback: float) -> float:
    """The grid's spacing: the smallest gap between finite, distinct values."""
    finite = np.unique(values[np.isfinite(values)])
    gaps = np.diff(finite)
    return float(gaps.min()) if gaps.size else fallback


def plot_footprint(ax: Axes, panel: FootprintPanel | None, *, fraction: float = 0.7) -> Axes:
    """Mirrored bars per price bin: sells left, buys right, delta as a thin bar;
    the point of control as a line and the value area as a band."""
    title = "Footprint"
    if panel is None or not np.isfinite(panel.price_bins).any():
        return _empty(ax, title, "no trades in the window")
    price, buy, sell = panel.price_bins, np.nan_to_num(panel.buy_vol), np.nan_to_num(panel.sell_vol)
    height = _step(price, 1.0)
    centre = price + height / 2  # a bin spans [price, price + bin)
    ax.barh(centre, -sell, height=height * 0.9, color=SELL, label="sell")
    ax.barh(centre, buy, height=height * 0.9, color=BUY, label="buy")
    delta = buy - sell
    ax.barh(centre, delta, height=height * 0.3, color="0.15", label="delta")
    lo, hi = panel.value_area(fraction)
    ax.axhspan(lo, hi + height, color="#f2c14e", alpha=0.25, lw=0, label=f"value area {fraction:.0%}")
    poc = panel.poc
    ax.axhline(poc + height / 2, color="#7b3fa0", lw=1.2, ls="--", label=f"POC {poc:g}")
    ax.axvline(0.0, color="0.3", lw=0.6)
    ax.set_title(f"{title}  (total delta {panel.total_delta:+,.2f})", loc="left", fontsize=10, y=1.0)
    ax.set_xlabel("sell ← volume → buy")
    ax.legend(loc="upper right", fontsize=7, framealpha=0.8)
    return ax


def mid_line(funding_oi: FundingOiPanel | None) -> tuple[np.ndarray, np.ndarray] | None:
    """A price line for the heatmap: the price carried by the funding panel
    (candle close, else last trade), placed at the end of each bucket (the
    price is known then).

    The frame holds no mid price; the heatmap's cells sum bids and asks, so
    the touch cannot be told from them. Buckets without a price (NaN, or 0.0
    in a frame read from text) are left out. None when there is no such panel
    or no price.
    """
    if funding_oi is None or len(funding_oi.time) == 0:
        return None
    price = funding_oi.price
    keep = np.isfinite(price) & (price != 0.0)
    if not keep.any():
        return None
    width = _step(funding_oi.time.astype(np.float64), 60_000.0)
    return funding_oi.time[keep] + int(width), price[keep]


def plot_heatmap(
    ax: Axes,
    panel: BookHeatmapPanel | None,
    *,
    mid: tuple[np.ndarray, np.ndarray] | None = None,
    scale: str = "log",
) -> Axes:
    """Resting quantity as an image on time × price; `mid` (ms, price) drawn over it.

    `scale` "log" uses a logarithmic colour scale, "quantile" maps each
    cell to its rank among the non-empty cells. Empty cells stay blank.
    """
    title = "Book heatmap"
    if panel is None or panel.intensity.size == 0:
        return _empty(ax, title, "no book in the window")
    cells = np.where(panel.intensity > 0, panel.intensity, np.nan)  # -0.0 marks an empty cell
    filled = cells[np.isfinite(cells)]
    if filled.size == 0:
        return _empty(ax, title, "no resting quantity on the grid")
    width_ms = _step(panel.time.astype(np.float64), 60_000.0)
    level = _step(panel.price, 1.0)
    extent = (
        float(_dates(panel.time[:1])[0]),
        float(_dates(panel.time[-1:] + width_ms)[0]),
        float(np.nanmin(panel.price)),
        float(np.nanmax(panel.price)) + level,
    )
    if scale == "quantile":
        ranks = np.searchsorted(np.sort(filled), cells, side="right") / filled.size
        image, norm = np.where(np.isfinite(cells), ranks, np.nan), None
    elif scale == "log":
        lo, hi = np.quantile(filled, [0.02, 0.995])
        image, norm = cells, LogNorm(vmin=max(lo, 1e-12), vmax=max(hi, lo * 1.0001, 1e-12))
    else:
        raise ValueError(f"scale must be 'log' or 'quantile', got {scale!r}")
    im = ax.imshow(
        image.T, origin="lower", aspect="auto", extent=extent, cmap="magma", norm=norm,
        interpolation="nearest",
    )
    # An inset colour bar keeps the heatmap as wide as the time axes below it.
    bar = ax.inset_axes((1.008, 0.0, 0.012, 1.0))
    ax.figure.colorbar(im, cax=bar, label="resting qty" if norm else "quantile")
    # Plain numbers: the default log labels go through mathtext, which is slow.
    bar.yaxis.set_major_formatter(FormatStrFormatter("%g"))
    bar.yaxis.set_minor_formatter(NullFormatter())
    if mid is not None:
        ax.plot(_dates(mid[0]), mid[1], color="#4fc3f7", lw=1.2, drawstyle="steps-pre", label="price")
        ax.legend(loc="upper left", fontsize=7, framealpha=0.8)
    ax.set_xlim(extent[0], extent[1])
    ax.set_title(title, loc="left", fontsize=10, y=1.0)
    ax.set_ylabel("price")
    _time_axis(ax)
    return ax


def plot_liquidations(ax: Axes, panel: LiquidationMapPanel | None) -> Axes:
    """One dot per liquidation at its time and price bin, area by quantity,
    coloured by the side of the position that was liquidated."""
    title = "Liquidations"
    if panel is None or len(panel.events) == 0:
        return _empty(ax, title, "no liquidations in the window")
    qty = np.nan_to_num(panel.qty, nan=0.0)
    largest = float(np.abs(qty).max()) or 1.0
    sizes = 8.0 + 300.0 * np.sqrt(np.abs(qty) / largest)
    for side, colour in (("long", LONG), ("short", SHORT)):
        mine = panel.side == side
        total = float(qty[mine].sum())
        ax.scatter(
            _dates(panel.ts[mine]), panel.price_bin[mine], s=sizes[mine], color=colour, alpha=0.6,
            edgecolors="none", label=f"{side} ({int(mine.sum())}, {total:,.1f})",
        )
    ax.set_title(title, loc="left", fontsize=10, y=1.0)
    ax.set_ylabel("price bin")
    ax.legend(loc="upper left", fontsize=7, framealpha=0.8, markerscale=0.5)
    _time_axis(ax)
    return ax


def plot_funding_oi(ax: Axes, panel: FundingOiPanel | None) -> tuple[Axes, ...]:
    """Funding as bars (by sign), open interest and price as lines, each on
    its own scale over one time axis. Returns (funding, oi, price) axes."""
    title = "Funding, open interest, price"
    if panel is None or len(panel.time) == 0:
        return (_empty(ax, title, "no funding, open interest or candles in the window"),)
    x = _dates(panel.time)
    width = _step(x, 1 / 1440)
    funding = panel.funding * 1e4  # in basis points
    ax.bar(x, funding, width=width * 0.9, align="edge",
           color=np.where(funding >= 0, BUY, SELL), alpha=0.5, label="funding (bp)")
    ax.set_ylabel("funding (bp)")
    ax.axhline(0.0, color="0.3", lw=0.6)
    oi_ax = ax.twinx()
    # Missing before the first sample, so the axis spans the readings, not 0 up to them.
    oi_ax.plot(x + width, _before_first(panel.oi), color="#3f6fd1", lw=1.3, label="open interest")
    oi_ax.set_ylabel("open interest", color="#3f6fd1")
    price_ax = ax.twinx()
    price_ax.spines["right"].set_position(("axes", 1.08))
    price = np.where(panel.price != 0.0, panel.price, np.nan)  # 0.0: no price (a frame's text)
    price_ax.plot(x + width, price, color="0.1", lw=1.0, label="price")
    price_ax.set_ylabel("price", color="0.1")
    handles = [h for a in (ax, oi_ax, price_ax) for h in a.get_legend_handles_labels()[0]]
    price_ax.legend(handles=handles, loc="upper left", fontsize=7, framealpha=0.8)
    ax.set_title(title, loc="left", fontsize=10, y=1.0)
    _time_axis(ax)
    return ax, oi_ax, price_ax


def _before_first(values: np.ndarray) -> np.ndarray:
    """NaN for the leading 0.0 of a series: in a frame read from text they stand
    for buckets before its first sample (a Session's frames have NaN there already)."""
    started = np.cumsum(np.nan_to_num(values) != 0.0) > 0
    return np.where(started, values, np.nan)


def _summary(ax: Axes, frame: Frame) -> None:
    ax.axis("off")
    lines = [frame.symbol, f"cursor {np.datetime_as_string(frame.cursor_time, unit='s')} UTC", ""]
    fp = frame.footprint
    if fp is not None and len(fp.price_bins):
        lo, hi = fp.value_area()
        lines += [f"POC {fp.poc:g}", f"value area {lo:g} – {hi:g}"]
        lines += [f"VWAP {fp.vwap:,.2f} (trades)"] if np.isfinite(fp.vwap) else []
        lines += [f"delta {fp.total_delta:+,.2f}", ""]
    lm = frame.liquidation_map
    if lm is not None:
        for side in ("long", "short"):
            mine = lm.side == side
            lines.append(f"{side} liquidations {int(mine.sum())}: {float(np.nansum(lm.qty[mine])):,.1f}")
    ax.text(0.12, 0.98, "\n".join(lines), va="top", ha="left", family="monospace", fontsize=9,
            transform=ax.transAxes)


def dashboard(frame: Frame, *, path: str | Path | None = None, dpi: int = 100,
              bars: FootprintBars | None = None) -> Figure:
    """All four panels of a frame in one figure; written to `path` (PNG) when given.

    The price axes of the heatmap, liquidations and footprint are shared, as
    are the time axes of heatmap, liquidations and funding. The heatmap's
    price line is the price the funding panel carries (`mid_line`). With
    `bars` (`Session.footprint_bars` of the same window) a row of footprint
    bars runs under them on the same time axis.
    """
    rows = (3, 2, 2) if bars is None else (3, 2, 2, 3)
    # Fixed margins: a layout engine would cost about a second per picture.
    fig = Figure(figsize=(16, 10 if bars is None else 14))
    grid = fig.add_gridspec(
        len(rows), 2, width_ratios=(3.2, 1), height_ratios=rows,
        left=0.05, right=0.98, bottom=0.05, top=0.93, wspace=0.2, hspace=0.3,
    )
    heat = fig.add_subplot(grid[0, 0])
    liq = fig.add_subplot(grid[1, 0], sharex=heat, sharey=heat)
    fund = fig.add_subplot(grid[2, 0], sharex=heat)
    foot = fig.add_subplot(grid[0:2, 1], sharey=heat)
    text = fig.add_subplot(grid[2, 1])
    plot_heatmap(heat, frame.book_heatmap, mid=mid_line(frame.funding_oi))
    plot_liquidations(liq, frame.liquidation_map)
    plot_funding_oi(fund, frame.funding_oi)
    plot_footprint(foot, frame.footprint)
    if bars is not None:
        plot_footprint_bars(fig.add_subplot(grid[3, 0], sharex=heat), bars)
    _share_price_limits(frame, heat)
    _summary(text, frame)
    fig.suptitle(f"{frame.symbol} at {np.datetime_as_string(frame.cursor_time, unit='s')} UTC",
                 fontsize=12)
    if path is not None:
        fig.savefig(path, dpi=dpi)
    return fig


def _share_price_limits(frame: Frame, ax: Axes) -> None:
    """The shared price axis spans every panel's prices, not just the last drawn."""
    spans: list[Any] = []
    if frame.book_heatmap is not None:
        spans.append(frame.book_heatmap.price)
    if frame.footprint is not None:
        spans.append(frame.footprint.price_bins)
    if frame.liquidation_map is not None:
        spans.append(frame.liquidation_map.price_bin)
    values = np.concatenate([np.asarray(s, dtype=np.float64) for s in spans]) if spans else np.zeros(0)
    values = values[np.isfinite(values)]
    if values.size:
        pad = max(1.0, 0.02 * float(values.max() - values.min()))
        ax.set_ylim(float(values.min()) - pad, float(values.max()) + pad)
