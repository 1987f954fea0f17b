// src/dataset.cpp: ordering, counting and bounds of a dataset.
#include "dataset.h"

#include <algorithm>
#include <limits>

namespace xray {
namespace {

template <class Record>
void stable_sort_by_ts(std::vector<Record>& records) {
  // Loaded data is usually already in order; skip the sort then.
  const auto by_ts = [](const Record& a, const Record& b) { return a.ts < b.ts; };
  if (std::is_sorted(records.begin(), records.end(), by_ts)) return;
  std::stable_sort(records.begin(), records.end(), by_ts);
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
  widen_list(d.candles, lo, hi);
  widen_list(d.trades, lo, hi);
  widen_list(d.book, lo, hi);
  widen_list(d.funding, lo, hi);
  widen_list(d.oi, lo, hi);
  widen_list(d.liquidations, lo, hi);
  return DatasetBounds{lo, hi, count};
}

}  // namespace

void sort_by_ts(Dataset& dataset) {
  stable_sort_by_ts(dataset.candles);
  stable_sort_by_ts(dataset.trades);
  stable_sort_by_ts(dataset.book);
  stable_sort_by_ts(dataset.funding);
  stable_sort_by_ts(dataset.oi);
  stable_sort_by_ts(dataset.liquidations);
}

uint64_t record_count(const Dataset& d) {
  return static_cast<uint64_t>(d.candles.size()) + d.trades.size() + d.book.size() +
         d.funding.size() + d.oi.size() + d.liquidations.size();
}

std::optional<DatasetBounds> dataset_bounds(const Dataset& d) {
  return bounds_with(d, [](const auto& list, int64_t& lo, int64_t& hi) { widen(list, lo, hi); });
}

std::optional<DatasetBounds> sorted_dataset_bounds(const Dataset& d) {
  return bounds_with(
      d, [](const auto& list, int64_t& lo, int64_t& hi) { widen_by_ends(list, lo, hi); });
}

}  // namespace xray
