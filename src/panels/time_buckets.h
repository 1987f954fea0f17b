// src/panels/time_buckets.h: the time grid of the bucketed panels.
#pragma once

#include <cstdint>
#include <optional>

#include "model/frame.h"
#include "panels/panel_common.h"

namespace xray {

// Buckets of bucket_ms from the one holding first_ts to the one holding
// last_ts. Held in 128 bits: q1 - q0 + 1 reaches 2^64 and q0 * bucket_ms can
// lie below the smallest 64-bit time when first_ts is close to it.
struct TimeBuckets {
  Int128 first_start;  // ms, q0 * bucket_ms
  UInt128 count;       // q1 - q0 + 1, at least 1
  int64_t bucket_ms;

  // Whether every bucket start fits a 64-bit time. The last start never
  // exceeds last_ts, so only the first one can fall outside.
  bool starts_fit() const { return first_start >= INT64_MIN; }
};

// first_ts <= last_ts, bucket_ms > 0.
TimeBuckets time_buckets(int64_t first_ts, int64_t last_ts, int64_t bucket_ms);

// The buckets of a book heatmap span its book events; none without events.
std::optional<TimeBuckets> book_buckets(const DatasetWindow& window, int64_t bucket_ms);
// The buckets of the funding and open-interest panel span the funding, open
// interest and candle lists together; none when all three are empty.
std::optional<TimeBuckets> series_buckets(const DatasetWindow& window, int64_t bucket_ms);

// Walks the buckets in order: start() of the current bucket and whether a
// time lies before its exclusive end (an end past the 64-bit range is
// compared in 128 bits rather than wrapped).
class BucketWalk {
 public:
  explicit BucketWalk(const TimeBuckets& grid)
      : start_(grid.first_start), bucket_ms_(grid.bucket_ms) {}

  int64_t start() const { return static_cast<int64_t>(start_); }
  bool before_end(int64_t ts) const { return Int128{ts} < start_ + bucket_ms_; }
  void next() { start_ += bucket_ms_; }

 private:
  Int128 start_;
  int64_t bucket_ms_;
};

}  // namespace xray
