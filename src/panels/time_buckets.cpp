// src/panels/time_buckets.cpp: bucket grid arithmetic without overflow.
#include "panels/time_buckets.h"

#include <algorithm>

namespace xray {

TimeBuckets time_buckets(int64_t first_ts, int64_t last_ts, int64_t bucket_ms) {
  const int64_t q0 = floor_div(first_ts, bucket_ms);
  const int64_t q1 = floor_div(last_ts, bucket_ms);
  return TimeBuckets{
      .first_start = Int128{q0} * bucket_ms,
      .count = static_cast<UInt128>(Int128{q1} - q0 + 1),
      .bucket_ms = bucket_ms,
  };
}

std::optional<TimeBuckets> book_buckets(const DatasetWindow& window, int64_t bucket_ms) {
  if (window.book.empty()) return std::nullopt;
  return time_buckets(window.book.front().ts, window.book.back().ts, bucket_ms);
}

std::optional<TimeBuckets> series_buckets(const DatasetWindow& window, int64_t bucket_ms) {
  if (window.funding.empty() && window.oi.empty() && window.candles.empty()) return std::nullopt;
  int64_t first = INT64_MAX;
  int64_t last = INT64_MIN;
  const auto widen = [&](auto records) {
    if (records.empty()) return;
    first = std::min(first, records.front().ts);
    last = std::max(last, records.back().ts);
  };
  widen(window.funding);
  widen(window.oi);
  widen(window.candles);
  return time_buckets(first, last, bucket_ms);
}

}  // namespace xray
