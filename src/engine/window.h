// src/engine/window.h: the records of a frame's window, cut from the sorted lists.
#pragma once

#include <cstdint>
#include <optional>

#include "model/dataset.h"
#include "model/frame.h"

namespace xray {

// Where a frame's window starts and ends.
struct FrameWindow {
  std::optional<int64_t> from_ts;  // ms, inclusive; none: from the first record
  int64_t cursor_ts;               // ms, inclusive
};

// The one window rule. The cursor is clamped to to_ts. Without window_ms
// the window starts at from_ts; with it, it holds the trailing window_ms ms
// up to the cursor, from max(cursor - window_ms + 1, from_ts): window_ms
// milliseconds, the cursor's own included. window_ms must be positive.
FrameWindow frame_window(std::optional<int64_t> from_ts, std::optional<int64_t> to_ts,
                         int64_t cursor, std::optional<int64_t> window_ms);

// The window [from_ts or unbounded, cursor_ts] of every list, found by binary search.
DatasetWindow cut_window(const Dataset& dataset, std::optional<int64_t> from_ts, int64_t cursor_ts);

}  // namespace xray
