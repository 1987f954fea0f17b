// Sorting, counting and bounds of a dataset.
#include "model/dataset.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace xray {
namespace {

TEST(Dataset, SortIsStableAndBoundsAgreeBeforeAndAfter) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 200; ++round) {
    Dataset d;
    const auto ts = [&] { return static_cast<int64_t>(rng() % 7) - 3; };
    const auto count = [&](unsigned most) { return static_cast<int>(rng() % most); };
    for (int i = count(6); i > 0; --i) d.trades.push_back({ts(), 1.0, 1.0 * i, TradeSide::Buy});
    for (int i = count(3); i > 0; --i) d.candles.push_back({ts(), 0, 0, 0, 1.0 * i, 0});
    for (int i = count(3); i > 0; --i) d.oi.push_back({ts(), 1.0 * i});
    if (rng() % 2) d.liquidations.push_back({INT64_MIN, 1, 1, LiquidationSide::Long});
    if (rng() % 2) d.funding.push_back({INT64_MAX, 0.1});
    const std::optional<DatasetBounds> before = dataset_bounds(d);
    sort_by_ts(d);
    const std::optional<DatasetBounds> after = sorted_dataset_bounds(d);
    ASSERT_EQ(before.has_value(), after.has_value());
    ASSERT_EQ(before.has_value(), record_count(d) > 0);
    if (before) {
      EXPECT_EQ(before->from_ts, after->from_ts);
      EXPECT_EQ(before->to_ts, after->to_ts);
      EXPECT_EQ(before->count, after->count);
    }
    // Equal ts keep their input order: quantities were pushed descending.
    for (std::size_t i = 1; i < d.trades.size(); ++i) {
      ASSERT_LE(d.trades[i - 1].ts, d.trades[i].ts);
      if (d.trades[i - 1].ts == d.trades[i].ts) {
        EXPECT_GT(d.trades[i - 1].qty, d.trades[i].qty);
      }
    }
  }
}

TEST(Dataset, BookEventCountsOnce) {
  Dataset d;
  d.book.push_back({5, BookEventKind::Snapshot, std::vector<PriceLevel>(50, {1.0, 1.0}), {}});
  d.candles.resize(3, Candle{9, 0, 0, 0, 0, 0});
  d.trades.resize(2, Trade{3, 0, 0, TradeSide::Sell});
  EXPECT_EQ(record_count(d), 6u);
  const std::optional<DatasetBounds> b = dataset_bounds(d);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->from_ts, 3);
  EXPECT_EQ(b->to_ts, 9);
}

}  // namespace
}  // namespace xray
