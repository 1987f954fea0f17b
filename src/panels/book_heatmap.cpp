// src/panels/book_heatmap.cpp: resting book quantity on a fixed price grid,
// sampled at the end of every time bucket.
//
// Work: each event of a part's replay is read once; each price a bucket
// changed goes into the levels holding it (one, two where rounded edges
// overlap) at O(log) cost, and each bucket copies its row and works out the
// cells of the levels that changed. A level of at most LevelSide::kFewMax
// prices a side is folded (that many reads at most); a crowded level's cell
// costs O(1) whenever the bounds from its running sums certify it (see
// level_cell). A frame is then O((events + prices changed) * log + cells).
// A cell the bounds leave open costs a fold of its level, O(prices held):
// levels holding NaN, infinite or huge quantities (or whose sums drifted
// after huge ones cancelled), and sums so close to a rounding point of round8 that the fold's
// proven error reaches it. For quantities of 3-4 decimals that takes prices per level times the
// level's total quantity past about 5 * 10^7: 3,000 prices averaging 5 certify, 8,000 averaging 2.5
// do not.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "core/cancel.h"
#include "panels/book_state.h"
#include "panels/last_quantities.h"
#include "panels/level_side.h"
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

}  // namespace

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

namespace {

double book_mid(const BookTop& top) {
  // Halving each price first avoids overflow in the sum of two huge prices.
  constexpr double kHalfMax = 8.988465674311579e307;
  static_assert(kHalfMax == std::numeric_limits<double>::max() / 2);
  const double best_bid = from_total_order_key(top.best_bid_key);
  const double best_ask = from_total_order_key(top.best_ask_key);
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

// Calls visit(level) for every level whose range holds key: past the first
// level ending above it, those starting at or below it (one, mostly; none
// when key falls between two levels).
template <class Visit>
void for_levels_holding(const PriceGrid& grid, uint64_t key, Visit visit) {
  std::size_t i = grid.near(key);
  const bool first_ending_above =
      grid.range(i).hi_key > key && (i == 0 || grid.range(i - 1).hi_key <= key);
  if (!first_ending_above) {
    i = first_above(grid, key, [](const LevelRange& r) { return r.hi_key; });
  }
  for (; i < grid.size() && grid.range(i).lo_key <= key; ++i) visit(i);
}

// The levels whose cells must be worked out again for the next row: those
// holding a price that changed since the last row. Each is listed once.
class DirtyLevels {
 public:
  explicit DirtyLevels(std::size_t levels) : marked_(levels, false) {}

  void mark(std::size_t level) {
    if (marked_[level]) return;
    marked_[level] = true;
    list_.push_back(level);
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
  std::vector<bool> marked_;  // a bit a level
  std::vector<std::size_t> list_;
};

// Whether a block of events whose prices have the key range keys may hold
// a price in span. Most blocks of a long window lie wholly off the grid:
// their events are then not read at all.
bool reaches_span(const KeyRange& keys, const LevelRange& span) {
  return keys.lo < span.hi_key && span.lo_key <= keys.hi;
}

// The sampled book: only prices some level holds, since no cell reads any
// other; and the changes of the bucket being replayed.
struct GridBook {
  LevelSide bids;
  LevelSide asks;
  LastQuantities bid_changes;
  LastQuantities ask_changes;
};

// Notes the levels of one list whose prices lie in span. Kept out of line,
// so that its loop keeps to registers (inlined into the bucket loop, its
// cursor and bounds lived on the stack: a seventh of a replay's time).
[[gnu::noinline]] void note_levels(LastQuantities& changes, std::span<const PriceLevel> levels,
                                   const LevelRange span) {
  for (const PriceLevel& level : levels) {
    const uint64_t key = total_order_key(level.price);
    if (key >= span.lo_key && key < span.hi_key) changes.set(key, level.qty);
  }
}

// Replays one event into the changes of the bucket. A snapshot marks every
// level the sides held before it empties them, and voids the changes before
// it.
void replay_event(GridBook& book, const BookEvent& event, const LevelRange& span,
                  DirtyLevels& dirty) {
  if (event.kind == BookEventKind::Snapshot) {
    const auto mark = [&](std::size_t level) { dirty.mark(level); };
    book.bids.clear(mark);
    book.asks.clear(mark);
    book.bid_changes.clear();
    book.ask_changes.clear();
  }
  note_levels(book.bid_changes, event.bids, span);
  note_levels(book.ask_changes, event.asks, span);
}

// Puts the bucket's changes into the levels holding each price, and marks
// the levels whose contents changed.
void apply_changes(GridBook& book, const PriceGrid& grid, DirtyLevels& dirty) {
  const auto into = [&](LevelSide& side) {
    return [&](uint64_t key, double qty) {
      for_levels_holding(grid, key, [&](std::size_t i) {
        if (side.set(i, key, qty)) dirty.mark(i);
      });
    };
  };
  book.bid_changes.drain(into(book.bids));
  book.ask_changes.drain(into(book.asks));
}

// Each list of levels sits in a block of memory of its own, so reading one
// waits on memory; asking for the lists a few events ahead overlaps those
// waits.
constexpr std::size_t kPrefetchAhead = 8;

void prefetch_levels(const BookEvent& event) {
  __builtin_prefetch(event.bids.data());
  __builtin_prefetch(event.asks.data());
}

bool is_negative_zero(double x) { return x == 0.0 && std::signbit(x); }

double cell_of(double bid, double ask) {
  const double cell = bid + ask;
  // round8(-0.0) is -0.0: empty cells skip the rounding.
  return is_negative_zero(cell) ? cell : round8(cell);
}

// round8(bid sum + ask sum) of one level, each sum a left fold in ascending
// price order from -0.0: a cell that nothing reaches is -0.0. Rounding makes
// a fold depend on its order, so a running sum is not the fold; but it
// bounds it. fl(x + y) and round8 never decrease as x or y grow, so when the
// lowest and the highest cell the bounds allow round to the same nonzero
// value, the cell is that value (round8 of a zero is a zero, so the cell
// is no zero of either sign). Otherwise both sides are folded.
double level_cell(GridBook& book, std::size_t level) {
  const FoldBounds bid = book.bids.fold_bounds(level);
  const FoldBounds ask = book.asks.fold_bounds(level);
  if (bid.exact() && ask.exact()) return cell_of(bid.lo, ask.lo);
  const double low = round8(bid.lo + ask.lo);
  const double high = round8(bid.hi + ask.hi);
  if (std::bit_cast<uint64_t>(low) == std::bit_cast<uint64_t>(high) && low != 0.0 &&
      std::isfinite(low)) {
    return low;
  }
  return cell_of(book.bids.fold(level), book.asks.fold(level));
}

// The bucket holding ts, counted from the grid's first.
std::size_t bucket_of(const TimeBuckets& buckets, int64_t ts) {
  return static_cast<std::size_t>((Int128{ts} - buckets.first_start) / buckets.bucket_ms);
}

}  // namespace

// Rows [first_bucket, end_bucket) need the book as it stood at the end of
// the bucket before: a part replays from the last snapshot before its first
// bucket's events (the book is the same as after the full replay, a snapshot
// empties both sides), starts its first row from -0.0 like the first row of
// the panel, and marks the levels that replay reaches. Every row is then the
// same function of the book, whichever part made it.
struct BookHeatmapJob::Part {
  std::size_t first_bucket;
  std::size_t end_bucket;
  std::size_t replay_from;  // event index
};

BookHeatmapJob::BookHeatmapJob(const XrayPanel::BookHeatmap& config, const DatasetWindow& window,
                               std::size_t max_parts, std::size_t min_part_events)
    : events_(window.book),
      blocks_(window.book_blocks),
      book_at_(window.book_at),
      depth_(config.depth_levels) {
  if (events_.empty()) return;
  // The grid comes from the book at the end of the window; only the events
  // from the last snapshot on shape it.
  {
    const std::optional<BookTop> top = final_book_top(events_);
    if (!top) return;
    grid_ = std::make_unique<PriceGrid>(book_mid(*top), config.price_bin, config.depth_levels);
  }
  buckets_ = *book_buckets(window, config.bucket_ms);
  XRAY_ASSERT(heatmap_within_limits(*buckets_, config.depth_levels),
              "book heatmap size is checked before the panel runs");
  const auto bucket_count = static_cast<std::size_t>(buckets_->count);
  out_.time.resize(bucket_count);
  out_.intensity.resize(bucket_count * depth_);

  // Parts of about equal event counts, each starting at the bucket of its
  // first event. A part whose replay from the last snapshot would repeat
  // more than half of what came before it is joined to the part before: it
  // would save the other core little and cost this one much.
  parts_.push_back(Part{0, bucket_count, 0});
  const std::size_t wanted =
      std::min(max_parts, events_.size() / std::max<std::size_t>(min_part_events, 1));
  for (std::size_t p = 1; p < wanted; ++p) {
    const std::size_t k = bucket_of(*buckets_, events_[events_.size() * p / wanted].ts);
    if (k <= parts_.back().first_bucket) continue;
    const Int128 start =
        buckets_->first_start + Int128{buckets_->bucket_ms} * static_cast<Int128>(k);
    const auto first_event = static_cast<std::size_t>(
        std::partition_point(events_.begin(), events_.end(),
                             [&](const BookEvent& e) { return Int128{e.ts} < start; }) -
        events_.begin());
    const std::size_t replay_from = replay_start(events_.first(first_event));
    if ((first_event - replay_from) * 2 > first_event - parts_.back().replay_from) continue;
    parts_.back().end_bucket = k;
    parts_.push_back(Part{k, bucket_count, replay_from});
  }
  folded_.assign(parts_.size(), 0);
}

BookHeatmapJob::~BookHeatmapJob() = default;

std::size_t BookHeatmapJob::parts() const { return grid_ ? parts_.size() : 0; }

std::size_t BookHeatmapJob::bucket_end(std::size_t cursor, const BucketWalk& walk) const {
  // Steps that double from the cursor, then a halving search: the cost
  // follows the log of the bucket's events, not of the list, and events
  // in between are not read.
  const auto before_end = [&](const BookEvent& e) { return walk.before_end(e.ts); };
  std::size_t lo = cursor;
  std::size_t probe = cursor;
  for (std::size_t step = 1; probe < events_.size() && before_end(events_[probe]); step *= 2) {
    lo = probe + 1;
    probe = lo + step;
  }
  const auto first = events_.begin() + static_cast<std::ptrdiff_t>(lo);
  const auto last = events_.begin() + static_cast<std::ptrdiff_t>(std::min(probe, events_.size()));
  return static_cast<std::size_t>(std::partition_point(first, last, before_end) - events_.begin());
}

void BookHeatmapJob::run_part(std::size_t index) {
  const Part& part = parts_[index];
  const PriceGrid& grid = *grid_;
  // A fresh book replays the events bucket by bucket with one forward
  // cursor. Every level lies within the key span from the first level's lo
  // to the last one's hi (both edges only grow), so prices outside it are
  // never read and are not stored. Each row starts as a copy of the one
  // before; only the levels a change reached are summed again.
  const LevelRange grid_span{grid.range(0).lo_key, grid.range(grid.size() - 1).hi_key};
  GridBook book;
  DirtyLevels dirty(grid.size());
  std::size_t cursor = part.replay_from;
  TimeBuckets from = *buckets_;
  from.first_start += Int128{from.bucket_ms} * static_cast<Int128>(part.first_bucket);
  BucketWalk walk(from);
  // Polled for every bucket and every event replayed, so that one bucket
  // of a million events stops as soon as many buckets of a few do.
  CancelPoll cancel;
  for (std::size_t k = part.first_bucket; k < part.end_bucket; ++k, walk.next()) {
    if (cancel.due()) return;  // the frame is dropped as a whole
    const std::size_t end = bucket_end(cursor, walk);
    // Events before the bucket's last snapshot would be cleared by it: the
    // replay starts there, and the snapshot marks the levels of the book it
    // empties. Runs of events that miss the grid are passed over whole.
    const std::size_t start = cursor + replay_start(events_.subspan(cursor, end - cursor));
    if (start < end) replay_event(book, events_[start], grid_span, dirty);
    for (std::size_t e = start + 1; e < end;) {
      const std::size_t stored = book_at_ + e;
      // A block may run past the bucket: the loop ends there all the same.
      if (stored % kBookBlockEvents == 0 && stored / kBookBlockEvents < blocks_.size() &&
          !reaches_span(blocks_[stored / kBookBlockEvents], grid_span)) {
        e += kBookBlockEvents;
        continue;
      }
      if (cancel.due()) return;
      if (e + kPrefetchAhead < end) prefetch_levels(events_[e + kPrefetchAhead]);
      replay_event(book, events_[e], grid_span, dirty);
      ++e;
    }
    apply_changes(book, grid, dirty);
    cursor = end;
    out_.time[k] = walk.start();

    double* row = out_.intensity.data() + k * depth_;
    if (k == part.first_bucket) {
      std::fill_n(row, depth_, -0.0);
    } else {
      std::copy_n(row - depth_, depth_, row);
    }
    dirty.drain([&](std::size_t i) { row[i] = level_cell(book, i); });
  }
  folded_[index] = book.bids.folded() + book.asks.folded();
}

uint64_t BookHeatmapJob::folded() const {
  uint64_t total = 0;
  for (const uint64_t n : folded_) total += n;
  return total;
}

PanelData BookHeatmapJob::take() {
  if (grid_) out_.price = std::move(grid_->prices());
  return PanelData{std::move(out_)};
}

PanelData compute_book_heatmap(const XrayPanel::BookHeatmap& config, const DatasetWindow& window) {
  BookHeatmapJob job(config, window, 1);
  for (std::size_t i = 0; i < job.parts(); ++i) job.run_part(i);
  return job.take();
}

}  // namespace xray
