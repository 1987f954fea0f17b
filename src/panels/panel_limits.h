// src/panels/panel_limits.h: the bounds on the size of a bucketed panel.
#pragma once

#include <cstdint>

#include "panels/time_buckets.h"

namespace xray {

// A book heatmap holds at most this many cells (buckets x depth_levels), so
// its doubles take at most 400 MB and its text about 0.5 to 1 GB. The grid
// has depth_levels entries and there is at least one bucket, so the bound
// covers the grid as well.
inline constexpr uint64_t kMaxHeatmapCells = 50'000'000;

// A funding and open-interest panel holds at most this many buckets, four
// numbers each: again at most 400 MB of doubles.
inline constexpr uint64_t kMaxSeriesBuckets = 12'500'000;

// All bucketed panels of one frame together hold at most this many numbers
// (heatmap cells, times and prices, four per series bucket): 800 MB of
// doubles, so a frame with many large panels cannot take more than about a
// GiB while it is computed, plus its text.
inline constexpr uint64_t kMaxFrameNumbers = 100'000'000;

inline bool heatmap_within_limits(const TimeBuckets& buckets, uint32_t depth_levels) {
  return buckets.starts_fit() && buckets.count * depth_levels <= kMaxHeatmapCells;
}

inline bool series_within_limits(const TimeBuckets& buckets) {
  return buckets.starts_fit() && buckets.count <= kMaxSeriesBuckets;
}

}  // namespace xray
