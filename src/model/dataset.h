// src/model/dataset.h: the market records of one instrument and their lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/arena_resource.h"
#include "core/errors.h"

namespace xray {

enum class TradeSide : uint8_t { Buy = 0, Sell = 1 };
enum class BookEventKind : uint8_t { Snapshot = 0, Diff = 1 };
enum class LiquidationSide : uint8_t { Long = 0, Short = 1 };

struct Candle {
  int64_t ts;  // ms
  double open;
  double high;
  double low;
  double close;
  double volume;
};

struct Trade {
  int64_t ts;  // ms
  double price;
  double qty;
  TradeSide side;  // aggressor side
};

struct PriceLevel {
  double price;
  double qty;
};

// The smallest and the largest total_order_key of some prices. The default
// admits every key, so a range nobody worked out never rules a price out;
// lo > hi holds no key.
struct KeyRange {
  uint64_t lo = 0;
  uint64_t hi = UINT64_MAX;
};

// One side of a book event. A decoded dataset's lists take their memory
// from its level arena; any other (built in code, or copied) from the heap.
using LevelList = std::pmr::vector<PriceLevel>;

struct BookEvent {
  BookEvent() = default;
  BookEvent(int64_t ts_ms, BookEventKind event_kind, LevelList bid_levels, LevelList ask_levels)
      : ts(ts_ms), kind(event_kind), bids(std::move(bid_levels)), asks(std::move(ask_levels)) {}

  // The distance back to the last snapshot at or before an event is not
  // known (events not indexed, or too far back to count), or there is none.
  static constexpr uint32_t kSnapshotUnknown = UINT32_MAX;
  static constexpr uint32_t kNoSnapshot = UINT32_MAX - 1;

  int64_t ts;  // ms
  BookEventKind kind;
  // Events back to the last snapshot at or before this one, 0 for a
  // snapshot, as index_book_events finds it: a replay that starts at the
  // last snapshot of a stretch finds it without reading the stretch. It
  // sits where the record has room to spare.
  uint32_t since_snapshot = kSnapshotUnknown;
  LevelList bids;  // in the order given
  LevelList asks;
};

struct FundingEvent {
  int64_t ts;  // ms
  double rate;
};

struct OiEvent {
  int64_t ts;  // ms
  double oi;
};

struct LiquidationEvent {
  int64_t ts;  // ms
  double price;
  double qty;
  LiquidationSide side;  // side of the liquidated position
};

// The arena a dataset's level lists live in, made when the dataset is
// decoded. A moved dataset takes it along; assigning one over another swaps
// the two, so the lists the target drops still have theirs. A copy's lists
// are on the heap, so a copy starts with none.
class LevelArena {
 public:
  LevelArena() = default;
  LevelArena(const LevelArena& /*other*/) {}
  LevelArena(LevelArena&& other) noexcept : arena_(std::move(other.arena_)) {}
  LevelArena& operator=(const LevelArena& /*other*/) { return *this; }
  LevelArena& operator=(LevelArena&& other) noexcept {
    arena_.swap(other.arena_);
    return *this;
  }
  ~LevelArena() = default;

  // The arena, made on first use.
  std::pmr::memory_resource* get() {
    if (!arena_) arena_ = std::make_unique<ArenaResource>();
    return arena_.get();
  }

 private:
  std::unique_ptr<ArenaResource> arena_;
};

// Six lists; a stored dataset keeps each in ascending ts order, equal ts in
// input order.
struct Dataset {
  // First, so that it goes last: the book's lists may live in it.
  LevelArena level_arena = {};
  std::vector<Candle> candles;
  std::vector<Trade> trades;
  std::vector<BookEvent> book;
  std::vector<FundingEvent> funding;
  std::vector<OiEvent> oi;
  std::vector<LiquidationEvent> liquidations;
  // Worked out from book when a dataset is stored; empty until then, which
  // only means that nothing is passed over.
  std::vector<KeyRange> book_blocks = {};
};

// Calls visit(list) for each of the six lists of a (const or mutable)
// dataset, in declaration order.
template <class AnyDataset, class Visit>
void for_each_list(AnyDataset& d, Visit&& visit) {
  visit(d.candles);
  visit(d.trades);
  visit(d.book);
  visit(d.funding);
  visit(d.oi);
  visit(d.liquidations);
}

struct DatasetBounds {
  int64_t from_ts;  // ms, smallest ts of any record
  int64_t to_ts;    // ms, largest ts of any record
  uint64_t count;   // record_count
};

// Stable sort of each list by ts.
void sort_by_ts(Dataset& dataset);
// Book events are indexed in blocks of this many, counted from the first
// stored event.
inline constexpr std::size_t kBookBlockEvents = 32;

// Sets each event's distance back to its last snapshot, and returns the key
// range of the prices of each block of events (both lists): a replay that
// keeps only some prices passes over a block that misses them without
// reading it. events is the whole stored list.
std::vector<KeyRange> index_book_events(std::span<BookEvent> events);
// Sum of the six list lengths (a book event counts once).
uint64_t record_count(const Dataset& dataset);
// Absent when the dataset holds no record. The lists must be sorted by ts
// (every stored dataset's are): only the first and last record of each list
// are read.
std::optional<DatasetBounds> sorted_dataset_bounds(const Dataset& dataset);

}  // namespace xray
