// The size check of the bucketed panels: the limits, counts past 64 bits and
// bucket starts outside the time range, and computing at the range's ends.
#include <gtest/gtest.h>

#include "panel_test_util.h"
#include "panels/panel_limits.h"
#include "panels/panels.h"

namespace xray {
namespace {

using namespace panel_testing;  // NOLINT(google-build-using-namespace)

BookEvent two_sided(int64_t ts) { return {ts, BookEventKind::Snapshot, {{99, 1}}, {{101, 1}}}; }
BookEvent no_asks(int64_t ts) { return {ts, BookEventKind::Snapshot, {{99, 1}}, {}}; }

XrayPanel heatmap_panel(int64_t bucket_ms, uint32_t depth) {
  return {XrayPanel::BookHeatmap{1.0, bucket_ms, depth}};
}
XrayPanel series_panel(int64_t bucket_ms) { return {XrayPanel::FundingOiDivergence{bucket_ms}}; }

constexpr int64_t kYearMs = 365LL * 24 * 3600 * 1000;

struct SizeCase {
  const char* name;
  XrayPanel panel;
  WindowData data;
  const char* error;  // empty when the panel fits
};

TEST(PanelSize, Table) {
  const SizeCase cases[] = {
      {"heatmap without events", heatmap_panel(1, 4294967295u), {}, ""},
      {"heatmap at the limit", heatmap_panel(1, 50), {.book = {two_sided(0), two_sided(999999)}}, ""},
      {"heatmap one bucket over", heatmap_panel(1, 50), {.book = {two_sided(0), two_sided(1000000)}}, "data: book_heatmap would produce 1000001 buckets of 50 levels (50000050 cells), more " "than the limit of 50000000 cells"},
      {"heatmap grid alone too large", heatmap_panel(1000, 4294967295u), {.book = {two_sided(5)}}, "data: book_heatmap would produce 1 buckets of 4294967295 levels (4294967295 cells), more " "than the limit of 50000000 cells"},
      {"heatmap over the whole time range", heatmap_panel(1, 4294967295u), {.book = {two_sided(INT64_MIN), two_sided(INT64_MAX)}}, "data: book_heatmap would produce 18446744073709551616 buckets of 4294967295 levels " "(79228162495817593519834398720 cells), more than the limit of 50000000 cells"},
      {"heatmap too large but one-sided at the end", heatmap_panel(1, 40), {.book = {two_sided(0), no_asks(kYearMs)}}, ""},
      {"heatmap starting before the time range", heatmap_panel(3, 1), {.book = {two_sided(INT64_MIN)}}, "data: book_heatmap would start its first bucket at -9223372036854775809 ms, before the " "smallest 64-bit time"},
      {"series at the limit", series_panel(1), {.funding = {{0, 1}, {12499999, 1}}}, ""},
      {"series one bucket over", series_panel(1), {.candles = {{12500000, 0, 0, 0, 1, 0}}, .funding = {{0, 1}}}, "data: funding_oi_divergence would produce 12500001 buckets, more than the limit of " "12500000 buckets"},
      {"series over the whole time range", series_panel(1), {.funding = {{INT64_MIN, 1}}, .oi = {{INT64_MAX, 1}}}, "data: funding_oi_divergence would produce 18446744073709551616 buckets, more than the " "limit of 12500000 buckets"},
      {"series starting before the time range", series_panel(INT64_MAX), {.oi = {{INT64_MIN, 1}}}, "data: funding_oi_divergence would start its first bucket at -18446744073709551614 ms, " "before the smallest 64-bit time"},
      {"footprint is bounded by its trades", {XrayPanel::Footprint{1e-300, 1}}, {.trades = {{INT64_MIN, 1e300, 1, TradeSide::Buy}}}, ""},
      {"liquidation map is bounded by its events", {XrayPanel::LiquidationMap{1e-300}}, {.liquidations = {{INT64_MAX, -1e300, 1, LiquidationSide::Long}}}, ""},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Status status = check_panel_size(c.panel, c.data.window());
    EXPECT_EQ(status ? std::string() : display_text(status.error()), c.error);
  }
}

// The bucketed panels of one frame share one bound on the numbers they hold.
TEST(PanelSize, FrameWideBound) {
  const WindowData data{.book = {two_sided(0), two_sided(999999)},
                        .funding = {{0, 1}, {12499999, 1}}};
  const XrayPanel heatmap = heatmap_panel(1, 50);  // 1000000 rows of 50 cells
  const XrayPanel series = series_panel(1);        // 12500000 buckets of 4 numbers
  const XrayPanel footprint{XrayPanel::Footprint{1.0, 1}};
  const XrayPanel one_sided_heatmap = heatmap_panel(1, 40);
  const WindowData one_sided{.book = {two_sided(0), no_asks(kYearMs)}};
  EXPECT_EQ(panel_output_numbers(heatmap, data.window()), 51000050u);
  EXPECT_EQ(panel_output_numbers(series, data.window()), 50000000u);
  EXPECT_EQ(panel_output_numbers(footprint, data.window()), 0u);
  EXPECT_EQ(panel_output_numbers(one_sided_heatmap, one_sided.window()), 0u);
  EXPECT_TRUE(check_frame_size({heatmap, footprint, footprint}, data.window()));
  const Status two = check_frame_size({heatmap, footprint, series}, data.window());
  ASSERT_FALSE(two);
  EXPECT_EQ(display_text(two.error()),
            "data: frame would hold 101000050 numbers in its book_heatmap and "
            "funding_oi_divergence panels, more than the limit of 100000000 numbers");
}

// Grids that pass the check compute without wrapping at the ends of the range.
TEST(PanelSize, ComputesAtTheEndsOfTheTimeRange) {
  WindowData top{.book = {two_sided(INT64_MAX - 1500), two_sided(INT64_MAX)}};
  top.funding = {{INT64_MAX - 1500, 1}, {INT64_MAX, 2}};
  WindowData bottom{.book = {two_sided(INT64_MIN), two_sided(INT64_MIN + 1)}};
  bottom.funding = {{INT64_MIN, 1}, {INT64_MIN + 1, 2}};

  EXPECT_EQ(panel_text(compute_panel(heatmap_panel(1000, 1), top.window())),
            "time 9223372036854774000 9223372036854775000\nprice 100.0\nintensity -0.0 -0.0\n");
  EXPECT_EQ(panel_text(compute_panel(series_panel(1000), top.window())),
            "time 9223372036854774000 9223372036854775000\nfunding 1.0 2.0\noi 0.0 0.0\n"
            "price 0.0 0.0\n");
  EXPECT_EQ(panel_text(compute_panel(heatmap_panel(1, 1), bottom.window())),
            "time -9223372036854775808 -9223372036854775807\nprice 100.0\nintensity -0.0 -0.0\n");
  EXPECT_EQ(panel_text(compute_panel(series_panel(1), bottom.window())),
            "time -9223372036854775808 -9223372036854775807\nfunding 1.0 2.0\noi 0.0 0.0\n"
            "price 0.0 0.0\n");
}

TEST(PanelSize, DispatchPicksTheKind) {
  WindowData d{.trades = {{0, 1.5, 2, TradeSide::Sell}}};
  EXPECT_EQ(panel_text(compute_panel({XrayPanel::Footprint{1.0, 1}}, d.window())),
            "price_bins 1.0\nbuy_vol 0.0\nsell_vol 2.0\n");
  EXPECT_TRUE(std::holds_alternative<PanelData::LiquidationMap>(
      compute_panel({XrayPanel::LiquidationMap{1.0}}, d.window()).data));
}

}  // namespace
}  // namespace xray
