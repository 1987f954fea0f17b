// Work that hostile values cannot blow up: the hashed bins against keys in
// arithmetic progression, the book sides by level against maps, and the
// heatmap's cost on crowded levels changed in every bucket.
#include <gtest/gtest.h>
#include <malloc.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "panels/bit_pattern_table.h"
#include "panels/level_side.h"
#include "panels/panels.h"
#include "support.h"

namespace xray {
namespace {

// 2^52 as a double's bit pattern: integers from there to 2^53 are doubles
// whose bit patterns step by one, so prices 2^52 + j*stride are keys in
// arithmetic progression.
constexpr uint64_t kTwoTo52Bits = 0x4330000000000000;
// The denominator nearest 2^64 / golden ratio within 2^34: the stride that
// sent every key of a plain multiplicative hash to one probe run.
constexpr uint64_t kFibonacciStride = 2971215073;

struct KeySlot {
  static bool is_free(uint64_t slot) { return slot == 0; }
  static uint64_t key(uint64_t slot) { return slot; }
};

TEST(BitPatternTable, KeysInArithmeticProgressionStayNearTheirHome) {
  constexpr std::size_t kKeys = 200'000;
  const uint64_t strides[] = {
      1, 7919, kFibonacciStride, kFibonacciStride << 8, 1ull << 32, 0x9E3779B97F4A7C15};
  for (const uint64_t stride : strides) {
    SCOPED_TRACE(stride);
    BitPatternTable<uint64_t, KeySlot> table;
    for (uint64_t j = 0; j < kKeys; ++j) {
      const uint64_t key = kTwoTo52Bits + j * stride;
      const std::size_t pos = table.locate(key);
      ASSERT_TRUE(table.is_free_at(pos));
      table.fill(pos, key);
    }
    ASSERT_EQ(table.size(), kKeys);
    // A table at most half full averages under two probes per held key.
    EXPECT_LE(table.probes_to_find_all(), 3 * kKeys);
  }
}

// The heatmap's sides grouped by grid level against an ordered map per
// level, checked after each step: keys of a level few enough to stay in its
// short array and many enough to move it into an ordered side (in runs that
// split and empty), removals that empty levels, clears that must name every
// level holding something. Each level's fold in key order from -0.0 lies
// within its bounds and is what fold() gives, bit for bit; quantities of
// three decimals, huge ones (tame and not), cancelling ones, NaN.
TEST(LevelSide, MatchesAnOrderedMapPerLevel) {
  const std::vector<double> qtys = {0.0,  -0.0, 1.0,   2.5,    -1.0,  std::nan(""),
                                    1e-9, 2.5,  1e200, -1e200, 1e300, 1e16};
  for (uint64_t seed = 0; seed < 18; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const uint64_t pool = seed % 2 == 0 ? 30 : 400;
    LevelSide side;
    std::map<std::size_t, std::map<uint64_t, double>> model;
    std::size_t certified = 0;  // folds the running sums bounded
    for (int step = 0; step < 120; ++step) {
      if (rng() % 40 == 0) {
        std::set<std::size_t> named;
        side.clear([&](std::size_t level) { named.insert(level); });
        for (const auto& [level, keys] : model) {
          EXPECT_TRUE(keys.empty() || named.count(level) == 1) << level;
        }
        model.clear();
      }
      for (int i = 0; i < 60; ++i) {
        const std::size_t level = rng() % 4 == 0 ? rng() % 1000000 : rng() % 3;
        const uint64_t key = 5000 + rng() % pool * 3;
        const double qty = seed % 3 == 0   ? static_cast<double>(rng() % 9000) / 1000
                           : seed % 3 == 1 ? testing::pick(rng, qtys) * (rng() % 2 ? 1.0 : -1.0)
                                           : testing::pick(rng, qtys);
        std::map<uint64_t, double>& keys = model[level];
        const auto it = keys.find(key);
        bool changed = true;
        if (qty == 0.0) {
          changed = it != keys.end();
          if (changed) keys.erase(it);
        } else if (it != keys.end() &&
                   std::bit_cast<uint64_t>(it->second) == std::bit_cast<uint64_t>(qty)) {
          changed = false;
        } else {
          keys[key] = qty;
        }
        ASSERT_EQ(side.set(level, key, qty), changed);
      }
      for (const auto& [level, keys] : model) {
        std::vector<std::pair<uint64_t, uint64_t>> got;
        side.visit(level, [&](const LevelSide::Entry& e) {
          got.emplace_back(e.key, std::bit_cast<uint64_t>(e.qty));
        });
        std::vector<std::pair<uint64_t, uint64_t>> want;
        double fold = -0.0;
        for (const auto& [key, qty] : keys) {
          want.emplace_back(key, std::bit_cast<uint64_t>(qty));
          fold += qty;
        }
        ASSERT_EQ(got, want) << "level " << level;
        // Which NaN an addition of two gives is the compiler's choice.
        const auto same = [&](double x) {
          return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(fold) ||
                 (std::isnan(x) && std::isnan(fold));
        };
        const FoldBounds bounds = side.fold_bounds(level);
        certified += bounds.exact() ? 0 : 1;
        ASSERT_TRUE(bounds.exact() ? same(bounds.lo) : bounds.lo <= fold && fold <= bounds.hi)
            << level;
        const bool refold = rng() % 4 == 0;
        ASSERT_TRUE(!refold || same(side.fold(level))) << level;
      }
    }
    if (pool == 400 && seed % 3 == 0) {
      EXPECT_GT(certified, 0u);
    }
  }
}

// Levels crowded with thousands of prices of three decimals, one price
// changed in every bucket; and 100 ticks a level with 20 prices changed in
// every bucket (an hour of 100 ms diffs). Each changed level used to be
// folded again, events x prices quantities read (20k events over 2k prices
// 0.7 s, 80k over 8k 12 s); the level sums now certify those cells.
TEST(BookHeatmap, CrowdedLevelsCostTheirChanges) {
  // Events, prices a level, prices an event changes, largest quantity.
  for (const auto [events, prices, changes, max_qty] : {std::array{20'000, 2'000, 1, 5},
                                                        {80'000, 8'000, 1, 1},
                                                        {100'000, 3'000, 1, 5},
                                                        {36'000, 100, 20, 5}}) {
    SCOPED_TRACE(prices);
    std::mt19937_64 rng(prices);
    const auto qty = [&] { return static_cast<double>(1 + rng() % (1000 * max_qty)) / 1000; };
    // Four levels a side: bids in [96, 100), asks in [100, 104).
    const auto price = [&](int j) { return 96 + static_cast<double>(j) / prices; };
    std::vector<BookEvent> book{{0, BookEventKind::Snapshot, {}, {}}};
    for (int j = 0; j < 4 * prices; ++j) {
      book[0].bids.push_back({price(j), qty()});
      book[0].asks.push_back({price(j) + 4, qty()});
    }
    for (int t = 1; t <= events; ++t) {
      book.push_back({t, BookEventKind::Diff, {}, {}});
      for (int c = 0; c < changes; ++c) {
        const int j = static_cast<int>(rng() % (4 * prices));
        book.back().bids.push_back({price(j), rng() % 10 == 0 ? 0.0 : qty()});
      }
    }
    DatasetWindow window{};
    window.book = book;
    BookHeatmapJob job({1.0, 1, 40}, window, 1);
    job.run_part(0);
    EXPECT_LE(job.folded(), static_cast<uint64_t>(events) * changes);
  }
}

// Kilobytes of a "VmRSS:"-like line of /proc/self/status, or -1.
long status_kb(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

// One row of four million levels: the panel works in its output (cells and
// prices, 64 MB) and a bit per level. Per-level ranges, sums and a row
// copy took 224 MB.
TEST(BookHeatmap, DeepGridWorksInItsOutput) {
  constexpr uint32_t kLevels = 4'000'000;
  const std::vector<BookEvent> book = {{0, BookEventKind::Snapshot, {{99, 1}}, {{101, 1}}}};
  DatasetWindow window{};
  window.book = book;
  malloc_trim(0);  // freed memory kept by the heap would hide new allocations
  std::ofstream("/proc/self/clear_refs") << "5";  // the high-water mark restarts here
  const long before_kb = status_kb("VmRSS:");
  if (before_kb < 0 || status_kb("VmHWM:") > before_kb + 1024) {
    GTEST_SKIP() << "no resettable peak of the resident set here";
  }
  const PanelData out = compute_book_heatmap({1.0, 1000, kLevels}, window);
  const long peak_kb = status_kb("VmHWM:") - before_kb;
  const auto& heatmap = std::get<PanelData::BookHeatmap>(out.data);
  ASSERT_EQ(heatmap.intensity.size(), std::size_t{kLevels});
  const long output_kb = 2 * long{kLevels} * 8 / 1024;
  EXPECT_LE(peak_kb, output_kb * 5 / 4) << "output " << output_kb << " kB";
}

}  // namespace
}  // namespace xray
