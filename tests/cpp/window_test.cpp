// The window of a frame: ranges of the stored lists found by binary search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "model/frame.h"
#include "engine/window.h"

namespace xray {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// Trades whose price is their index, so a window can be read back as indices.
Dataset trades_at(const std::vector<int64_t>& ts) {
  Dataset d;
  for (std::size_t i = 0; i < ts.size(); ++i) {
    d.trades.push_back({ts[i], static_cast<double>(i), 1.0, TradeSide::Buy});
  }
  return d;
}

std::vector<int> indices(std::span<const Trade> trades) {
  std::vector<int> out;
  for (const Trade& t : trades) out.push_back(static_cast<int>(t.price));
  return out;
}

// Extremes of the time range; the random comparison below covers the rest.
TEST(CutWindow, Edges) {
  const Dataset d = trades_at({1000, 2000, 2000, 2000, 3000, 3001, 5000});
  struct Case {
    std::optional<int64_t> from_ts;
    int64_t cursor_ts;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {2000, 3000, {1, 2, 3, 4}},     {4000, 1000, {}},       {5001, kMax, {}},
      {kMin, kMax, {0, 1, 2, 3, 4, 5, 6}}, {std::nullopt, kMin, {}}, {5000, 5000, {6}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(indices(cut_window(d, c.from_ts, c.cursor_ts).trades), c.expected) << c.cursor_ts;
  }
  const DatasetWindow none = cut_window(Dataset{}, std::nullopt, 0);
  EXPECT_TRUE(none.candles.empty() && none.trades.empty() && none.book.empty() &&
              none.funding.empty() && none.oi.empty() && none.liquidations.empty());
}

// The copying description: walk the list, keep lower <= ts <= cursor, then a
// stable sort by ts. Records are told apart by their address in the dataset.
template <class Record>
std::vector<const Record*> copied_window(const std::vector<Record>& list,
                                         std::optional<int64_t> from_ts, int64_t cursor_ts) {
  std::vector<const Record*> kept;
  for (const Record& r : list) {
    if ((!from_ts || r.ts >= *from_ts) && r.ts <= cursor_ts) kept.push_back(&r);
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const Record* a, const Record* b) { return a->ts < b->ts; });
  return kept;
}

template <class Record>
std::vector<const Record*> addresses(std::span<const Record> window) {
  std::vector<const Record*> out;
  for (const Record& r : window) out.push_back(&r);
  return out;
}

template <class Record>
void fill_sorted(std::vector<Record>& list, std::mt19937_64& rng, int64_t span) {
  list.resize(rng() % 40);
  for (Record& r : list) r.ts = static_cast<int64_t>(rng() % static_cast<uint64_t>(span)) - 5;
  std::stable_sort(list.begin(), list.end(),
                   [](const Record& a, const Record& b) { return a.ts < b.ts; });
}

TEST(CutWindow, MatchesTheCopyingWindowOnRandomData) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 2000; ++round) {
    Dataset d;
    const int64_t span = 1 + static_cast<int64_t>(rng() % 30);  // small spans: many equal ts
    for_each_list(d, [&](auto& list) { fill_sorted(list, rng, span); });
    const auto pick = [&] { return static_cast<int64_t>(rng() % 40) - 8; };
    const std::optional<int64_t> from_ts =
        rng() % 4 == 0 ? std::nullopt : std::optional<int64_t>(pick());
    const int64_t cursor_ts = pick();
    SCOPED_TRACE(round);
    const DatasetWindow w = cut_window(d, from_ts, cursor_ts);
    EXPECT_EQ(addresses(w.candles), copied_window(d.candles, from_ts, cursor_ts));
    EXPECT_EQ(addresses(w.trades), copied_window(d.trades, from_ts, cursor_ts));
    EXPECT_EQ(addresses(w.book), copied_window(d.book, from_ts, cursor_ts));
    EXPECT_EQ(addresses(w.funding), copied_window(d.funding, from_ts, cursor_ts));
    EXPECT_EQ(addresses(w.oi), copied_window(d.oi, from_ts, cursor_ts));
    EXPECT_EQ(addresses(w.liquidations), copied_window(d.liquidations, from_ts, cursor_ts));
  }
}

}  // namespace
}  // namespace xray
