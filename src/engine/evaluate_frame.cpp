// src/engine/evaluate_frame.cpp: one frame: validation, cursor, window, panels in spec order.
#include "engine/evaluate_frame.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <variant>
#include <vector>

#include "core/cancel.h"
#include "engine/window.h"
#include "engine/worker_pool.h"
#include "panels/panels.h"

namespace xray {
namespace {

// Parts of a large heatmap per worker: enough that the last parts even out
// the tasks taken before them, few enough that replaying each part's start
// stays a small share of it.
constexpr std::size_t kPartsPerWorker = 4;

// The pool is asked for only when a frame has two or more tasks (panels, or
// parts of a large heatmap), so a process that only ever sees small
// single-panel frames never starts a thread.
template <class GetPool>
Result<Frame> evaluate(const Dataset& dataset, const XraySpec& spec, int64_t cursor,
                       GetPool&& get_pool) {
  if (Status valid = validate_spec(spec); !valid) return std::move(valid).error();
  const FrameWindow bounds = frame_window(spec.from_ts, spec.to_ts, cursor, std::nullopt);
  const int64_t cursor_ts = bounds.cursor_ts;
  const DatasetWindow window = cut_window(dataset, bounds.from_ts, cursor_ts);
  for (const XrayPanel& panel : spec.panels) {
    if (Status fits = check_panel_size(panel, window); !fits) return std::move(fits).error();
  }
  if (Status fits = check_frame_size(spec.panels, window); !fits) return std::move(fits).error();

  Frame frame{spec.symbol, cursor_ts, std::vector<PanelData>(spec.panels.size())};
  // Book heatmaps large enough to share go to the workers in parts, a few
  // per worker; every other panel is one task. The workers take tasks one
  // at a time, the single panels first and the parts after them, so the
  // small parts at the end even out what the large tasks left uneven. Each
  // task writes only its own panel or rows: the frame is the same whoever
  // runs what.
  std::vector<std::unique_ptr<BookHeatmapJob>> jobs(spec.panels.size());
  std::size_t workers = 1;
  for (std::size_t i = 0; i < spec.panels.size(); ++i) {
    const auto* heatmap = std::get_if<XrayPanel::BookHeatmap>(&spec.panels[i].config);
    if (heatmap == nullptr) continue;
    if (window.book.size() >= 2 * BookHeatmapJob::kMinPartEvents && workers == 1) {
      workers = get_pool().size();
    }
    jobs[i] = std::make_unique<BookHeatmapJob>(*heatmap, window,
                                               workers == 1 ? 1 : workers * kPartsPerWorker);
  }
  struct Task {
    std::size_t panel;
    std::size_t part;  // of a heatmap job; 0 for any other panel
  };
  std::vector<Task> tasks;
  for (std::size_t i = 0; i < spec.panels.size(); ++i) {
    if (jobs[i] == nullptr) tasks.push_back({i, 0});
  }
  for (std::size_t i = 0; i < spec.panels.size(); ++i) {
    if (jobs[i] == nullptr) continue;
    for (std::size_t part = 0; part < jobs[i]->parts(); ++part) tasks.push_back({i, part});
  }
  const auto run_task = [&](const Task& t) {
    if (jobs[t.panel] != nullptr) {
      jobs[t.panel]->run_part(t.part);
    } else {
      frame.panels[t.panel] = compute_panel(spec.panels[t.panel], window);
    }
  };
  if (tasks.size() <= 1) {
    for (const Task& t : tasks) run_task(t);
  } else {
    // Panels report no errors, but running out of memory on a worker must
    // not end the process: the failure is carried back and raised on this
    // thread.
    std::vector<std::exception_ptr> failures(tasks.size());
    std::atomic<std::size_t> next{0};
    const std::size_t runs = std::min(get_pool().size(), tasks.size());
    get_pool().run_runs(runs, [&](std::size_t, std::size_t) {
      for (std::size_t i = next++; i < tasks.size() && !cancel_requested(); i = next++) {
        try {
          run_task(tasks[i]);
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
  for (std::size_t i = 0; i < spec.panels.size(); ++i) {
    if (jobs[i] != nullptr) frame.panels[i] = jobs[i]->take();
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
