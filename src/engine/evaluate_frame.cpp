// src/engine/evaluate_frame.cpp: one frame: validation, cursor, window, panels in spec order.
#include "engine/evaluate_frame.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "core/cancel.h"
#include "engine/window.h"
#include "engine/worker_pool.h"
#include "panels/panels.h"

namespace xray {
namespace {

// The pool is asked for only when a frame has two or more panels, so a
// process that only ever sees single-panel frames never starts a thread.
template <class GetPool>
Result<Frame> evaluate(const Dataset& dataset, const XraySpec& spec, int64_t cursor,
                       GetPool&& get_pool) {
  if (Status valid = validate_spec(spec); !valid) return std::move(valid).error();
  const int64_t cursor_ts = spec.to_ts ? std::min(*spec.to_ts, cursor) : cursor;
  const DatasetWindow window = cut_window(dataset, spec.from_ts, cursor_ts);
  for (const XrayPanel& panel : spec.panels) {
    if (Status fits = check_panel_size(panel, window); !fits) return std::move(fits).error();
  }
  if (Status fits = check_frame_size(spec.panels, window); !fits) return std::move(fits).error();

  Frame frame{spec.symbol, cursor_ts, std::vector<PanelData>(spec.panels.size())};
  if (spec.panels.size() == 1) {
    frame.panels[0] = compute_panel(spec.panels[0], window);
    if (cancel_requested()) return cancelled_error();  // the panel may have stopped short
    return frame;
  }
  // Panels report no errors, but running out of memory on a worker must not
  // end the process: the failure is carried back and raised on this thread.
  std::vector<std::exception_ptr> failures(spec.panels.size());
  get_pool().run_runs(spec.panels.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end && !cancel_requested(); ++i) {
      try {
        frame.panels[i] = compute_panel(spec.panels[i], window);
      } catch (...) {
        failures[i] = std::current_exception();
        return;
      }
    }
  });
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  if (cancel_requested()) return cancelled_error();
  return frame;
}

}  // namespace

Result<Frame> evaluate_frame(const Dataset& dataset, const XraySpec& spec, int64_t cursor) {
  return evaluate(dataset, spec, cursor, []() -> WorkerPool& { return process_pool(); });
}

Result<Frame> evaluate_frame_on(WorkerPool& pool, const Dataset& dataset, const XraySpec& spec,
                                int64_t cursor) {
  return evaluate(dataset, spec, cursor, [&pool]() -> WorkerPool& { return pool; });
}

}  // namespace xray
