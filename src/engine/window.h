// src/engine/window.h: the records of a frame's window, cut from the sorted lists.
#pragma once

#include <cstdint>
#include <optional>

#include "model/dataset.h"
#include "model/frame.h"

namespace xray {

// The window [from_ts or unbounded, cursor_ts] of every list, found by binary search.
DatasetWindow cut_window(const Dataset& dataset, std::optional<int64_t> from_ts, int64_t cursor_ts);

}  // namespace xray
