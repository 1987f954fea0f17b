// src/engine/pool_tasks.h: a worker pool seen as a TaskRunner.
#pragma once

#include <cstddef>

#include "core/task_runner.h"
#include "engine/worker_pool.h"

namespace xray {

class PoolTasks final : public TaskRunner {
 public:
  explicit PoolTasks(WorkerPool& pool) : pool_(pool) {}

  std::size_t width() const override { return pool_.size(); }
  void run(std::size_t count, TaskFn fn, void* context) override {
    pool_.run_runs(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t task = begin; task < end; ++task) fn(context, task);
    });
  }

 private:
  WorkerPool& pool_;
};

}  // namespace xray
