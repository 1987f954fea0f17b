// src/model/dataset.cpp: ordering, counting and bounds of a dataset.
#include "model/dataset.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

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
  std::size_t budget = kInsertionMovesPerRecord * records.size();
  const auto begin = records.begin();
  for (std::size_t i = 1; i < records.size(); ++i) {
    const int64_t ts = records[i].ts;
    std::size_t to = i;
    while (to > 0 && ts < records[to - 1].ts && budget > 0) {
      --to;
      --budget;
    }
    if (to > 0 && ts < records[to - 1].ts) {
      std::stable_sort(begin, records.end(), by_ts);
      return;
    }
    if (to == i) continue;
    Record moved = std::move(records[i]);
    const auto at = [&](std::size_t k) { return begin + static_cast<std::ptrdiff_t>(k); };
    std::move_backward(at(to), at(i), at(i + 1));
    records[to] = std::move(moved);
  }
}

template <class Record>
void widen(const std::vector<Record>& records, int64_t& lo, int64_t& hi) {
  for (const Record& r : records) {
    lo = std::min(lo, r.ts);
    hi = std::max(hi, r.ts);
  }
}

template <class Record>
void widen_by_ends(const std::vector<Record>& records, int64_t& lo, int64_t& hi) {
  if (records.empty()) return;
  lo = std::min(lo, records.front().ts);
  hi = std::max(hi, records.back().ts);
}

template <class Widen>
std::optional<DatasetBounds> bounds_with(const Dataset& d, Widen widen_list) {
  const uint64_t count = record_count(d);
  if (count == 0) return std::nullopt;
  int64_t lo = std::numeric_limits<int64_t>::max();
  int64_t hi = std::numeric_limits<int64_t>::min();
  for_each_list(d, [&](const auto& list) { widen_list(list, lo, hi); });
  return DatasetBounds{lo, hi, count};
}

}  // namespace

void sort_by_ts(Dataset& dataset) {
  for_each_list(dataset, [](auto& list) { stable_sort_by_ts(list); });
}

uint64_t record_count(const Dataset& d) {
  uint64_t count = 0;
  for_each_list(d, [&](const auto& list) { count += list.size(); });
  return count;
}

std::optional<DatasetBounds> dataset_bounds(const Dataset& d) {
  return bounds_with(d, [](const auto& list, int64_t& lo, int64_t& hi) { widen(list, lo, hi); });
}

std::optional<DatasetBounds> sorted_dataset_bounds(const Dataset& d) {
  return bounds_with(
      d, [](const auto& list, int64_t& lo, int64_t& hi) { widen_by_ends(list, lo, hi); });
}

}  // namespace xray
