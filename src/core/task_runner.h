// src/core/task_runner.h: tasks handed to threads that a lower layer does not own.
//
// The decoder splits long lists over threads, but the pool lives above it;
// the pool's owner passes it down through this interface.
#pragma once

#include <cstddef>

namespace xray {

class TaskRunner {
 public:
  using TaskFn = void (*)(void* context, std::size_t task);

  // How many tasks may run at once.
  virtual std::size_t width() const = 0;
  // Calls fn(context, task) once for each task in [0, count), on up to
  // width() threads, and returns when all have returned. A task reads the
  // cancellation answer of the thread that called run() (see cancel.h).
  virtual void run(std::size_t count, TaskFn fn, void* context) = 0;

  // Same with any callable taking the task's index.
  template <class F>
  void run_tasks(std::size_t count, F& body) {
    run(
        count, [](void* context, std::size_t task) { (*static_cast<F*>(context))(task); }, &body);
  }

 protected:
  TaskRunner() = default;
  ~TaskRunner() = default;
  TaskRunner(const TaskRunner&) = default;
  TaskRunner& operator=(const TaskRunner&) = default;
};

}  // namespace xray
