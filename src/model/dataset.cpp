// src/model/dataset.cpp: ordering, counting and bounds of a dataset.
#include "model/dataset.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/stable_sort.h"
#include "core/total_order.h"

namespace xray {
namespace {

// Records a nearly ordered list may move in all, per record, before the
// insertion sort hands over to a merge sort.
constexpr std::size_t kInsertionMovesPerRecord = 8;

template <class Record>
void stable_sort_by_ts(std::vector<Record>& records) {
  // Loaded data is usually in order, or nearly (trades stamped a little out
  // of order): inserting each record after the earlier ones with a stamp not
  // above its own orders those in a few moves. Past a budget of moves a merge
  // sort finishes; both keep records of equal stamps in their order, so the
  // result is the same either way.
  const auto by_ts = [](const Record& a, const Record& b) { return a.ts < b.ts; };
  if (!stable_insertion_sort(records.begin(), records.end(), by_ts,
                             kInsertionMovesPerRecord * records.size())) {
    std::stable_sort(records.begin(), records.end(), by_ts);
  }
}

template <class Record>
void widen_by_ends(const std::vector<Record>& records, int64_t& lo, int64_t& hi) {
  if (records.empty()) return;
  lo = std::min(lo, records.front().ts);
  hi = std::max(hi, records.back().ts);
}

void widen(KeyRange& range, std::span<const PriceLevel> levels) {
  for (const PriceLevel& level : levels) {
    const uint64_t key = total_order_key(level.price);
    range.lo = std::min(range.lo, key);
    range.hi = std::max(range.hi, key);
  }
}

}  // namespace

std::vector<KeyRange> index_book_events(std::span<BookEvent> events) {
  std::vector<KeyRange> blocks((events.size() + kBookBlockEvents - 1) / kBookBlockEvents,
                               KeyRange{UINT64_MAX, 0});
  uint32_t since = BookEvent::kNoSnapshot;
  for (std::size_t i = 0; i < events.size(); ++i) {
    BookEvent& event = events[i];
    widen(blocks[i / kBookBlockEvents], event.bids);
    widen(blocks[i / kBookBlockEvents], event.asks);
    if (event.kind == BookEventKind::Snapshot) {
      since = 0;
    } else if (since < BookEvent::kNoSnapshot - 1) {
      ++since;
    } else if (since == BookEvent::kNoSnapshot - 1) {
      since = BookEvent::kSnapshotUnknown;  // too far back to count
    }
    event.since_snapshot = since;
  }
  return blocks;
}

void sort_by_ts(Dataset& dataset) {
  for_each_list(dataset, [](auto& list) { stable_sort_by_ts(list); });
}

uint64_t record_count(const Dataset& d) {
  uint64_t count = 0;
  for_each_list(d, [&](const auto& list) { count += list.size(); });
  return count;
}

std::optional<DatasetBounds> sorted_dataset_bounds(const Dataset& d) {
  const uint64_t count = record_count(d);
  if (count == 0) return std::nullopt;
  int64_t lo = std::numeric_limits<int64_t>::max();
  int64_t hi = std::numeric_limits<int64_t>::min();
  for_each_list(d, [&](const auto& list) { widen_by_ends(list, lo, hi); });
  return DatasetBounds{lo, hi, count};
}

}  // namespace xray
