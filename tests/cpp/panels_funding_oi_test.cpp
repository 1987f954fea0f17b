// The funding and open-interest panel: the worked example, span and carry
// rules, and a randomized comparison with a plain per-bucket model.
#include <gtest/gtest.h>

#include "panel_test_util.h"
#include "panels/panels.h"

namespace xray {
namespace {

using namespace panel_testing;  // NOLINT(google-build-using-namespace)

std::string expected_series(std::vector<int64_t> time, std::vector<double> funding,
                            std::vector<double> oi, std::vector<double> price) {
  return panel_text(PanelData{PanelData::FundingOiDivergence{
      std::move(time), std::move(funding), std::move(oi), std::move(price)}});
}

Candle candle(int64_t ts, double close) { return {ts, 0, 0, 0, close, 0}; }

struct SeriesCase {
  const char* name;
  WindowData data;
  int64_t bucket_ms;
  std::string expected;
};

TEST(FundingOiDivergence, Table) {
  const SeriesCase cases[] = {
      {"worked example", {.funding = {{1200, 0.0001}, {3100, 0.0002}}, .oi = {{1500, 5000}, {2500, 5100}}}, 1000, expected_series({1000, 2000, 3000}, {0.0001, 0.0001, 0.0002}, {5000, 5100, 5100}, {0, 0, 0})},
      {"only candles", {.candles = {candle(0, 10), candle(2000, 12)}}, 1000, expected_series({0, 1000, 2000}, {0, 0, 0}, {0, 0, 0}, {10, 10, 12})},
      {"late start is 0.0, early end repeats", {.candles = {candle(1000, 3)}, .funding = {{2500, 0.5}}, .oi = {{0, 7}}}, 1000, expected_series({0, 1000, 2000}, {0, 0, 0.5}, {7, 7, 7}, {0, 3, 3})},
      {"negative time rounds down", {.funding = {{-1, 0.1}}}, 1000, expected_series({-1000}, {0.1}, {0}, {0})},
      {"rounded to 8 decimals", {.funding = {{0, 0.000123456789}}}, 1000, expected_series({0}, {0.00012346}, {0}, {0})},
      {"last of one bucket wins, equal ts in list order", {.funding = {{10, 1}, {20, 2}, {20, 3}}}, 1000, expected_series({0}, {3}, {0}, {0})},
      {"record at a bucket end counts for the next", {.funding = {{0, 1}, {1000, 2}}}, 1000, expected_series({0, 1000}, {1, 2}, {0, 0}, {0, 0})},
  };
  for (const SeriesCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(panel_text(compute_funding_oi_divergence({c.bucket_ms}, c.data.window())),
              c.expected);
  }
}

PanelData model_series(const WindowData& d, int64_t bucket_ms) {
  PanelData::FundingOiDivergence out;
  std::vector<int64_t> firsts;
  std::vector<int64_t> lasts;
  const auto span = [&](const auto& list) {
    if (list.empty()) return;
    firsts.push_back(list.front().ts);
    lasts.push_back(list.back().ts);
  };
  span(d.funding);
  span(d.oi);
  span(d.candles);
  if (firsts.empty()) return PanelData{out};
  const auto floor_div = [](int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
  const int64_t q0 = floor_div(*std::min_element(firsts.begin(), firsts.end()), bucket_ms);
  const int64_t q1 = floor_div(*std::max_element(lasts.begin(), lasts.end()), bucket_ms);
  const auto r8 = [](double x) { return std::round(x * 1e8) / 1e8; };
  const auto latest = [](const auto& list, int64_t end, auto field) {
    double value = 0.0;
    for (const auto& r : list) {
      if (r.ts < end) value = r.*field;
    }
    return value;
  };
  for (int64_t k = 0; k <= q1 - q0; ++k) {
    const int64_t t = q0 * bucket_ms + k * bucket_ms;
    out.time.push_back(t);
    out.funding.push_back(r8(latest(d.funding, t + bucket_ms, &FundingEvent::rate)));
    out.oi.push_back(r8(latest(d.oi, t + bucket_ms, &OiEvent::oi)));
    out.price.push_back(r8(latest(d.candles, t + bucket_ms, &Candle::close)));
  }
  return PanelData{out};
}

TEST(FundingOiDivergence, MatchesPerBucketModel) {
  const std::vector<int64_t> widths = {1, 10, 1000};
  for (uint64_t seed = 0; seed < 300; ++seed) {
    std::mt19937_64 rng(seed);
    const int64_t bucket_ms = pick(rng, widths);
    const auto values = [&](std::size_t n) {
      const int64_t start = static_cast<int64_t>(rng() % 4000) - 2000;
      return random_times(rng, n, start, bucket_ms * 2);
    };
    WindowData d;
    for (int64_t ts : values(rng() % 20)) d.funding.push_back({ts, (rng() % 1000) * 1e-7});
    for (int64_t ts : values(rng() % 20)) d.oi.push_back({ts, (rng() % 1000) / 3.0});
    for (int64_t ts : values(rng() % 20)) d.candles.push_back(candle(ts, (rng() % 1000) / 7.0));
    SCOPED_TRACE("seed " + std::to_string(seed));
    ASSERT_EQ(panel_text(compute_funding_oi_divergence({bucket_ms}, d.window())),
              panel_text(model_series(d, bucket_ms)));
  }
}

}  // namespace
}  // namespace xray
