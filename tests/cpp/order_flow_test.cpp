// Order flow stops at any of its polls with the cancelled error, and runs
// through as without a scope otherwise; split over any pool it gives the
// same bits, and the same first error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../fuzz/render.h"
#include "core/cancel.h"
#include "engine/order_flow_job.h"
#include "engine/worker_pool.h"
#include "panels/order_flow/footprint_bars.h"

namespace xray {
namespace {

using testing::TripAt;

TEST(OrderFlow, StoppedAtAnyPollOrRunThrough) {
  std::vector<Trade> trades;
  for (int i = 0; i < 40000; ++i) {
    trades.push_back({i * 3, 100.0 + 0.1 * (i % 17), 0.25 * (i % 5), TradeSide(i % 2)});
  }
  OrderFlowParams params;
  params.bar_ms = 60000;  // bars longer than a chunk between polls
  params.tick = 0.1;      // inference would poll at every trade
  const Result<FootprintBars> whole = footprint_bars(trades, params);
  ASSERT_TRUE(whole);
  int stopped = 0;
  for (int trip = 1;; ++trip) {
    ASSERT_LT(trip, 100000);
    TripAt check{trip};
    CancelScope scope(TripAt::check, &check, /*stride=*/1);
    const Result<FootprintBars> got = footprint_bars(trades, params);
    if (!scope.cancelled()) {
      ASSERT_TRUE(got);
      EXPECT_EQ(got->bid_vol, whole->bid_vol);
      EXPECT_EQ(got->poc, whole->poc);
      break;
    }
    ASSERT_FALSE(got);
    EXPECT_EQ(display_text(got.error()), "data: command cancelled");
    ++stopped;
  }
  EXPECT_GT(stopped, 3);  // a bar's chunks, and the profile pass
}

TEST(OrderFlow, SameBitsOnAnyPool) {
  std::vector<Trade> trades;
  for (int i = 0; i < 6000; ++i) {
    const double level = (i * 7919 % 23) + (i / 500);
    trades.push_back({i * 5, 50.0 + 0.5 * level, 0.125 * (i % 7), TradeSide(i * 31 % 3 == 0)});
  }
  OrderFlowParams params;
  params.bar_ms = 1000;
  params.developing = true;
  params.ratio = 1.5;
  params.stacked = 2;
  const Result<FootprintBars> one = footprint_bars(trades, params);
  ASSERT_TRUE(one);
  for (const std::size_t workers : {1, 2, 3}) {
    SCOPED_TRACE(workers);
    WorkerPool pool(workers);
    const Result<FootprintBars> got =
        footprint_bars_on(pool, trades, params, /*min_part_trades=*/700);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->level, one->level);
    EXPECT_EQ(got->cell_bar, one->cell_bar);
    EXPECT_EQ(got->bid_vol, one->bid_vol);
    EXPECT_EQ(got->sell_imbalance, one->sell_imbalance);
    EXPECT_EQ(got->cvd, one->cvd);
    EXPECT_EQ(got->va_high, one->va_high);
    EXPECT_EQ(got->naked_poc, one->naked_poc);
    EXPECT_EQ(got->developing_va_low, one->developing_va_low);
    EXPECT_EQ(got->run_bar, one->run_bar);
    EXPECT_EQ(got->run_high, one->run_high);
  }
  EXPECT_GT(one->run_bar.size(), 10U);
  EXPECT_GT(one->bar_ts.size(), 20U);
  // Two prices without a level: the first in trade order is named.
  trades[5500].price = 1e300;
  trades[2500].price = 1e300;
  for (const std::size_t workers : {1, 3}) {
    WorkerPool pool(workers);
    const Result<FootprintBars> got = footprint_bars_on(pool, trades, params, 700);
    ASSERT_FALSE(got);
    EXPECT_NE(display_text(got.error()).find("trade at ts 12500 has price 1e+300"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace xray
