// Cancellation: a command stopped at any of its polls changes nothing, one
// that is not stopped answers as usual; the pool lends the caller's scope to
// its workers and degrades to fewer threads when the system refuses some.
#include "core/cancel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/render.h"
#include "decode/checking_span_source.h"
#include "decode/decode_walk.h"
#include "engine/worker_pool.h"
#include "instance.h"
#include "panels/panels.h"
#include "protocol/dataset_schema.h"
#include "protocol/frame_encode.h"

namespace xray {
namespace {

using testing::TripAt;

std::string observe(XrayInstance& x) {
  return x.command(R"({"cmd":"bounds"})") + x.command(R"({"cmd":"frame"})") +
         x.command(R"({"cmd":"frame_at","ts":2500})");
}

std::string trades_load(int n, int ts0) {
  std::string out = R"({"cmd":"load","dataset":{"liquidations":[[1,99.5,2,"long"]],"trades":[)";
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += ',';
    out.append("[").append(std::to_string(ts0 + i * 7 % 500)).append(",");
    out.append(std::to_string(100 + i % 13)).append(".25,1,");
    out.append(i % 3 ? R"("buy"])" : R"("sell"])");
  }
  return out + "]}}";
}

constexpr const char* kSpec =
    R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"S","panels":[)"
    R"({"kind":"footprint","price_bin":2},{"kind":"liquidation_map","price_bin":1},)"
    R"({"kind":"funding_oi_divergence","bucket_ms":1},{"kind":"book_heatmap","bucket_ms":1}]}})";
constexpr const char* kOnePanelSpec =
    R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"S","panels":[)"
    R"({"kind":"footprint","price_bin":2}]}})";

// Every command of a list stopped at its k-th poll, for every k until it
// runs to the end: stopped, it answers the cancelled error and the instance
// observes as before; not stopped, as an instance without a scope.
TEST(Cancel, StoppedAtAnyPollChangesNothing) {
  const std::string set_specs[] = {kSpec, kOnePanelSpec};
  for (const std::string& spec : set_specs) {
    // Loads as one pass, and as the exact path (a repeated "cmd").
    const std::string commands[] = {
        trades_load(300, 3000),
        R"({"cmd":"x",)" + trades_load(300, 3000).substr(1),
        R"({"cmd":"frame"})",
        R"({"cmd":"frame_at","ts":2600})",
        kSpec,
        R"({"cmd":"reset"})",
    };
    for (const std::string& command : commands) {
      SCOPED_TRACE(spec.substr(60, 60) + " / " + command.substr(0, 40));
      XrayInstance reference;
      reference.command(spec);
      reference.command(trades_load(200, 2000));
      const std::string expected = reference.command(command);
      const std::string expected_after = observe(reference);
      bool ran_through = false;
      int stopped = 0;
      for (int trip = 1; !ran_through; ++trip) {
        ASSERT_LT(trip, 100000) << "never ran through";
        XrayInstance x;
        x.command(spec);
        x.command(trades_load(200, 2000));
        const std::string before = observe(x);
        TripAt check{trip};
        std::string response;
        bool cancelled = false;
        {
          CancelScope scope(TripAt::check, &check, /*stride=*/1);
          response = x.command(command);
          cancelled = scope.cancelled();
        }
        if (cancelled) {
          ASSERT_EQ(response, R"({"ok":false,"error":"data: command cancelled"})") << trip;
          ASSERT_EQ(observe(x), before) << trip;
          ++stopped;
        } else {
          ASSERT_EQ(response, expected) << trip;
          ASSERT_EQ(observe(x), expected_after) << trip;
          ran_through = true;
        }
      }
      // Every command here but "reset" polls.
      EXPECT_EQ(stopped > 0, !command.ends_with(R"("reset"})"));
    }
  }
}

// A decode stopped at any poll reads no further, so the broken member after
// the list is never met: reading on would cost as long as the load itself.
// Records in array and object form, book levels tight and spaced.
TEST(Cancel, StoppedDecodeReadsNoFurther) {
  const std::string lists[] = {
      R"("trades":[[1,100.5,2,"buy"],[2,101,1,"sell"]])",
      R"("trades":[{"ts":1,"price":100.5,"qty":2,"side":"buy"}])",
      R"("book":[[1,"snapshot",[[99,1],[98, 2]],[[101,3]]],[2,"diff",[],[[101,0]]]])",
  };
  for (const std::string& list : lists) {
    SCOPED_TRACE(list);
    const std::string text = "{" + list + R"(,"oi":x})";
    int stopped = 0;
    for (int trip = 1;; ++trip) {
      TripAt check{trip};
      CancelScope scope(TripAt::check, &check, /*stride=*/1);
      decoding::CheckingSpanSource source(text);
      decoding::Decoder<decoding::CheckingSpanSource, decoding::ValueSetting> decoder(source);
      Dataset out;
      ASSERT_FALSE(decoder.decode(source.root(), out));
      if (!scope.cancelled()) break;
      ASSERT_FALSE(source.failed()) << trip;
      ASSERT_EQ(decoder.error().message, cancelled_error().message) << trip;
      ++stopped;
    }
    EXPECT_GT(stopped, 0);
  }
}

// Workers read the caller's kept answer; the caller asks its check while it
// waits, so a run that only ends once cancelled does end.
TEST(Cancel, PoolWorkersSeeTheCallersScope) {
  for (std::size_t workers : {1, 3}) {
    WorkerPool pool(workers);
    TripAt check{5};
    std::atomic<int> stopped{0};
    {
      CancelScope scope(TripAt::check, &check);
      pool.run_runs(6, [&](std::size_t, std::size_t) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        CancelPoll poll;
        while (!poll.now() && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::yield();
        }
        if (poll.now()) stopped.fetch_add(1);
      });
      EXPECT_TRUE(scope.cancelled());
    }
    EXPECT_EQ(stopped.load(), static_cast<int>(std::min<std::size_t>(workers, 6)));
    EXPECT_GE(check.calls, 5);
    EXPECT_FALSE(cancel_requested()) << "the scope is gone with its block";
  }
}

TEST(Cancel, ScopesNestAndPollEveryStride) {
  TripAt outer_check{1};
  TripAt inner_check{0};
  CancelScope outer(TripAt::check, &outer_check, 4);
  {
    CancelScope inner(TripAt::check, &inner_check, 3);
    CancelPoll poll;
    int due = 0;
    for (int i = 0; i < 9; ++i) due += poll.due();
    EXPECT_EQ(due, 0);
    EXPECT_EQ(inner_check.calls, 3);  // the 3rd, 6th and 9th
    EXPECT_EQ(outer_check.calls, 0);
  }
  CancelPoll poll;
  EXPECT_FALSE(poll.due() || poll.due() || poll.due());
  EXPECT_TRUE(poll.due());
  EXPECT_TRUE(cancel_requested());
  EXPECT_TRUE(poll.now());
  EXPECT_EQ(outer_check.calls, 1) << "a kept answer is not asked again";
}

// Long loops poll per element, however their work falls into buckets or
// panels: one bucket of every book event (its top found, then replayed),
// of every funding record; the bin counting for a frame's size; its text.
TEST(Cancel, LongLoopsPollPerElement) {
  constexpr int kCount = 5000;
  std::vector<BookEvent> book{{0, BookEventKind::Snapshot, {{99, 1}}, {{101, 1}}}};
  std::vector<Trade> trades;
  std::vector<FundingEvent> funding;
  for (int i = 0; i < kCount; ++i) {
    book.push_back({i, BookEventKind::Diff, {{99.0 - i % 7, 1.0 + i % 3}}, {}});
    trades.push_back({i, 100.0 + i, 1.0, TradeSide::Buy});
    funding.push_back({i, 1e-4});
  }
  DatasetWindow w{};
  w.trades = trades, w.book = book, w.funding = funding;
  const Frame frame{"S", 0, {compute_footprint({1.0, 1}, w)}};
  const std::pair<int, std::function<void()>> cases[] = {
      // at least so many polls
      {2 * kCount,
       [&] {
         compute_book_heatmap({1.0, 1'000'000, 10}, w);
       }},
      {kCount, [&] { compute_funding_oi_divergence({1'000'000}, w); }},
      {kCount,
       [&] {
         (void)footprint_bin_count({0.5, 1}, w);
       }},
      {3 * kCount / 64, [&] { (void)encode_frame(frame); }},
  };
  for (const auto& [polls, run] : cases) {
    TripAt never{0};
    CancelScope scope(TripAt::check, &never, /*stride=*/1);
    run();
    EXPECT_GE(never.calls, polls);
  }
}

bool allow_two(std::size_t running) { return running < 2; }
bool allow_none(std::size_t) { return false; }

// Threads the system refuses: the pool goes on with those it has, or with
// the caller alone, and every item is still run once, in contiguous runs.
TEST(WorkerPool, RefusedThreadsDegradeToFewer) {
  struct Case {
    WorkerPool::StartGate gate;
    std::size_t workers;
    std::size_t count;
    std::size_t threads;
  };
  const Case cases[] = {{allow_two, 8, 20, 2},
                        {allow_two, 8, 1, 1},
                        {allow_two, 2, 5, 2},
                        {allow_none, 4, 9, 0},
                        {nullptr, 3, 9, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.workers) + " workers, " + std::to_string(c.count) + " items");
    WorkerPool pool(c.workers, c.gate);
    std::mutex mutex;
    std::vector<int> seen(c.count, 0);
    std::vector<std::thread::id> runners;
    for (int round = 0; round < 2; ++round) {
      pool.run_runs(c.count, [&](std::size_t begin, std::size_t end) {
        const std::lock_guard lock(mutex);
        runners.push_back(std::this_thread::get_id());
        for (std::size_t i = begin; i < end; ++i) ++seen[i];
      });
    }
    EXPECT_EQ(pool.threads(), c.threads);
    EXPECT_EQ(seen, std::vector<int>(c.count, 2));
    EXPECT_EQ(runners.size(), 2 * std::max<std::size_t>(1, std::min(c.threads, c.count)));
    if (c.threads == 0) {
      for (const std::thread::id& id : runners) EXPECT_EQ(id, std::this_thread::get_id());
    }
  }
}

}  // namespace
}  // namespace xray
