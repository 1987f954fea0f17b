// The worker pool: sizing from the environment, runs, blocking, fork.
#include "engine/worker_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "tsan_fork_options.h"

namespace xray {
namespace {

TEST(WorkerPoolSize, ParseThreadCount) {
  const std::pair<const char*, std::optional<uint64_t>> cases[] = {
      {"4", 4}, {"+4", 4}, {"0", 0}, {"007", 7}, {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", {}}, {"", {}}, {"+", {}}, {"++4", {}}, {"-0", {}}, {"4x", {}},
      {" 4", {}}, {"4 ", {}}, {"4.0", {}}, {"0x10", {}},
  };
  for (const auto& [text, count] : cases) EXPECT_EQ(parse_thread_count(text), count) << text;
}

TEST(WorkerPoolSize, FromTheTwoVariables) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    long online;
    std::size_t size;
  };
  const Case cases[] = {
      {"4", nullptr, 8, 4}, {"+3", "7", 8, 3},
      {"0", "7", 8, 8},  // 0 means the processors, the second variable is not read
      {"abc", "7", 8, 7}, {"", "+5", 8, 5}, {nullptr, "5", 8, 5}, {"-1", "0", 8, 8},
      {nullptr, nullptr, 8, 8}, {nullptr, nullptr, -1, 1},  // processor count unknown
      {"0", nullptr, 0, 1}, {"1", nullptr, 64, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.num_threads ? c.num_threads : "unset") + " / " +
                 (c.rs_num_cpus ? c.rs_num_cpus : "unset"));
    EXPECT_EQ(pool_size_from(c.num_threads, c.rs_num_cpus, c.online), c.size);
  }
}

struct RunSeen {
  std::size_t begin;
  std::size_t end;
  std::thread::id thread;
};

std::vector<RunSeen> runs_of(WorkerPool& pool, std::size_t count) {
  std::mutex mutex;
  std::vector<RunSeen> runs;
  pool.run_runs(count, [&](std::size_t begin, std::size_t end) {
    std::lock_guard lock(mutex);
    runs.push_back({begin, end, std::this_thread::get_id()});
  });
  std::sort(runs.begin(), runs.end(), [](const RunSeen& a, const RunSeen& b) { return a.begin < b.begin; });
  return runs;
}

TEST(WorkerPool, SplitsIntoBalancedContiguousRuns) {
  const std::pair<std::size_t, std::size_t> cases[] = {{1, 5}, {3, 1}, {3, 7}, {4, 4}, {8, 3}, {3, 100}, {2, 0}};
  for (const auto& [workers, count] : cases) {
    SCOPED_TRACE(std::to_string(workers) + " workers, " + std::to_string(count) + " items");
    WorkerPool pool(workers);
    const std::vector<RunSeen> runs = runs_of(pool, count);
    ASSERT_EQ(runs.size(), std::min(workers, count));
    std::size_t next = 0;
    for (const RunSeen& run : runs) {
      EXPECT_EQ(run.begin, next);
      EXPECT_LE(run.end - run.begin - count / runs.size(), 1u);  // sizes differ by one at most
      EXPECT_NE(run.thread, std::this_thread::get_id()) << "runs belong to the workers";
      next = run.end;
    }
    EXPECT_EQ(next, count);
  }
}

// Each run waits for the other: only two threads working at once get through.
TEST(WorkerPool, RunsInParallel) {
  WorkerPool pool(2);
  std::atomic<int> arrived{0};
  std::atomic<int> met{0};
  pool.run_runs(2, [&](std::size_t, std::size_t) {
    arrived.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    if (arrived.load() == 2) met.fetch_add(1);
  });
  EXPECT_EQ(met.load(), 2);
}

// Callers on several threads share one pool; each gets all of its own work back.
TEST(WorkerPool, ConcurrentCallers) {
  WorkerPool shared(3);
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&shared, &wrong, t] {
      for (int round = 0; round < 300; ++round) {
        std::vector<int> out(5 + static_cast<std::size_t>(t), -1);
        shared.run_runs(out.size(), [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) out[i] = static_cast<int>(i) * t;
        });
        for (std::size_t i = 0; i < out.size(); ++i) {
          if (out[i] != static_cast<int>(i) * t) wrong.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
}

// A child forked while the parent's workers are busy must build its own pool,
// sized from its own environment, and finish its work. alarm() turns a
// deadlock into a failed child instead of a hung test.
TEST(ProcessPool, ForkedChildRebuildsAndWorks) {
  std::atomic<std::size_t> sum{0};
  process_pool().run_runs(4, [&](std::size_t begin, std::size_t end) { sum.fetch_add(end - begin); });
  ASSERT_EQ(sum.load(), 4u);

  std::atomic<bool> stop{false};
  std::thread busy([&stop] {
    while (!stop.load()) process_pool().run_runs(8, [](std::size_t, std::size_t) {});
  });
  for (int child_no = 0; child_no < 5; ++child_no) {
    SCOPED_TRACE(child_no);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      alarm(20);
      setenv("RAYON_NUM_THREADS", "3", 1);
      WorkerPool& pool = process_pool();
      std::atomic<std::size_t> total{0};
      pool.run_runs(9, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) total.fetch_add(k);
      });
      _exit(pool.size() == 3 && total.load() == 36 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  stop.store(true);
  busy.join();
}

}  // namespace
}  // namespace xray
