// src/engine/order_flow_job.h: footprint bars over the worker pool.
#pragma once

#include <cstddef>
#include <span>

#include "core/errors.h"
#include "model/dataset.h"
#include "panels/order_flow/footprint_bars.h"

namespace xray {

class WorkerPool;

// footprint_bars, its bars worked out in parts of whole bars on the pool:
// the same columns, bit for bit, for any pool. A part holds at least
// min_part_trades trades, so a short window stays on one thread.
inline constexpr std::size_t kMinPartTrades = 250'000;
[[nodiscard]] Result<FootprintBars> footprint_bars_on(WorkerPool& pool,
                                                      std::span<const Trade> trades,
                                                      const OrderFlowParams& params,
                                                      std::size_t min_part_trades = kMinPartTrades);
// On the process's pool.
[[nodiscard]] Result<FootprintBars> footprint_bars_pooled(std::span<const Trade> trades,
                                                          const OrderFlowParams& params);

}  // namespace xray
