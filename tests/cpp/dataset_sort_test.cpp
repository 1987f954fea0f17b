// Ordering a dataset by ts: whether the lists are in order, nearly so, or
// far from it (the insertion sort gives up and a merge sort finishes), the
// result is the stable order, ties kept as they came.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "model/dataset.h"

namespace xray {
namespace {

struct SortRow {
  const char* name;
  std::size_t length;
  int64_t jitter;     // each stamp is its index plus up to this much
  int64_t ts_range;   // stamps taken modulo this (few values: many ties); 0 = none
  bool reversed;
};

const SortRow kRows[] = {
    {"empty", 0, 0, 0, false},
    {"one", 1, 0, 0, false},
    {"in order", 1000, 0, 0, false},
    {"all equal", 500, 0, 1, false},
    {"nearly in order", 5000, 6, 0, false},
    {"short runs with ties", 5000, 0, 10, false},
    {"far apart", 5000, 200, 0, false},
    {"random with many ties", 5000, 1'000'000, 7, false},
    {"reversed", 3000, 0, 0, true},
    {"reversed with ties", 3000, 0, 50, true},
};

TEST(DatasetSort, StableOrderWhateverTheDisorder) {
  std::mt19937_64 rng(9);
  for (const SortRow& r : kRows) {
    SCOPED_TRACE(r.name);
    Dataset d;
    for (std::size_t i = 0; i < r.length; ++i) {
      int64_t ts = static_cast<int64_t>(r.reversed ? r.length - i : i);
      if (r.jitter > 0) ts += static_cast<int64_t>(rng() % static_cast<uint64_t>(r.jitter + 1));
      if (r.ts_range > 0) ts %= r.ts_range;
      // qty numbers the records, so the order of ties can be seen.
      d.trades.push_back(Trade{ts, 1.0, static_cast<double>(i), TradeSide::Buy});
      BookEvent e{};
      e.ts = ts;
      e.bids.push_back(PriceLevel{static_cast<double>(i), 1.0});
      d.book.push_back(std::move(e));
    }
    std::vector<Trade> trades = d.trades;
    std::stable_sort(trades.begin(), trades.end(),
                     [](const Trade& a, const Trade& b) { return a.ts < b.ts; });
    sort_by_ts(d);
    ASSERT_EQ(d.trades.size(), trades.size());
    ASSERT_EQ(d.book.size(), trades.size());
    for (std::size_t i = 0; i < trades.size(); ++i) {
      ASSERT_EQ(d.trades[i].ts, trades[i].ts) << i;
      ASSERT_EQ(d.trades[i].qty, trades[i].qty) << i;
      // The book's records moved with their levels, in the same order.
      ASSERT_EQ(d.book[i].ts, trades[i].ts) << i;
      ASSERT_EQ(d.book[i].bids.size(), 1u) << i;
      ASSERT_EQ(d.book[i].bids[0].price, trades[i].qty) << i;
    }
  }
}

}  // namespace
}  // namespace xray
