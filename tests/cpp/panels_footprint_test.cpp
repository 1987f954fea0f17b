// The footprint: examples and a randomized comparison with an ordered-map model.
#include <gtest/gtest.h>

#include <compare>
#include <map>

#include "panel_test_util.h"
#include "panels/panels.h"

namespace xray {
namespace {

using namespace panel_testing;  // NOLINT(google-build-using-namespace)

constexpr TradeSide kBuy = TradeSide::Buy;
constexpr TradeSide kSell = TradeSide::Sell;

PanelData footprint(const std::vector<Trade>& trades, double price_bin) {
  WindowData data;
  data.trades = trades;
  return compute_footprint({price_bin, 60000}, data.window());
}

std::string expected_footprint(std::vector<double> bins, std::vector<double> buy,
                               std::vector<double> sell) {
  return panel_text(PanelData{PanelData::Footprint{std::move(bins), std::move(buy), std::move(sell)}});
}

struct FootprintCase {
  const char* name;
  std::vector<Trade> trades;
  double price_bin;
  std::string expected;
};

TEST(Footprint, Table) {
  const FootprintCase cases[] = {
      {"bins of a half", {{1, 100.2, 1.0, kBuy}, {2, 100.7, 2.0, kSell}, {3, 100.5, 0.25, kBuy}}, 0.5, expected_footprint({100.0, 100.5}, {1.0, 0.25}, {0.0, 2.0})},
      {"negative price below zero bins", {{1, 0.05, 1.0, kSell}, {2, -0.05, 2.0, kSell}}, 0.1, expected_footprint({-0.1, 0.0}, {0.0, 0.0}, {2.0, 1.0})},
      {"sum rounded on output", {{1, 5, 0.1, kBuy}, {2, 5, 0.2, kBuy}}, 1.0, expected_footprint({5.0}, {0.3}, {0.0})},
      {"zero quantity still creates its bin", {{1, 5, 0.0, kSell}}, 1.0, expected_footprint({5.0}, {0.0}, {0.0})},
      {"negative and positive zero are distinct bins", {{1, 0.0, 1.0, kBuy}, {2, -0.0, 2.0, kBuy}, {3, 0.5, 4.0, kBuy}}, 1.0, expected_footprint({-0.0, 0.0}, {2.0, 5.0}, {0.0, 0.0})},
      {"non-finite prices in total order", {{1, kNaN, 1.0, kBuy}, {2, kInf, 2.0, kBuy}, {3, -kInf, 4.0, kBuy}, {4, -kNaN, 8.0, kBuy}, {5, 1.0, 16.0, kBuy}}, 1.0, expected_footprint({-kNaN, -kInf, 1.0, kInf, kNaN}, {8, 4, 16, 2, 1}, {0, 0, 0, 0, 0})},
      {"quantities are added unrounded", {{1, 1, 0.000000004, kBuy}, {2, 1, 0.000000004, kBuy}}, 1.0, expected_footprint({1.0}, {0.00000001}, {0.0})},
  };
  for (const FootprintCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(panel_text(footprint(c.trades, c.price_bin)), c.expected);
  }
}

// The model: an ordered map in total order, one lookup per trade.
struct TotalLess {
  bool operator()(double a, double b) const { return std::is_lt(std::strong_order(a, b)); }
};

PanelData model_footprint(const std::vector<Trade>& trades, double price_bin) {
  const auto r8 = [](double x) { return std::round(x * 1e8) / 1e8; };
  std::map<double, std::pair<double, double>, TotalLess> bins;
  for (const Trade& t : trades) {
    auto& sums = bins.try_emplace(r8(std::floor(t.price / price_bin) * price_bin), 0.0, 0.0)
                     .first->second;
    (t.side == kBuy ? sums.first : sums.second) += t.qty;
  }
  PanelData::Footprint out;
  for (const auto& [bin, sums] : bins) {
    out.price_bins.push_back(r8(bin));
    out.buy_vol.push_back(r8(sums.first));
    out.sell_vol.push_back(r8(sums.second));
  }
  return PanelData{std::move(out)};
}

TEST(Footprint, MatchesOrderedMapModel) {
  // Enough distinct bins to make the table grow several times.
  const std::vector<double> bins = {0.1, 0.5, 1.0, 0.01, 3.0};
  const std::vector<double> specials = {-0.0, 0.0, kNaN, -kNaN, kInf, -kInf, 1e300};
  for (uint64_t seed = 0; seed < 200; ++seed) {
    std::mt19937_64 rng(seed);
    const double price_bin = pick(rng, bins);
    std::vector<Trade> trades;
    double price = 100.0;
    for (std::size_t i = 0, n = rng() % 3000; i < n; ++i) {
      if (rng() % 2 == 0) price += (static_cast<double>(rng() % 21) - 10.0) * 0.1;
      const double p = rng() % 50 == 0 ? pick(rng, specials) : price;
      const double qty = static_cast<double>(rng() % 1000) / 7.0;
      trades.push_back({static_cast<int64_t>(i), p, qty, rng() % 2 == 0 ? kBuy : kSell});
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    ASSERT_EQ(panel_text(footprint(trades, price_bin)),
              panel_text(model_footprint(trades, price_bin)));
  }
}

}  // namespace
}  // namespace xray
