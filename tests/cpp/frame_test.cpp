// Frames on pools of any size against the plain evaluation (copy the window,
// compute each panel in turn, concatenate), and the worker pool itself.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include "engine/evaluate_frame.h"
#include "engine/worker_pool.h"
#include "panels/panels.h"
#include "protocol/frame_encode.h"
#include "support.h"

namespace xray {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// Every kind of record at each time; values vary with the position so that
// dropped, added or reordered records change the frame.
Dataset records_at(const std::vector<int64_t>& times) {
  Dataset d;
  for (std::size_t i = 0; i < times.size(); ++i) {
    const int64_t ts = times[i];
    const double k = static_cast<double>(i);
    d.candles.push_back({ts, 100 + k, 101 + k, 99 + k, 100.5 + k, 3 + k});
    d.trades.push_back({ts, 100 + 0.3 * k, 0.1 + k, i % 2 ? TradeSide::Sell : TradeSide::Buy});
    d.book.push_back({ts,
                      i % 50 == 0 ? BookEventKind::Snapshot : BookEventKind::Diff,
                      {{99.5 - 0.1 * k, 1 + k}, {99.0, 2.0}},
                      {{100.5 + 0.1 * k, 1.5 + k}, {101.0, 2.5}}});
    d.funding.push_back({ts, 0.0001 * (k + 1)});
    d.oi.push_back({ts, 1000 + 7 * k});
    d.liquidations.push_back(
        {ts, 100 + 0.7 * k, 0.25 + k, i % 2 ? LiquidationSide::Short : LiquidationSide::Long});
  }
  return d;
}

std::string copied_frame_text(const Dataset& d, const XraySpec& spec, int64_t cursor) {
  const int64_t cursor_ts = spec.to_ts ? std::min(cursor, *spec.to_ts) : cursor;
  const auto keep = [&](auto list) {
    std::erase_if(list, [&](const auto& r) {
      return (spec.from_ts && r.ts < *spec.from_ts) || r.ts > cursor_ts;
    });
    return list;
  };
  const Dataset copy{{},         keep(d.candles),     keep(d.trades), keep(d.book), keep(d.funding),
                     keep(d.oi), keep(d.liquidations)};
  Frame frame{spec.symbol, cursor_ts, {}};
  for (const XrayPanel& panel : spec.panels) {
    frame.panels.push_back(compute_panel(
        panel, {copy.candles, copy.trades, copy.book, copy.funding, copy.oi, copy.liquidations}));
  }
  return testing::frame_json(frame);
}

// Random data with many equal timestamps (a few rounds large enough for long
// texts), random windows and panels in random order, on pools of 1, 2 and 5.
TEST(EvaluateFrame, SameTextOnEveryPoolAsThePlainEvaluation) {
  std::mt19937_64 rng(99);
  WorkerPool one(1);
  WorkerPool two(2);
  WorkerPool five(5);
  const std::vector<XrayPanel> kinds = {
      {XrayPanel::LiquidationMap{0.5}},       {XrayPanel::Footprint{0.5, 1}},
      {XrayPanel::BookHeatmap{0.5, 1000, 6}}, {XrayPanel::FundingOiDivergence{1000}},
      {XrayPanel::Footprint{2.0, 1}},         {XrayPanel::BookHeatmap{1.0, 250, 3}}};
  const std::vector<int64_t> extremes = {kMin, kMax, -1, 0};
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    std::vector<int64_t> times(rng() % (round % 20 == 0 ? 3000 : 60));
    for (int64_t& t : times) t = static_cast<int64_t>(rng() % 40) * 250;
    std::sort(times.begin(), times.end());
    const Dataset d = records_at(times);
    std::vector<XrayPanel> panels = kinds;
    std::shuffle(panels.begin(), panels.end(), rng);
    panels.resize(1 + rng() % panels.size());
    const auto stamp = [&] {
      return rng() % 8 ? static_cast<int64_t>(rng() % 44) * 250 - 500
                       : testing::pick(rng, extremes);
    };
    std::optional<int64_t> from_ts = rng() % 3 ? std::optional(stamp()) : std::nullopt;
    std::optional<int64_t> to_ts = rng() % 3 ? std::nullopt : std::optional(stamp());
    if (from_ts && to_ts && *from_ts > *to_ts) std::swap(from_ts, to_ts);
    const XraySpec spec{"ref", "S\"\x01", from_ts, to_ts, panels};
    const int64_t cursor = stamp();
    const std::string expected = copied_frame_text(d, spec, cursor);
    for (WorkerPool* pool : {&one, &two, &five}) {
      Result<Frame> frame = evaluate_frame_on(*pool, d, spec, cursor);
      ASSERT_TRUE(frame) << display_text(frame.error());
      ASSERT_EQ(encode_frame(*frame), expected) << pool->size() << " workers";
    }
    Result<Frame> frame = evaluate_frame(d, spec, cursor);
    ASSERT_TRUE(frame);
    ASSERT_EQ(encode_frame(*frame), expected) << "process pool";
  }
}

// Heatmaps of enough book events are split across the workers: alone, next
// to other panels and next to a second heatmap, the text is the plain one.
TEST(EvaluateFrame, SplitHeatmapsSameTextOnEveryPool) {
  std::vector<int64_t> times(3 * BookHeatmapJob::kMinPartEvents);
  for (std::size_t i = 0; i < times.size(); ++i) times[i] = static_cast<int64_t>(i / 3) * 7;
  Dataset d = records_at(times);
  // Books that stay on the grid, a snapshot every ten buckets or so with a
  // level no diff touches: a part that did not replay from the last
  // snapshot before it would miss it.
  for (std::size_t i = 0; i < d.book.size(); ++i) {
    d.book[i].kind = i % 4321 == 0 ? BookEventKind::Snapshot : BookEventKind::Diff;
    const double k = static_cast<double>(i % 7);
    d.book[i].bids = {{99.0 - 0.5 * k, 1.0 + k}, {98.0 - 0.5 * static_cast<double>(i % 3), 0.0}};
    d.book[i].asks = {{100.5 + 0.5 * static_cast<double>(i % 5), 2.0 + k}};
    if (d.book[i].kind == BookEventKind::Snapshot) d.book[i].asks.push_back({97.25, 9.0});
  }
  const XrayPanel heatmap{XrayPanel::BookHeatmap{0.5, 1000, 12}};
  const std::vector<std::vector<XrayPanel>> frames = {
      {heatmap},
      {{XrayPanel::Footprint{0.5, 1}}, heatmap, {XrayPanel::FundingOiDivergence{1000}}},
      {heatmap, {XrayPanel::LiquidationMap{0.5}}, {XrayPanel::BookHeatmap{1.0, 250, 3}}}};
  const DatasetWindow all{d.candles, d.trades, d.book, d.funding, d.oi, d.liquidations};
  ASSERT_GT(BookHeatmapJob(std::get<XrayPanel::BookHeatmap>(heatmap.config), all, 5).parts(), 1u);
  WorkerPool one(1);
  WorkerPool two(2);
  WorkerPool five(5);
  for (const std::vector<XrayPanel>& panels : frames) {
    for (const std::optional<int64_t> from_ts :
         {std::optional<int64_t>{}, std::optional(int64_t{900})}) {
      const XraySpec spec{"ref", "S", from_ts, std::nullopt, panels};
      const int64_t cursor = times.back() - 5000;
      const std::string expected = copied_frame_text(d, spec, cursor);
      for (WorkerPool* pool : {&one, &two, &five}) {
        Result<Frame> frame = evaluate_frame_on(*pool, d, spec, cursor);
        ASSERT_TRUE(frame) << display_text(frame.error());
        ASSERT_EQ(encode_frame(*frame), expected) << pool->size() << " workers";
      }
    }
  }
}

// Stored lists are sorted by ts, ties in input order, whether they came in
// order, nearly (an insertion sort), or far from it (a merge sort finishes).
TEST(SortByTs, StableWhateverTheDisorder) {
  std::mt19937_64 rng(9);
  const std::tuple<int, uint64_t, int64_t, bool> rows[] = {
      // length, jitter, ts range, reversed
      {0, 0, 0, false},    {1, 0, 0, false},     {1000, 0, 0, false},   {500, 0, 1, false},
      {5000, 6, 0, false}, {5000, 0, 10, false}, {5000, 200, 0, false}, {5000, 1000000, 7, false},
      {3000, 0, 0, true},  {3000, 0, 50, true}};
  for (const auto& [length, jitter, range, reversed] : rows) {
    SCOPED_TRACE(length);
    Dataset d;
    for (int i = 0; i < length; ++i) {
      int64_t ts = (reversed ? length - i : i) + static_cast<int64_t>(rng() % (jitter + 1));
      ts = range ? ts % range : ts;
      // qty and the level's price number the records, so the order of ties shows.
      d.trades.push_back({ts, 1.0, static_cast<double>(i), TradeSide::Buy});
      d.book.push_back({ts, BookEventKind::Diff, {{static_cast<double>(i), 1.0}}, {}});
    }
    std::vector<Trade> expected = d.trades;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const Trade& a, const Trade& b) { return a.ts < b.ts; });
    sort_by_ts(d);
    ASSERT_EQ(d.book.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(d.trades[i].ts, expected[i].ts) << i;
      ASSERT_EQ(d.trades[i].qty, expected[i].qty) << i;
      ASSERT_EQ(d.book[i].ts, expected[i].ts) << i;
      ASSERT_EQ(d.book[i].bids.at(0).price, expected[i].qty) << i;
    }
  }
}

TEST(WorkerPoolSize, FromTheEnvironment) {
  const std::pair<const char*, std::optional<uint64_t>> counts[] = {
      {"4", 4},
      {"+4", 4},
      {"0", 0},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", {}},
      {"", {}},
      {"+", {}},
      {"++4", {}},
      {"-0", {}},
      {"4x", {}},
      {" 4", {}},
      {"4 ", {}},
      {"0x10", {}}};
  for (const auto& [text, count] : counts) EXPECT_EQ(parse_thread_count(text), count) << text;
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    long online;
    std::size_t size;
  };
  const Case cases[] = {{"4", nullptr, 8, 4},
                        {"+3", "7", 8, 3},
                        {"0", "7", 8, 8},
                        {"abc", "7", 8, 7},
                        {"", "+5", 8, 5},
                        {nullptr, "5", 8, 5},
                        {"-1", "0", 8, 8},
                        {nullptr, nullptr, 8, 8},
                        {nullptr, nullptr, -1, 1},
                        {"0", nullptr, 0, 1},
                        {"1", nullptr, 64, 1},
                        // Capped at four threads per processor online.
                        {"1000000", nullptr, 2, 8},
                        {"9", nullptr, 2, 8},
                        {"8", nullptr, 2, 8},
                        {"abc", "99", 3, 12},
                        {"18446744073709551615", nullptr, -1, 4}};
  for (const Case& c : cases) {
    EXPECT_EQ(pool_size_from(c.num_threads, c.rs_num_cpus, c.online), c.size)
        << (c.num_threads ? c.num_threads : "unset") << " / "
        << (c.rs_num_cpus ? c.rs_num_cpus : "unset");
  }
}

TEST(WorkerPool, BalancedContiguousRunsOnWorkersAtOnce) {
  const std::pair<std::size_t, std::size_t> cases[] = {{1, 5}, {3, 1},   {3, 7}, {4, 4},
                                                       {8, 3}, {3, 100}, {2, 0}};
  const std::thread::id caller = std::this_thread::get_id();
  for (const auto& c : cases) {
    // Plain names, not a structured binding: clang 14 cannot capture those.
    const std::size_t workers = c.first;
    const std::size_t count = c.second;
    SCOPED_TRACE(std::to_string(workers) + " workers, " + std::to_string(count) + " items");
    WorkerPool pool(workers);
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    std::atomic<std::size_t> arrived{0};
    pool.run_runs(count, [&](std::size_t begin, std::size_t end) {
      EXPECT_NE(std::this_thread::get_id(), caller) << "runs belong to the workers";
      const std::lock_guard lock(mutex);
      runs.emplace_back(begin, end);
    });
    // Each run waits for the others: only runs on separate threads get through.
    pool.run_runs(count, [&](std::size_t, std::size_t) {
      arrived.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (arrived.load() < std::min(workers, count) &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      EXPECT_EQ(arrived.load(), std::min(workers, count));
    });
    std::sort(runs.begin(), runs.end());
    ASSERT_EQ(runs.size(), std::min(workers, count));
    std::size_t next = 0;
    for (const auto& [begin, end] : runs) {
      EXPECT_EQ(begin, next);
      EXPECT_LE(end - begin - count / runs.size(), 1u);  // sizes differ by one at most
      next = end;
    }
    EXPECT_EQ(next, count);
  }
}

// A child forked while the parent's workers are busy builds its own pool,
// sized from its own environment; alarm() turns a deadlock into a failure.
TEST(ProcessPool, ForkedChildRebuildsAndWorks) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  // The sanitizer runtimes take no lock of their allocators across fork, so the
  // child of a threaded fork hung in the runtime's malloc (TSan: 2 runs in 180,
  // ASan: 19 in 121, under load); glibc's malloc is fork-safe.
  GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
#endif
  std::atomic<bool> stop{false};
  std::thread busy([&stop] {
    while (!stop.load()) process_pool().run_runs(8, [](std::size_t, std::size_t) {});
  });
  for (int child_no = 0; child_no < 5; ++child_no) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      alarm(20);
      setenv("RAYON_NUM_THREADS", "3", 1);
      std::atomic<std::size_t> total{0};
      process_pool().run_runs(9, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) total.fetch_add(k);
      });
      _exit(process_pool().size() == 3 && total.load() == 36 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "child " << child_no << ": " << status;
  }
  stop.store(true);
  busy.join();
}

}  // namespace
}  // namespace xray
