"""Plot functions draw the artists their panels call for, and never fail on
empty, one-sided or NaN-holding panels. No pixels are compared."""

import json

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("matplotlib")
from matplotlib.collections import PathCollection  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.image import AxesImage  # noqa: E402

from tarnix_xray import Frame  # noqa: E402
from tarnix_xray import plot  # noqa: E402


def frame(*panels):
    return Frame.from_json(json.dumps({"symbol": "T", "cursor_ts": 180_000, "panels": list(panels)}))


FOOTPRINT = {"kind": "footprint", "price_bins": [99.5, 100.0, 101.0], "buy_vol": [1.0, 5.0, 0.0],
             "sell_vol": [2.0, 1.0, 0.5]}
HEATMAP = {"kind": "book_heatmap", "time": [0, 60_000, 120_000], "price": [99.0, 99.5, 100.0, 100.5],
           "intensity": [[1.0, -0.0, 3.0, 4.0], [2.0, 2.0, -0.0, 9.0], [-0.0, 5.0, 6.0, None]]}
LIQUIDATIONS = {"kind": "liquidation_map", "events": [
    {"ts": 1000, "price_bin": 100.0, "qty": 4.0, "side": "long"},
    {"ts": 2000, "price_bin": 99.0, "qty": 1.0, "side": "short"},
    {"ts": 3000, "price_bin": None, "qty": 2.0, "side": "long"}]}
FUNDING = {"kind": "funding_oi_divergence", "time": [0, 60_000, 120_000], "funding": [1e-4, -2e-4, 0.0],
           "oi": [0.0, 12.0, 11.0], "price": [0.0, 100.0, 101.0]}  # 0.0: before the first sample
# Each panel with every list empty.
EMPTY = {p["kind"]: {k: [] for k in p} | {"kind": p["kind"]} for p in (FOOTPRINT, HEATMAP, LIQUIDATIONS, FUNDING)}
DRAW = {"footprint": plot.plot_footprint, "book_heatmap": plot.plot_heatmap,
        "liquidation_map": plot.plot_liquidations, "funding_oi_divergence": plot.plot_funding_oi}


def axes():
    return Figure().add_subplot()


def test_footprint_mirrors_bins_and_marks_poc_and_value_area():
    ax = plot.plot_footprint(axes(), frame(FOOTPRINT).footprint)
    sell, buy, delta = ax.containers
    assert [b.get_width() for b in sell] == [-2.0, -1.0, -0.5]
    assert [b.get_width() for b in buy] == [1.0, 5.0, 0.0]
    assert [b.get_width() for b in delta] == [-1.0, 4.0, -0.5]
    assert [b.get_y() + b.get_height() / 2 for b in buy] == [99.75, 100.25, 101.25]  # bins of width 0.5
    poc = [line for line in ax.lines if "POC" in line.get_label()]
    assert len(poc) == 1 and poc[0].get_ydata()[0] == 100.25
    (band,) = [p for p in ax.patches if "value area" in p.get_label()]
    ys = ax.transData.inverted().transform(band.get_transform().transform(band.get_path().vertices))[:, 1]
    # The POC bin holds 6 of 9.5; the larger neighbour (99.5, 3.0) brings it past 70%.
    assert (ys.min(), ys.max()) == pytest.approx((99.5, 100.5))
    assert "+2.50" in ax.get_title(loc="left")


def test_heatmap_image_is_price_by_time_with_empty_cells_blank():
    panel = frame(HEATMAP).book_heatmap
    ax = plot.plot_heatmap(axes(), panel, mid=(np.array([60_000, 120_000]), np.array([99.6, 100.1])))
    (image,) = [a for a in ax.get_children() if isinstance(a, AxesImage)]
    data = np.ma.filled(image.get_array(), np.nan)
    assert data.shape == (4, 3)  # price rows, time columns
    assert np.isnan(data[1, 0]) and np.isnan(data[0, 2]) and np.isnan(data[3, 2])  # -0.0 and null
    assert data[3, 1] == 9.0
    assert image.get_extent() == pytest.approx([0.0, 180_000 / 86_400_000, 99.0, 101.0])
    (line,) = ax.lines
    assert list(line.get_ydata()) == [99.6, 100.1]
    ranks = np.ma.filled(plot.plot_heatmap(axes(), panel, scale="quantile").images[0].get_array(), np.nan)
    assert np.nanmax(ranks) == 1.0 and np.nanmin(ranks) == pytest.approx(1 / 8)  # 8 cells hold quantity
    with pytest.raises(ValueError, match="scale"):
        plot.plot_heatmap(axes(), panel, scale="linear")


def test_liquidations_one_scatter_per_side_sized_by_qty():
    ax = plot.plot_liquidations(axes(), frame(LIQUIDATIONS).liquidation_map)
    longs, shorts = [c for c in ax.collections if isinstance(c, PathCollection)]
    assert len(longs.get_offsets()) == 2 and len(shorts.get_offsets()) == 1
    assert longs.get_sizes()[0] > longs.get_sizes()[1] > shorts.get_sizes()[0]
    assert "long (2, 6.0)" in longs.get_label()


def test_funding_oi_price_share_time_on_three_scales_and_give_the_mid_line():
    funding_ax, oi_ax, price_ax = plot.plot_funding_oi(axes(), frame(FUNDING).funding_oi)
    assert [b.get_height() for b in funding_ax.patches] == pytest.approx([1.0, -2.0, 0.0])  # bp
    for line in (oi_ax.lines[0], price_ax.lines[0]):
        assert np.isnan(line.get_ydata()[0])  # not a 0.0 that stretches the axis down to 0
    assert list(oi_ax.lines[0].get_ydata()[1:]) == [12.0, 11.0] and oi_ax.get_ylim()[0] > 10.0
    assert list(price_ax.lines[0].get_ydata()[1:]) == [100.0, 101.0]
    assert list(oi_ax.lines[0].get_xdata()) == list(price_ax.lines[0].get_xdata())
    times, prices = plot.mid_line(frame(FUNDING).funding_oi)  # the price at bucket ends
    assert list(times) == [120_000, 180_000] and list(prices) == [100.0, 101.0]
    assert plot.mid_line(frame(EMPTY["funding_oi_divergence"]).funding_oi) is None


@pytest.mark.parametrize("panel, empty", [(p, True) for p in EMPTY.values()] + [
    ({**FOOTPRINT, "sell_vol": [0.0, 0.0, 0.0]}, False),  # one-sided
    ({**FOOTPRINT, "price_bins": [None, 100.0, 101.0], "buy_vol": [None, 1.0, 2.0]}, False),
    ({**HEATMAP, "intensity": [[-0.0] * 4] * 3}, True),  # a grid nothing rests on
    ({"kind": "liquidation_map", "events": [{"ts": 1, "price_bin": 1.0, "qty": None, "side": "short"}]}, False),
])
def test_empty_and_odd_panels_draw_without_error(panel, empty):
    drawn = DRAW[panel["kind"]](axes(), frame(panel).panels[0])
    ax = drawn[0] if isinstance(drawn, tuple) else drawn
    assert any(t.get_text().startswith("no ") for t in ax.texts) == empty
    if empty:
        assert not ax.containers and not ax.images and not ax.collections


def test_dashboard_lays_out_every_panel_and_writes_png(tmp_path):
    fig = plot.dashboard(frame(FOOTPRINT, HEATMAP, LIQUIDATIONS, FUNDING), path=tmp_path / "d.png")
    titles = {ax.get_title(loc="left").split("  (")[0] for ax in fig.axes}
    assert {"Book heatmap", "Liquidations", "Funding, open interest, price", "Footprint"} <= titles
    assert (tmp_path / "d.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    plot.dashboard(frame(*EMPTY.values()))
    plot.dashboard(frame())
