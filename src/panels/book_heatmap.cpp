// src/panels/book_heatmap.cpp: resting book quantity on a fixed price grid,
// sampled at the end of every time bucket.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "book_state.h"
#include "panel_common.h"
#include "panel_limits.h"
#include "panels.h"
#include "time_buckets.h"

namespace xray {
namespace {

// The entries of one level, lo <= price < hi by ordinary comparison, as the
// key range [lo_key, hi_key) of a side. The total order agrees with ordinary
// comparison except that it puts -0.0 below 0.0 and NaN at both ends, so a
// zero edge becomes the key of -0.0: both zeros are >= a zero lo and neither
// is < a zero hi. NaN keys lie outside [key(-inf), key(+inf)] and are never
// reached; a NaN edge admits nothing.
struct LevelRange {
  uint64_t lo_key;
  uint64_t hi_key;
};

LevelRange level_range(double lo, double hi) {
  if (std::isnan(lo) || std::isnan(hi)) return {0, 0};
  const auto edge = [](double x) { return total_order_key(x == 0.0 ? -0.0 : x); };
  return {edge(lo), edge(hi)};
}

struct PriceGrid {
  std::vector<double> price;        // lower edge of each level
  std::vector<LevelRange> ranges;   // key range of each level
  bool ascending = true;            // both edges non-decreasing: cursors only move forward
};

double book_mid(const BookState& book) {
  // Halving each price first avoids overflow in the sum of two huge prices.
  constexpr double kHalfMax = 8.988465674311579e307;
  static_assert(kHalfMax == std::numeric_limits<double>::max() / 2);
  const double best_bid = from_total_order_key(book.bids.entries().back().key);
  const double best_ask = from_total_order_key(book.asks.entries().front().key);
  if (std::fabs(best_bid) <= kHalfMax && std::fabs(best_ask) <= kHalfMax) {
    return (best_bid + best_ask) * 0.5;
  }
  return best_bid * 0.5 + best_ask * 0.5;
}

PriceGrid price_grid(double mid, double price_bin, uint32_t depth_levels) {
  PriceGrid grid;
  grid.price.resize(depth_levels);
  grid.ranges.resize(depth_levels);
  const double centre = bin_price(mid, price_bin);
  const int64_t half = depth_levels / 2;
  for (uint32_t i = 0; i < depth_levels; ++i) {
    const double lo = round8(centre + static_cast<double>(int64_t{i} - half) * price_bin);
    const double hi = round8(price_bin + lo);
    grid.price[i] = lo;
    grid.ranges[i] = level_range(lo, hi);
    if (i > 0) {
      const LevelRange& prev = grid.ranges[i - 1];
      grid.ascending = grid.ascending && prev.lo_key <= grid.ranges[i].lo_key &&
                       prev.hi_key <= grid.ranges[i].hi_key;
    }
  }
  return grid;
}

// sums[i] = the quantities of the side's entries in level i, added in
// ascending price order from -0.0. With an ascending grid both range ends
// only move forward, so after one search a row costs the levels plus the
// entries inside the grid.
void sum_levels(const BookSide& side, const PriceGrid& grid, double* sums) {
  const auto entries = side.entries();
  const std::size_t n = entries.size();
  const std::size_t levels = grid.ranges.size();
  std::size_t a = side.lower_bound(grid.ranges[0].lo_key);
  std::size_t b = side.lower_bound(grid.ranges[0].hi_key);
  for (std::size_t i = 0; i < levels; ++i) {
    const LevelRange& range = grid.ranges[i];
    if (grid.ascending) {
      while (a < n && entries[a].key < range.lo_key) ++a;
      while (b < n && entries[b].key < range.hi_key) ++b;
    } else {
      a = side.lower_bound(range.lo_key);
      b = side.lower_bound(range.hi_key);
    }
    double sum = -0.0;
    for (std::size_t j = a; j < b; ++j) sum += entries[j].qty;
    sums[i] = sum;
  }
}

bool is_negative_zero(double x) { return x == 0.0 && std::signbit(x); }

void sample_row(const BookState& book, const PriceGrid& grid, std::vector<double>& bid_sums,
                std::vector<double>& ask_sums, double* row) {
  sum_levels(book.bids, grid, bid_sums.data());
  sum_levels(book.asks, grid, ask_sums.data());
  for (std::size_t i = 0; i < bid_sums.size(); ++i) {
    const double cell = bid_sums[i] + ask_sums[i];
    // round8(-0.0) is -0.0: empty cells skip the rounding.
    row[i] = is_negative_zero(cell) ? cell : round8(cell);
  }
}

}  // namespace

PanelData compute_book_heatmap(const XrayPanel::BookHeatmap& config, const DatasetWindow& window) {
  PanelData::BookHeatmap out;
  const std::span<const BookEvent> events = window.book;
  if (events.empty()) return PanelData{std::move(out)};

  // The grid comes from the book at the end of the window; only the events
  // from the last snapshot on shape it.
  BookState book;
  for (const BookEvent& event : events.subspan(replay_start(events))) {
    apply_book_event(book, event);
  }
  if (book.bids.empty() || book.asks.empty()) return PanelData{std::move(out)};

  const TimeBuckets buckets = *book_buckets(window, config.bucket_ms);
  XRAY_ASSERT(heatmap_within_limits(buckets, config.depth_levels),
              "book heatmap size is checked before the panel runs");
  PriceGrid grid = price_grid(book_mid(book), config.price_bin, config.depth_levels);
  const auto bucket_count = static_cast<std::size_t>(buckets.count);
  const std::size_t depth = config.depth_levels;
  out.time.resize(bucket_count);
  out.intensity.resize(bucket_count * depth);
  std::vector<double> bid_sums(depth);
  std::vector<double> ask_sums(depth);

  // Sampling pass: the same book object, emptied, replays the events bucket
  // by bucket with one forward cursor.
  book.bids.clear();
  book.asks.clear();
  std::size_t cursor = 0;
  BucketWalk walk(buckets);
  for (std::size_t k = 0; k < bucket_count; ++k, walk.next()) {
    std::size_t end = cursor;
    while (end < events.size() && walk.before_end(events[end].ts)) ++end;
    out.time[k] = walk.start();
    double* row = out.intensity.data() + k * depth;
    if (end == cursor && k > 0) {
      // Nothing happened: the book, and so the row, is the previous one.
      std::copy(row - depth, row, row);
      continue;
    }
    const auto bucket_events = events.subspan(cursor, end - cursor);
    for (const BookEvent& event : bucket_events.subspan(replay_start(bucket_events))) {
      apply_book_event(book, event);
    }
    cursor = end;
    sample_row(book, grid, bid_sums, ask_sums, row);
  }
  out.price = std::move(grid.price);
  return PanelData{std::move(out)};
}

}  // namespace xray
