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
  const uint64_t count = record_count(d);
  if (count == 0) return std::nullopt;
  int64_t lo = std::numeric_limits<int64_t>::max();
  int64_t hi = std::numeric_limits<int64_t>::min();
  widen(d.candles, lo, hi);
  widen(d.trades, lo, hi);
  widen(d.book, lo, hi);
  widen(d.funding, lo, hi);
  widen(d.oi, lo, hi);
  widen(d.liquidations, lo, hi);
  return DatasetBounds{lo, hi, count};
}

}  // namespace xray
