// src/engine/order_flow_job.cpp: the parts of footprint bars on the pool.
#include "engine/order_flow_job.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "core/cancel.h"
#include "engine/worker_pool.h"

namespace xray {

Result<FootprintBars> footprint_bars_on(WorkerPool& pool, std::span<const Trade> trades,
                                        const OrderFlowParams& params,
                                        std::size_t min_part_trades) {
  Result<Tick> tick = order_flow_tick(trades, params);
  if (!tick) return std::move(tick).error();
  const std::size_t wanted =
      std::min(pool.size(), trades.size() / std::max<std::size_t>(min_part_trades, 1));
  const std::vector<std::size_t> splits =
      bar_splits(trades, params, std::max<std::size_t>(wanted, 1));
  const std::size_t parts = splits.size() - 1;
  std::vector<std::optional<Result<FootprintBars>>> results(parts);
  const auto run_part = [&](std::size_t i) {
    results[i].emplace(
        bars_of(trades.subspan(splits[i], splits[i + 1] - splits[i]), params, *tick));
  };
  if (parts == 1) {
    run_part(0);
  } else {
    // As a frame's panels: a failure on a worker (out of memory) is carried
    // back and raised on this thread.
    std::vector<std::exception_ptr> failures(parts);
    std::atomic<std::size_t> next{0};
    pool.run_runs(std::min(pool.size(), parts), [&](std::size_t, std::size_t) {
      for (std::size_t i = next++; i < parts && !cancel_requested(); i = next++) {
        try {
          run_part(i);
        } catch (...) {
          failures[i] = std::current_exception();
          return;
        }
      }
    });
    for (const std::exception_ptr& failure : failures) {
      if (failure) std::rethrow_exception(failure);
    }
  }
  if (cancel_requested()) return cancelled_error();
  // The first part's error in trade order is the one a single pass meets first.
  std::vector<FootprintBars> done;
  for (std::optional<Result<FootprintBars>>& result : results) {
    if (!*result) return std::move(*result).error();
    done.push_back(std::move(*result).value());
  }
  return join_bars(std::move(done), params);
}

Result<FootprintBars> footprint_bars_pooled(std::span<const Trade> trades,
                                            const OrderFlowParams& params) {
  return footprint_bars_on(process_pool(), trades, params);
}

}  // namespace xray
