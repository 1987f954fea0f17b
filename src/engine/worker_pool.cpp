// src/engine/worker_pool.cpp: a mutex and condition-variable task queue over pthreads.
#include "engine/worker_pool.h"

#include <pthread.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): POSIX sigset_t, pthread_sigmask
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <vector>

#include "core/cancel.h"

namespace xray {
namespace {

// The runs of one run() call; lives on the caller's stack until all are done.
struct Batch {
  WorkerPool::RunFn fn;
  void* context;
  CancelScope* cancel;    // the caller's, lent to the workers; may be null
  std::size_t remaining;  // guarded by the pool mutex
  std::condition_variable done;
};

// How often a caller with a cancellation scope asks it while its runs go on.
constexpr std::chrono::milliseconds kCancelPollInterval{10};

struct Task {
  Batch* batch;
  std::size_t begin;
  std::size_t end;
};

}  // namespace

struct WorkerPoolState {
  std::mutex mutex;
  std::condition_variable work;
  std::deque<Task> queue;
  std::vector<pthread_t> threads;
  bool stopping = false;
};

namespace {

void* worker_main(void* arg) {
  auto* state = static_cast<WorkerPoolState*>(arg);
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->work.wait(lock, [state] { return state->stopping || !state->queue.empty(); });
    if (state->queue.empty()) return nullptr;  // stopping, nothing left to do
    const Task task = state->queue.front();
    state->queue.pop_front();
    lock.unlock();
    {
      const BorrowedCancel borrowed(task.batch->cancel);
      task.batch->fn(task.batch->context, task.begin, task.end);
    }
    lock.lock();
    // Notified under the lock, so the caller cannot free the batch before this returns.
    if (--task.batch->remaining == 0) task.batch->done.notify_one();
  }
}

// Starts threads until `wanted` run; stops early when the system (or the
// gate) refuses one. Workers block every signal so that the host's handlers
// run on its own threads.
void start_threads(WorkerPoolState& state, std::size_t wanted, WorkerPool::StartGate gate) {
  if (state.threads.size() >= wanted) return;
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  while (state.threads.size() < wanted) {
    if (gate != nullptr && !gate(state.threads.size())) break;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, worker_main, &state) != 0) break;
    state.threads.push_back(thread);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

WorkerPool::WorkerPool(std::size_t workers, StartGate gate)
    : state_(new WorkerPoolState), workers_(std::max<std::size_t>(workers, 1)), gate_(gate) {}

std::size_t WorkerPool::threads() const {
  std::lock_guard lock(state_->mutex);
  return state_->threads.size();
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->work.notify_all();
  for (pthread_t thread : state_->threads) pthread_join(thread, nullptr);
  delete state_;
}

void WorkerPool::run(std::size_t count, RunFn fn, void* context) {
  if (count == 0) return;
  // Asked once before the runs start, so a short batch answers it too; not
  // under the pool's lock, since the check may run host code.
  const CancelBinding cancel = current_cancel();
  if (cancel.owned) cancel.scope->check_now();
  std::unique_lock lock(state_->mutex);
  start_threads(*state_, std::min(workers_, count), gate_);
  if (state_->threads.empty()) {  // not a single thread could be started
    lock.unlock();
    fn(context, 0, count);
    return;
  }
  // As many runs as threads running: with fewer threads than asked for, the
  // runs are longer, and the result is the same.
  const std::size_t runs = std::min(state_->threads.size(), count);
  Batch batch{fn, context, cancel.scope, runs, {}};
  const std::size_t base = count / runs;
  const std::size_t longer = count % runs;  // the first `longer` runs take one more
  std::size_t begin = 0;
  for (std::size_t r = 0; r < runs; ++r) {
    const std::size_t end = begin + base + (r < longer ? 1 : 0);
    state_->queue.push_back(Task{&batch, begin, end});
    begin = end;
  }
  state_->work.notify_all();
  const auto finished = [&batch] { return batch.remaining == 0; };
  if (!cancel.owned) {
    batch.done.wait(lock, finished);
    return;
  }
  // The workers cannot ask the check, so the caller does while it waits; the
  // pool is unlocked meanwhile, since the check may run host code that
  // evaluates frames of its own.
  while (!batch.done.wait_for(lock, kCancelPollInterval, finished)) {
    lock.unlock();
    cancel.scope->check_now();
    lock.lock();
  }
}

std::optional<uint64_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, long online) {
  // Which value wins, and what 0 or junk means, is documented to callers: keep it as is.
  const std::size_t fallback = online > 0 ? static_cast<std::size_t>(online) : 1;
  const std::size_t cap = kPoolThreadsPerProcessor * fallback;
  for (const char* variable : {num_threads, rs_num_cpus}) {
    if (variable == nullptr) continue;
    const std::optional<uint64_t> count = parse_thread_count(variable);
    if (!count) continue;
    return *count > 0 ? static_cast<std::size_t>(std::min<uint64_t>(*count, cap)) : fallback;
  }
  return fallback;
}

namespace {

std::atomic<WorkerPool*> g_process_pool{nullptr};
std::atomic<bool> g_fork_handler_installed{false};

// Only the forking thread survives in the child: the parent's workers are gone
// and the pool's mutex may be held by one of them. Forget that pool (leaked,
// never touched again) so the child's next frame builds its own.
void forget_pool_in_child() { g_process_pool.store(nullptr, std::memory_order_relaxed); }

}  // namespace

WorkerPool& process_pool() {
  if (WorkerPool* pool = g_process_pool.load(std::memory_order_acquire)) return *pool;
  if (!g_fork_handler_installed.exchange(true)) {
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
  }
  // These two names, in this order, read once per process: callers set them to size the pool.
  auto* fresh = new WorkerPool(pool_size_from(std::getenv("RAYON_NUM_THREADS"),
                                              std::getenv("RAYON_RS_NUM_CPUS"),
                                              sysconf(_SC_NPROCESSORS_ONLN)));
  WorkerPool* existing = nullptr;
  if (g_process_pool.compare_exchange_strong(existing, fresh, std::memory_order_acq_rel)) {
    return *fresh;
  }
  delete fresh;  // another thread created it first; ours never started a thread
  return *existing;
}

}  // namespace xray
