// src/protocol/frame_encode.h: the frame and bounds response texts.
#pragma once

#include <cstdint>
#include <string>

#include "model/frame.h"

namespace xray {

// Stops early, its text cut short, when the command on this thread is
// cancelled: the caller then answers with cancelled_error().
[[nodiscard]] std::string encode_frame(const Frame& frame);
[[nodiscard]] std::string encode_bounds(int64_t from_ts, int64_t to_ts, uint64_t count);

}  // namespace xray
