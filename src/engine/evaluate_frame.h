// src/engine/evaluate_frame.h: a frame of the dataset at a cursor, by the spec.
#pragma once

#include <cstdint>

#include "core/errors.h"
#include "model/dataset.h"
#include "model/frame.h"
#include "model/spec.h"

namespace xray {

// Validates the spec, clamps the cursor to to_ts, cuts the window and
// evaluates every panel (in parallel on the worker pool) in spec order.
[[nodiscard]] Result<Frame> evaluate_frame(const Dataset& dataset, const XraySpec& spec,
                                           int64_t cursor);

class WorkerPool;
// evaluate_frame on a given pool instead of the process-wide one.
[[nodiscard]] Result<Frame> evaluate_frame_on(WorkerPool& pool, const Dataset& dataset,
                                              const XraySpec& spec, int64_t cursor);

}  // namespace xray
