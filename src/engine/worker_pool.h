// src/engine/worker_pool.h: the threads that evaluate a frame's panels in parallel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace xray {

struct WorkerPoolState;

// A fixed-size pool of worker threads. run() splits [0, count) into
// contiguous runs, hands them to the workers and blocks until all are done.
// Threads are started on demand, never more than the runs a call needs, so
// a large configured size costs nothing until frames are that wide. When the
// system refuses a thread the pool goes on with those it has (the caller
// alone when it has none); it never aborts for want of threads.
class WorkerPool {
 public:
  using RunFn = void (*)(void* context, std::size_t begin, std::size_t end);
  // Asked before each thread is started, with the number running; false
  // refuses it as the system would. Lets tests stand in for a refusing system.
  using StartGate = bool (*)(std::size_t running);

  explicit WorkerPool(std::size_t workers, StartGate gate = nullptr);
  // Stops and joins the workers. The process-wide pool is never destroyed.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return workers_; }
  // The threads started so far.
  std::size_t threads() const;

  // Calls fn(context, begin, end) for min(size(), count) contiguous runs
  // covering [0, count), each on one worker thread, front to back within a run.
  void run(std::size_t count, RunFn fn, void* context);

  // Same with any callable taking (begin, end).
  template <class F>
  void run_runs(std::size_t count, F&& body) {
    using Body = std::remove_reference_t<F>;
    run(
        count,
        [](void* context, std::size_t begin, std::size_t end) {
          (*static_cast<Body*>(context))(begin, end);
        },
        const_cast<void*>(static_cast<const void*>(&body)));
  }

 private:
  WorkerPoolState* state_;  // owned; opaque so this header stays free of thread headers
  std::size_t workers_;
  StartGate gate_;
};

// The pool shared by every frame of the process: created by the first call,
// sized once from the environment, never destroyed (workers stay parked at
// exit). A child created by fork() gets a fresh pool on its first call.
WorkerPool& process_pool();

// A thread-count variable's value: optional '+' then decimal digits that fit
// 64 bits. Anything else (empty, sign '-', spaces, suffixes) is unusable.
std::optional<uint64_t> parse_thread_count(std::string_view text);

// Worker count from the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (nullptr when unset): a usable first value above 0 wins and 0 there means
// `online`; an unusable first value defers to the second, where 0 or nothing
// usable means `online`. `online` is the processors online; below 1 (unknown)
// it counts as 1. The count is capped at kPoolThreadsPerProcessor * online:
// more threads only compete for the same processors, and thousands of them
// can exhaust the memory for their stacks and thread-local data.
inline constexpr std::size_t kPoolThreadsPerProcessor = 4;
std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, long online);

}  // namespace xray
