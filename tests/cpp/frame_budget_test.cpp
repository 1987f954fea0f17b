// The bound on the numbers of a whole frame: every kind counts, footprints
// by their bins, and the check allocates nothing for the panels.
#include <gtest/gtest.h>

#include "engine/evaluate_frame.h"
#include "panels/panels.h"

namespace xray {
namespace {

constexpr const char* kLimit = ", more than the limit of 100000000 numbers";
constexpr const char* kWeights = " (a footprint bin counts as 3 numbers, a liquidation event as 8)";

struct Records {
  std::vector<Trade> trades;
  std::vector<BookEvent> book;
  std::vector<FundingEvent> funding;
  std::vector<LiquidationEvent> liquidations;
  DatasetWindow window() const { return {{}, trades, book, funding, {}, liquidations}; }
};

// n trades at `distinct` prices one apart, n liquidations; a heatmap book
// and funding spanning book_ms and funding_ms when given.
Records records(std::size_t trades, std::size_t distinct, std::size_t liquidations,
                int64_t book_ms = -1, int64_t funding_ms = -1) {
  Records r;
  for (std::size_t i = 0; i < trades; ++i) {
    r.trades.push_back({0, static_cast<double>(i % distinct), 1.0, TradeSide::Buy});
  }
  for (std::size_t i = 0; i < liquidations; ++i) {
    r.liquidations.push_back({0, 100.0, 1.0, LiquidationSide::Long});
  }
  if (book_ms >= 0) {
    for (const int64_t ts : {int64_t{0}, book_ms}) {
      r.book.push_back({ts, BookEventKind::Snapshot, {{99, 1}}, {{101, 1}}});
    }
  }
  if (funding_ms >= 0) r.funding = {{0, 1.0}, {funding_ms, 1.0}};
  return r;
}

std::vector<XrayPanel> times(std::size_t n, XrayPanel panel) {
  return std::vector<XrayPanel>(n, panel);
}

std::vector<XrayPanel> operator+(std::vector<XrayPanel> a, const std::vector<XrayPanel>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(FrameBudget, EveryKindCounts) {
  const XrayPanel liquidation_map{XrayPanel::LiquidationMap{1.0}};
  const XrayPanel footprint{XrayPanel::Footprint{1.0, 1}};
  const XrayPanel wide_footprint{XrayPanel::Footprint{1e9, 1}};
  const XrayPanel heatmap{XrayPanel::BookHeatmap{1.0, 1, 50}};
  const XrayPanel series{XrayPanel::FundingOiDivergence{1}};
  struct Case {
    const char* name;
    std::vector<XrayPanel> panels;
    Records data;
    std::string error;  // empty: within the limit
  };
  const std::string over = std::string(kLimit) + kWeights;
  const Case cases[] = {
      {"liquidation maps at the limit", times(2500, liquidation_map), records(0, 1, 5000), ""},
      {"one liquidation more", times(2500, liquidation_map), records(0, 1, 5001),
       "frame would hold 100020000 numbers in its liquidation_map panels" + over},
      {"footprints over by trades, not by bins", times(3000, footprint), records(12000, 10, 0), ""},
      {"footprints over by bins", times(3000, footprint), records(12000, 12000, 0),
       "frame would hold 108000000 numbers in its footprint panels" + over},
      // Counted by trades the wide bins would be 66,669 numbers each.
      {"each bin width counted", times(1500, footprint) + times(1500, wide_footprint),
       records(22223, 22223, 0),
       "frame would hold 100008000 numbers in its footprint panels" + over},
      {"two kinds named", times(1000, footprint) + times(1000, liquidation_map),
       records(30000, 30000, 2000),
       "frame would hold 106000000 numbers in its footprint and liquidation_map panels" + over},
      // 51,000,050 + 3,000,000 + 8,000,000 + 40,000,004.
      {"four kinds named",
       {heatmap, series, footprint, liquidation_map},
       records(1'000'000, 1'000'000, 1'000'000, 999'999, 10'000'000),
       "frame would hold 102000054 numbers in its footprint, book_heatmap, liquidation_map and "
       "funding_oi_divergence panels" +
           over},
      {"bucketed kinds alone: the message they always had",
       {heatmap, series},
       records(0, 1, 0, 999'999, 12'499'999),
       std::string("frame would hold 101000050 numbers in its book_heatmap and "
                   "funding_oi_divergence panels") +
           kLimit},
      {"bucketed kinds with empty footprints",
       {footprint, heatmap, series, liquidation_map},
       records(0, 1, 0, 999'999, 12'499'999),
       std::string("frame would hold 101000050 numbers in its book_heatmap and "
                   "funding_oi_divergence panels") +
           kLimit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Status fits = check_frame_size(c.panels, c.data.window());
    if (c.error.empty()) {
      EXPECT_TRUE(fits) << display_text(fits.error());
    } else {
      ASSERT_FALSE(fits);
      EXPECT_EQ(display_text(fits.error()), "data: " + c.error);
    }
  }
}

// The frame fails before any panel is computed: 871 MB of text once.
TEST(FrameBudget, FrameOfManyLiquidationMapsFailsBeforeComputing) {
  Dataset d;
  for (int i = 0; i < 4000; ++i) {
    d.liquidations.push_back({i, 100.0 + i, 1.0, LiquidationSide::Long});
  }
  const XraySpec spec{"d", "S", {}, {}, times(4000, {XrayPanel::LiquidationMap{1.0}})};
  const Result<Frame> frame = evaluate_frame(d, spec, 4000);
  ASSERT_FALSE(frame);
  EXPECT_EQ(display_text(frame.error()),
            std::string("data: frame would hold 128000000 numbers in its liquidation_map panels") +
                kLimit + kWeights);
}

}  // namespace
}  // namespace xray
