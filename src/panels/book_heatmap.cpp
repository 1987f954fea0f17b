// src/panels/book_heatmap.cpp: resting book quantity on a fixed price grid,
// sampled at the end of every time bucket.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/cancel.h"
#include "panels/book_state.h"
#include "panels/panel_common.h"
#include "panels/panel_limits.h"
#include "panels/panels.h"
#include "panels/time_buckets.h"

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

// The key ranges never move down from one level to the next: both edges are
// rounded, monotone functions of the level index. NaN edges (an infinite
// centre plus an infinite offset, or a NaN centre) come in one run at either
// end of the grid; their empty range is placed where the previous level's
// range ends, so the order holds there too.
LevelRange level_range(double lo, double hi, const LevelRange* previous) {
  if (std::isnan(lo) || std::isnan(hi)) {
    const uint64_t at = previous != nullptr ? previous->hi_key : 0;
    return {at, at};
  }
  const auto edge = [](double x) { return total_order_key(x == 0.0 ? -0.0 : x); };
  return {edge(lo), edge(hi)};
}

struct PriceGrid {
  std::vector<double> price;       // lower edge of each level
  std::vector<LevelRange> ranges;  // key range of each level
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
    grid.ranges[i] = level_range(lo, hi, i > 0 ? &grid.ranges[i - 1] : nullptr);
    XRAY_ASSERT(i == 0 || (grid.ranges[i - 1].lo_key <= grid.ranges[i].lo_key &&
                           grid.ranges[i - 1].hi_key <= grid.ranges[i].hi_key),
                "level edges never decrease");
  }
  return grid;
}

// Index of the first entry whose key is not below key.
std::size_t first_not_below(std::span<const BookSide::Entry> entries, uint64_t key) {
  return static_cast<std::size_t>(
      std::lower_bound(entries.begin(), entries.end(), key,
                       [](const BookSide::Entry& e, uint64_t k) { return e.key < k; }) -
      entries.begin());
}

// Index of the first level whose key is above key.
template <class KeyOf>
std::size_t first_above(std::span<const LevelRange> ranges, uint64_t key, KeyOf key_of) {
  return static_cast<std::size_t>(
      std::upper_bound(ranges.begin(), ranges.end(), key,
                       [&](uint64_t k, const LevelRange& r) { return k < key_of(r); }) -
      ranges.begin());
}

// One side's sums for a row: sums[i] for levels [first, end), -0.0 (an
// empty sum) everywhere else. Only that run is written and cleared, so a row
// costs the levels the side reaches, not the whole grid.
struct LevelSums {
  explicit LevelSums(std::size_t levels) : sums(levels, -0.0) {}
  double at(std::size_t i) const { return sums[i]; }

  std::vector<double> sums;
  std::size_t first = 0;
  std::size_t end = 0;
};

// The quantities of the side's entries in each level, added in ascending
// price order from -0.0. Only the levels between the side's lowest and
// highest key can hold anything; there both range ends only move forward
// (the ranges are ordered), so this costs those levels plus the entries.
void sum_levels(const BookSide& side, const PriceGrid& grid, LevelSums& out) {
  std::fill(out.sums.data() + out.first, out.sums.data() + out.end, -0.0);
  out.first = out.end = 0;
  const std::span<const LevelRange> ranges = grid.ranges;
  const std::span<const BookSide::Entry> entries = side.entries();
  if (entries.empty()) return;
  // Levels ending at or below the lowest key, or starting above the highest, stay empty.
  const std::size_t first_level =
      first_above(ranges, entries.front().key, [](const LevelRange& r) { return r.hi_key; });
  const std::size_t end_level =
      first_above(ranges, entries.back().key, [](const LevelRange& r) { return r.lo_key; });
  if (first_level >= end_level) return;
  const std::size_t n = entries.size();
  std::size_t a = first_not_below(entries, ranges[first_level].lo_key);
  std::size_t b = first_not_below(entries, ranges[first_level].hi_key);
  for (std::size_t i = first_level; i < end_level; ++i) {
    const LevelRange& range = ranges[i];
    while (a < n && entries[a].key < range.lo_key) ++a;
    while (b < n && entries[b].key < range.hi_key) ++b;
    double sum = -0.0;
    for (std::size_t j = a; j < b; ++j) sum += entries[j].qty;
    out.sums[i] = sum;
  }
  out.first = first_level;
  out.end = end_level;
}

bool is_negative_zero(double x) { return x == 0.0 && std::signbit(x); }

// cell = round8(bid sum + ask sum); outside both sides' runs that is -0.0.
void sample_row(const BookState& book, const PriceGrid& grid, LevelSums& bids, LevelSums& asks,
                std::span<double> row) {
  sum_levels(book.bids, grid, bids);
  sum_levels(book.asks, grid, asks);
  const auto reached = [](const LevelSums& s) { return s.first < s.end; };
  std::size_t first = row.size();
  std::size_t end = 0;
  for (const LevelSums* side : {&bids, &asks}) {
    if (!reached(*side)) continue;
    first = std::min(first, side->first);
    end = std::max(end, side->end);
  }
  if (first >= end) first = end = 0;
  std::fill(row.data(), row.data() + first, -0.0);
  for (std::size_t i = first; i < end; ++i) {
    const double cell = bids.at(i) + asks.at(i);
    // round8(-0.0) is -0.0: empty cells skip the rounding.
    row[i] = is_negative_zero(cell) ? cell : round8(cell);
  }
  std::fill(row.data() + end, row.data() + row.size(), -0.0);
}

}  // namespace

PanelData compute_book_heatmap(const XrayPanel::BookHeatmap& config, const DatasetWindow& window) {
  PanelData::BookHeatmap out;
  const std::span<const BookEvent> events = window.book;
  if (events.empty()) return PanelData{std::move(out)};

  // The grid comes from the book at the end of the window; only the events
  // from the last snapshot on shape it.
  BookState book = final_book(events);
  if (book.bids.empty() || book.asks.empty()) return PanelData{std::move(out)};

  const TimeBuckets buckets = *book_buckets(window, config.bucket_ms);
  XRAY_ASSERT(heatmap_within_limits(buckets, config.depth_levels),
              "book heatmap size is checked before the panel runs");
  PriceGrid grid = price_grid(book_mid(book), config.price_bin, config.depth_levels);
  const auto bucket_count = static_cast<std::size_t>(buckets.count);
  const std::size_t depth = config.depth_levels;
  out.time.resize(bucket_count);
  // Rows are appended as they are made, so the output is written once.
  out.intensity.reserve(bucket_count * depth);
  std::vector<double> row(depth, -0.0);
  LevelSums bid_sums(depth);
  LevelSums ask_sums(depth);

  // Sampling pass: the same book object, emptied, replays the events bucket
  // by bucket with one forward cursor. Every level lies within the key span
  // from the first level's lo to the last one's hi (both edges only grow),
  // so prices outside it are never read and are not stored.
  const LevelRange grid_span{grid.ranges.front().lo_key, grid.ranges.back().hi_key};
  book.bids.clear();
  book.asks.clear();
  std::size_t cursor = 0;
  BucketWalk walk(buckets);
  CancelPoll cancel;
  for (std::size_t k = 0; k < bucket_count; ++k, walk.next()) {
    if (cancel.due()) return {};
    const uint64_t changes_before = book.bids.changes() + book.asks.changes();
    // The replay of a bucket starts at its last snapshot, found on the way.
    std::size_t end = cursor;
    std::size_t start = cursor;
    for (; end < events.size() && walk.before_end(events[end].ts); ++end) {
      if (events[end].kind == BookEventKind::Snapshot) start = end;
    }
    for (std::size_t e = start; e < end; ++e) {
      apply_book_event_within(book, events[e], grid_span.lo_key, grid_span.hi_key);
    }
    cursor = end;
    out.time[k] = walk.start();
    // A book with no change since the last row (no event, or only prices
    // off the grid, or quantities set to what they were) samples to it again.
    if (k == 0 || book.bids.changes() + book.asks.changes() != changes_before) {
      sample_row(book, grid, bid_sums, ask_sums, row);
    }
    out.intensity.insert(out.intensity.end(), row.begin(), row.end());
  }
  out.price = std::move(grid.price);
  return PanelData{std::move(out)};
}

}  // namespace xray
