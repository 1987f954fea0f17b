// The liquidation map: event fields, the orderings, and a randomized
// comparison with one stable sort of everything.
#include <gtest/gtest.h>

#include <algorithm>
#include <compare>

#include "panel_test_util.h"
#include "panels/panels.h"

namespace xray {
namespace {

using namespace panel_testing;  // NOLINT(google-build-using-namespace)

constexpr LiquidationSide kLong = LiquidationSide::Long;
constexpr LiquidationSide kShort = LiquidationSide::Short;

PanelData liquidation_map(const std::vector<LiquidationEvent>& events, double price_bin) {
  WindowData data;
  data.liquidations = events;
  return compute_liquidation_map({price_bin}, data.window());
}

std::string expected_map(std::vector<BinnedLiquidation> events) {
  return panel_text(PanelData{PanelData::LiquidationMap{std::move(events)}});
}

struct MapCase {
  const char* name;
  std::vector<LiquidationEvent> events;
  double price_bin;
  std::string expected;
};

TEST(LiquidationMap, Table) {
  const MapCase cases[] = {
      {"fields", {{1000, 100.26, 0.123456789, kLong}}, 0.5, expected_map({{1000, 100.0, 0.12345679, kLong}})},
      {"same ts: lower bin first", {{5, 101.0, 1, kLong}, {5, 99.0, 1, kShort}}, 1.0, expected_map({{5, 99.0, 1, kShort}, {5, 101.0, 1, kLong}})},
      {"same ts and bin: long first", {{5, 99.2, 1, kShort}, {5, 99.7, 2, kLong}}, 1.0, expected_map({{5, 99.0, 2, kLong}, {5, 99.0, 1, kShort}})},
      {"equal keys keep window order", {{5, 99.0, 2, kLong}, {5, 99.5, 1, kLong}}, 1.0, expected_map({{5, 99.0, 2, kLong}, {5, 99.0, 1, kLong}})},
      {"total order of bins within one ts", {{7, kNaN, 1, kLong}, {7, 0.0, 2, kLong}, {7, -0.0, 3, kLong}, {7, -kInf, 4, kLong}, {7, -kNaN, 5, kLong}}, 1.0, expected_map({{7, -kNaN, 5, kLong}, {7, -kInf, 4, kLong}, {7, -0.0, 3, kLong}, {7, 0.0, 2, kLong}, {7, kNaN, 1, kLong}})},
      {"NaN quantity kept", {{1, 1.0, kNaN, kShort}}, 1.0, expected_map({{1, 1.0, kNaN, kShort}})},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(panel_text(liquidation_map(c.events, c.price_bin)), c.expected);
  }
}

PanelData model_map(const std::vector<LiquidationEvent>& events, double price_bin) {
  PanelData::LiquidationMap out;
  for (const LiquidationEvent& e : events) {
    out.events.push_back({e.ts, std::round(std::floor(e.price / price_bin) * price_bin * 1e8) / 1e8,
                          std::round(e.qty * 1e8) / 1e8, e.side});
  }
  std::stable_sort(out.events.begin(), out.events.end(),
                   [](const BinnedLiquidation& a, const BinnedLiquidation& b) {
                     if (a.ts != b.ts) return a.ts < b.ts;
                     const auto by_bin = std::strong_order(a.price_bin, b.price_bin);
                     if (by_bin != 0) return std::is_lt(by_bin);
                     return a.side == kLong && b.side == kShort;
                   });
  return PanelData{std::move(out)};
}

TEST(LiquidationMap, MatchesOneStableSort) {
  // Runs of one ts both short and longer than an insertion sort handles, and
  // windows not in ts order at all.
  const std::vector<double> prices = {-0.0, 0.0, kNaN, -kNaN, 1.0, 1.4, 1.6, 2.0, -1.0, kInf};
  for (uint64_t seed = 0; seed < 300; ++seed) {
    std::mt19937_64 rng(seed);
    const std::size_t count = rng() % 400;
    std::vector<int64_t> times = random_times(rng, count, -50, rng() % 3);
    if (seed % 10 == 0) std::shuffle(times.begin(), times.end(), rng);
    std::vector<LiquidationEvent> events;
    for (std::size_t i = 0; i < count; ++i) {
      events.push_back({times[i], pick(rng, prices), static_cast<double>(i),
                        rng() % 2 == 0 ? kLong : kShort});
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    ASSERT_EQ(panel_text(liquidation_map(events, 1.0)), panel_text(model_map(events, 1.0)));
  }
}

}  // namespace
}  // namespace xray
