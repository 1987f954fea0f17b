// Work that hostile values cannot blow up: the hashed bins against keys in
// arithmetic progression, the ordered book side against a map, and the
// heatmap's cost on a deep book changed in every bucket.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>

#include "panels/bit_pattern_table.h"
#include "panels/ordered_side.h"
#include "panels/panels.h"
#include "support.h"

namespace xray {
namespace {

using Clock = std::chrono::steady_clock;

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

TEST(Footprint, FibonacciStridedPricesEachGetTheirBin) {
  std::vector<Trade> trades;
  for (uint64_t j = 0; j < 200'000; ++j) {
    trades.push_back({0, static_cast<double>(4503599627370496ull + j * kFibonacciStride), 1.0,
                      j % 2 ? TradeSide::Sell : TradeSide::Buy});
  }
  const auto start = Clock::now();
  DatasetWindow window{};
  window.trades = trades;
  const PanelData out = compute_footprint({1.0, 1}, window);
  // 26 s when every bin probed one run; about 30 ms now.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  const auto& bins = std::get<PanelData::Footprint>(out.data).price_bins;
  ASSERT_EQ(bins.size(), trades.size());
  EXPECT_TRUE(std::is_sorted(bins.begin(), bins.end()));
}

}  // namespace
}  // namespace xray
