// src/panels/book_heatmap.cpp: resting book quantity on a fixed price grid,
// sampled at the end of every time bucket.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
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

LevelRange edge_range(double lo, double hi) {
  const auto edge = [](double x) { return total_order_key(x == 0.0 ? -0.0 : x); };
  return {edge(lo), edge(hi)};
}

// The lower edge of each level, and its key range. Ranges are stored for
// grids of up to kStoredRanges levels, where they cost little and are read
// for every change; deeper grids work each out from its price when asked
// for, since stored they would take twice the grid's memory (800 MB at the
// size limit).
//
// The key ranges never move down from one level to the next: both edges are
// rounded, monotone functions of the level index. NaN edges (an infinite
// centre plus an infinite offset, or a NaN centre) come in one run at either
// end of the grid; their empty range is placed where the range of the level
// below ends (at key 0 below the first), so the order holds there too.
class PriceGrid {
 public:
  PriceGrid(double mid, double price_bin, uint32_t depth_levels)
      : price_bin_(price_bin), per_bin_(1.0 / price_bin) {
    price_.resize(depth_levels);
    const double centre = bin_price(mid, price_bin);
    const int64_t half = depth_levels / 2;
    for (uint32_t i = 0; i < depth_levels; ++i) {
      price_[i] = round8(centre + static_cast<double>(int64_t{i} - half) * price_bin);
    }
    first_whole_ = depth_levels;
    for (std::size_t i = 0; i < price_.size(); ++i) {
      if (has_nan_edge(i)) continue;
      if (first_whole_ == depth_levels) first_whole_ = i;
      below_top_run_ = edge_range(price_[i], hi(i)).hi_key;
    }
#if defined(XRAY_CHECK_INVARIANTS)
    // Each range as the level below it places a NaN level's, in order.
    LevelRange below{0, 0};
    for (std::size_t i = 0; i < price_.size(); ++i) {
      const LevelRange r = work_out(i);
      XRAY_ASSERT(!has_nan_edge(i) || r.lo_key == below.hi_key, "NaN edges lie at the grid's ends");
      XRAY_ASSERT(below.lo_key <= r.lo_key && below.hi_key <= r.hi_key,
                  "level edges never decrease");
      below = r;
    }
#endif
    if (depth_levels <= kStoredRanges) {
      ranges_.reserve(depth_levels);
      for (std::size_t i = 0; i < price_.size(); ++i) ranges_.push_back(work_out(i));
    }
  }

  std::size_t size() const { return price_.size(); }
  // A level near the one holding key, from the spacing of the grid: only
  // a hint, any index is correct.
  std::size_t near(uint64_t key) const {
    const double steps = (from_total_order_key(key) - price_.front()) * per_bin_;
    if (!(steps > 0.0)) return 0;  // NaN too
    return steps < static_cast<double>(size() - 1) ? static_cast<std::size_t>(steps) : size() - 1;
  }
  LevelRange range(std::size_t i) const { return ranges_.empty() ? work_out(i) : ranges_[i]; }
  std::vector<double>& prices() { return price_; }

 private:
  static constexpr std::size_t kStoredRanges = std::size_t{1} << 20;

  LevelRange work_out(std::size_t i) const {
    if (!has_nan_edge(i)) return edge_range(price_[i], hi(i));
    const uint64_t at = i < first_whole_ ? 0 : below_top_run_;
    return {at, at};
  }
  double hi(std::size_t i) const { return round8(price_bin_ + price_[i]); }
  bool has_nan_edge(std::size_t i) const { return std::isnan(price_[i]) || std::isnan(hi(i)); }

  std::vector<double> price_;
  std::vector<LevelRange> ranges_;  // empty past kStoredRanges levels
  double price_bin_;
  double per_bin_;               // its inverse, for hints
  std::size_t first_whole_ = 0;  // the first level without a NaN edge, or size()
  uint64_t below_top_run_ = 0;   // hi_key of the last level without a NaN edge
};

double book_mid(const BookState& book) {
  // Halving each price first avoids overflow in the sum of two huge prices.
  constexpr double kHalfMax = 8.988465674311579e307;
  static_assert(kHalfMax == std::numeric_limits<double>::max() / 2);
  const double best_bid = from_total_order_key(book.bids.back_key());
  const double best_ask = from_total_order_key(book.asks.front_key());
  if (std::fabs(best_bid) <= kHalfMax && std::fabs(best_ask) <= kHalfMax) {
    return (best_bid + best_ask) * 0.5;
  }
  return best_bid * 0.5 + best_ask * 0.5;
}

// Index of the first level whose key_of(range) is above key: a search of
// the few levels around the grid's hint, or of them all when the answer
// lies elsewhere.
template <class KeyOf>
std::size_t first_above(const PriceGrid& grid, uint64_t key, KeyOf key_of) {
  const auto above = [&](std::size_t i) { return key < key_of(grid.range(i)); };
  const std::size_t n = grid.size();
  const std::size_t hint = grid.near(key);
  const std::size_t a = hint >= 2 ? hint - 2 : 0;
  const std::size_t b = std::min(n, hint + 3);
  std::size_t lo = a < n && !above(a) ? a + 1 : 0;
  std::size_t hi = b < n && above(b) ? b : n;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (above(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// The levels whose cells must be worked out again for the next row: those
// holding a price that changed since the last row. Each is listed once.
class DirtyLevels {
 public:
  explicit DirtyLevels(const PriceGrid& grid) : grid_(grid), marked_(grid.size(), false) {}

  // The levels whose range holds a key in [lo, hi]: they form one run,
  // since both edges of the ranges only grow.
  void mark(uint64_t lo, uint64_t hi) {
    const std::size_t first = first_above(grid_, lo, [](const LevelRange& r) { return r.hi_key; });
    const std::size_t end = first_above(grid_, hi, [](const LevelRange& r) { return r.lo_key; });
    for (std::size_t i = first; i < end; ++i) mark_level(i);
  }

  // The same for one key: past the first level ending above it, those
  // starting at or below it hold it (one, mostly).
  void mark(uint64_t key) {
    std::size_t i = grid_.near(key);
    const bool first_ending_above =
        grid_.range(i).hi_key > key && (i == 0 || grid_.range(i - 1).hi_key <= key);
    if (!first_ending_above) {
      i = first_above(grid_, key, [](const LevelRange& r) { return r.hi_key; });
    }
    for (; i < grid_.size() && grid_.range(i).lo_key <= key; ++i) mark_level(i);
  }

  // Calls visit(level) for each marked level, then unmarks them all.
  template <class Visit>
  void drain(Visit visit) {
    for (const std::size_t i : list_) {
      visit(i);
      marked_[i] = false;
    }
    list_.clear();
  }

 private:
  void mark_level(std::size_t i) {
    if (marked_[i]) return;
    marked_[i] = true;
    list_.push_back(i);
  }

  const PriceGrid& grid_;
  std::vector<bool> marked_;  // a bit a level
  std::vector<std::size_t> list_;
};

// Replays one event into the sampled book, keeping only keys in the grid's
// span (no level reads any other), and marks the levels it may change. A
// snapshot marks every level the sides reached before it empties them.
void replay_event(BookState& book, const BookEvent& event, const LevelRange& span,
                  DirtyLevels& dirty) {
  if (event.kind == BookEventKind::Snapshot) {
    for (OrderedSide* side : {&book.bids, &book.asks}) {
      if (side->empty()) continue;
      dirty.mark(side->front_key(), side->back_key());
      side->clear();
    }
  }
  const auto in_span = [&](uint64_t key) { return span.lo_key <= key && key < span.hi_key; };
  const auto changed = [&](uint64_t key) { dirty.mark(key); };
  apply_levels(book.bids, event.bids, in_span, changed);
  apply_levels(book.asks, event.asks, in_span, changed);
}

bool is_negative_zero(double x) { return x == 0.0 && std::signbit(x); }

// round8(bid sum + ask sum) of one level, each sum taken in ascending price
// order from -0.0: a cell that nothing reaches is -0.0. Rounding makes the
// sums depend on their order, so a cell is added up anew rather than
// adjusted by what changed.
double level_cell(const BookState& book, const LevelRange& range) {
  double bid = -0.0;
  book.bids.visit_range(range.lo_key, range.hi_key,
                        [&](const OrderedSide::Entry& e) { bid += e.qty; });
  double ask = -0.0;
  book.asks.visit_range(range.lo_key, range.hi_key,
                        [&](const OrderedSide::Entry& e) { ask += e.qty; });
  const double cell = bid + ask;
  // round8(-0.0) is -0.0: empty cells skip the rounding.
  return is_negative_zero(cell) ? cell : round8(cell);
}

}  // namespace

PanelData compute_book_heatmap(const XrayPanel::BookHeatmap& config, const DatasetWindow& window) {
  PanelData::BookHeatmap out;
  const std::span<const BookEvent> events = window.book;
  if (events.empty()) return PanelData{std::move(out)};

  // The grid comes from the book at the end of the window; only the events
  // from the last snapshot on shape it.
  std::optional<PriceGrid> built;
  {
    const BookState last = final_book(events);
    if (last.bids.empty() || last.asks.empty()) return PanelData{std::move(out)};
    built.emplace(book_mid(last), config.price_bin, config.depth_levels);
  }
  PriceGrid& grid = *built;
  const TimeBuckets buckets = *book_buckets(window, config.bucket_ms);
  XRAY_ASSERT(heatmap_within_limits(buckets, config.depth_levels),
              "book heatmap size is checked before the panel runs");
  const auto bucket_count = static_cast<std::size_t>(buckets.count);
  const std::size_t depth = config.depth_levels;
  out.time.resize(bucket_count);
  // Rows are appended as they are made, so the output is written once.
  out.intensity.reserve(bucket_count * depth);

  // Sampling pass: a fresh book replays the events bucket by bucket with one
  // forward cursor. Every level lies within the key span from the first
  // level's lo to the last one's hi (both edges only grow), so prices
  // outside it are never read and are not stored. Each row starts as a copy
  // of the one before; only the levels a change reached are summed again.
  const LevelRange grid_span{grid.range(0).lo_key, grid.range(grid.size() - 1).hi_key};
  BookState book;
  DirtyLevels dirty(grid);
  std::size_t cursor = 0;
  BucketWalk walk(buckets);
  CancelPoll cancel;
  for (std::size_t k = 0; k < bucket_count; ++k, walk.next()) {
    if (cancel.due()) return {};
    // The replay of a bucket starts at its last snapshot, found on the way.
    std::size_t end = cursor;
    std::size_t start = cursor;
    for (; end < events.size() && walk.before_end(events[end].ts); ++end) {
      if (events[end].kind == BookEventKind::Snapshot) start = end;
    }
    // Events before that snapshot would be cleared by it: they are skipped,
    // and the snapshot marks the levels of the book it empties.
    for (std::size_t e = start; e < end; ++e) replay_event(book, events[e], grid_span, dirty);
    cursor = end;
    out.time[k] = walk.start();

    const std::size_t row = out.intensity.size();
    if (k == 0) {
      out.intensity.resize(depth, -0.0);
    } else {
      out.intensity.resize(row + depth);
      std::copy_n(out.intensity.data() + (row - depth), depth, out.intensity.data() + row);
    }
    dirty.drain([&](std::size_t i) { out.intensity[row + i] = level_cell(book, grid.range(i)); });
  }
  out.price = std::move(grid.prices());
  return PanelData{std::move(out)};
}

}  // namespace xray
