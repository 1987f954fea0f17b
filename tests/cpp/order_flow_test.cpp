// Order flow stops at any of its polls with the cancelled error, and runs
// through as without a scope otherwise; its output stays within the budget.
#include <gtest/gtest.h>

#include <vector>

#include "core/cancel.h"
#include "panels/order_flow/footprint_bars.h"

namespace xray {
namespace {

struct TripAt {
  int trip = 0;
  int calls = 0;
  static bool check(void* self) {
    auto* t = static_cast<TripAt*>(self);
    return ++t->calls >= t->trip;
  }
};

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

}  // namespace
}  // namespace xray
