// Long lists of a "load" decoded in chunks on several threads give what one
// thread gives: the same dataset, the same error for a broken text, and a
// cancelled load changes nothing. Small windows force the chunks on small
// texts, written with element starts that are easy to guess wrong.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/render.h"
#include "core/cancel.h"
#include "decode/list_chunks.h"
#include "engine/pool_tasks.h"
#include "engine/worker_pool.h"
#include "instance.h"
#include "protocol/command_decode.h"

namespace xray {
namespace {

using decoding::ListSplitting;
using decoding::RangeEnd;
using testing::TripAt;

const std::thread::id main_thread = std::this_thread::get_id();

// Chunk rules over a pool of their own.
struct Splitter {
  Splitter(std::size_t threads, std::size_t chunk_bytes, std::size_t first_elements)
      : pool(threads), tasks(pool), rules{&tasks, chunk_bytes, first_elements} {}
  WorkerPool pool;
  PoolTasks tasks;
  ListSplitting rules;
};

// Trades and book events that open like their neighbours, or not: another
// first key, blanks, an escaped key, members holding objects that open
// alike, a string holding an escaped look-alike, the array form.
std::string load_text(uint64_t seed, int records) {
  std::mt19937_64 rng(seed);
  auto num = [&] { return std::to_string(rng() % 90000) + "." + std::to_string(rng() % 1000); };
  auto levels = [&] {
    std::string out = "[";
    for (std::size_t i = 0, n = rng() % 5; i < n; ++i) {
      out.append(i ? ",[" : "[").append(num()).append(",").append(num()).append("]");
    }
    return out + "]";
  };
  const char* const kTrades[] = {
      "{\"ts\":T,\"price\":P,\"qty\":1,\"side\":\"buy\"}",
      "{\"price\":P,\"ts\":T,\"qty\":1,\"side\":\"buy\"}",
      "{ \"ts\" :\nT , \"price\":P,\"qty\":2,\"side\":\"sell\" }",
      "{\"t\\u0073\":T,\"price\":P,\"qty\":3,\"side\":\"buy\"}",
      "{\"ts\":T,\"x\":[{\"ts\":1},{\"ts\":2}],\"price\":P,\"qty\":4,\"side\":\"sell\"}",
      "{\"ts\":T,\"note\":\",{\\\"ts\\\":1}\",\"price\":P,\"qty\":5,\"side\":\"buy\"}",
      "[T,P,6,\"sell\"]"};
  std::string trades;
  std::string book;
  for (int i = 0; i < records; ++i) {
    const std::string ts = std::to_string(1000 + i * 3 - i % 4);
    std::string trade = kTrades[rng() % 2 ? 0 : rng() % 7];
    trade.replace(trade.find('T'), 1, ts);
    trade.replace(trade.find('P'), 1, num());
    const std::string sep = i == 0 ? "" : rng() % 7 ? "," : " ,\n ";
    trades += sep + trade;
    book += sep + "{\"ts\":" + ts + (rng() % 9 ? "" : ",\"x\":{\"y\":[0,{\"ts\":5}]}") +
            ",\"kind\":\"" + (rng() % 5 ? "diff" : "snapshot") + "\",\"bids\":" + levels() +
            ",\"asks\":" + levels() + "}";
  }
  return R"({"cmd":"load","dataset":{"trades":[)" + trades + R"(],"funding":[[5,0.1]],"book":[)" +
         book + "]}}";
}

// The response and the dataset after it, over a dataset already held; with
// a check, asked at every poll.
std::string outcome(const std::string& command, const ListSplitting* rules,
                    TripAt* check = nullptr) {
  XrayInstance x;
  const ListSplitting one_thread;
  x.split_loads_with(rules != nullptr ? rules : &one_thread);
  x.command(R"({"cmd":"load","dataset":{"oi":[[7,1.5]]}})");
  std::optional<CancelScope> scope;
  if (check != nullptr) scope.emplace(TripAt::check, check, /*stride=*/1);
  const std::string response = x.command(command);
  scope.reset();
  return response + "|" + testing::render(x.dataset());
}

TEST(LoadInChunks, SameOutcomeAsOneThread) {
  Splitter splitters[] = {{1, 1, 0}, {2, 23, 1}, {3, 97, 3}, {2, 700, 64}};
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    const std::string text = load_text(seed, 60 * static_cast<int>(seed));
    // Broken: cut, or with a stray text, here and there.
    std::vector<std::string> texts = {text};
    const char* const kStrays[] = {",", "]", "}", "\"", "{\"ts\":", "1e999", "\"BUY\""};
    for (std::size_t at = 40 + seed, k = 0; at < text.size(); at += 97 * seed, ++k) {
      texts.push_back(k % 3 ? text.substr(0, at) + kStrays[k % 7] + text.substr(at)
                            : text.substr(0, at));
    }
    for (const std::string& t : texts) {
      const std::string expected = outcome(t, nullptr);
      for (const Splitter& s : splitters) {
        SCOPED_TRACE(t.size());
        ASSERT_EQ(outcome(t, &s.rules), expected);
      }
    }
    // A text that decodes is decoded in chunks, not given up for the exact path.
    const std::optional<Dataset> in_chunks = decode_load_in_one_pass(text, &splitters[1].rules);
    const std::optional<Dataset> in_one = decode_load_in_one_pass(text);
    ASSERT_TRUE(in_chunks && in_one);
    EXPECT_EQ(testing::render(*in_chunks), testing::render(*in_one));
  }
}

TEST(LoadInChunks, CancelledAtAnyPollChangesNothing) {
  Splitter s(2, 64, 1);
  const std::string text = load_text(3, 200);
  const std::string held = outcome("{}", &s.rules);
  const std::string expected = outcome(text, &s.rules);
  int stopped = 0;
  for (int trip = 1; trip < 100000; ++trip, ++stopped) {
    TripAt check{trip};
    const std::string got = outcome(text, &s.rules, &check);
    if (got == expected) break;
    ASSERT_EQ(got,
              R"({"ok":false,"error":"data: command cancelled"})" + held.substr(held.find('|')))
        << trip;
  }
  EXPECT_GT(stopped, 0);
  EXPECT_LT(stopped, 99999) << "never ran through";
}

// A decoded book's levels live in blocks its dataset owns (more than one
// here): they last through moves and an assignment over another dataset, and
// a copy keeps its own when the original is gone.
TEST(LoadInChunks, BookLevelsLastAsLongAsTheirDataset) {
  const auto book = [](int price) {
    std::string text = R"({"book":[)";
    for (int i = 0; i < 20000; ++i) {
      text += (i ? "," : "") + std::string(R"({"ts":1,"kind":"diff","bids":[[)") +
              std::to_string(price) + ",1]],\"asks\":[[" + std::to_string(price) + ",2]]}";
    }
    return text + "]}";
  };
  Result<Dataset> first = decode_dataset_checked_text(book(5));
  Result<Dataset> second = decode_dataset_checked_text(book(7));
  ASSERT_TRUE(first && second);
  Dataset kept = std::move(*first);
  kept = std::move(*second);
  const Dataset copy = kept;
  kept = Dataset{};
  first = Dataset{};
  second = Dataset{};
  double sum = 0;
  for (const BookEvent& e : copy.book) sum += e.bids.at(0).price * e.asks.at(0).qty;
  EXPECT_EQ(sum, 20000 * 7 * 2);
}

// The windows, with a stand-in for the element decoder (an element runs to
// the "}" that closes it): where every element opens alike, each window is
// decoded on a worker; a wrong guess is decoded on from where the window
// before ended, on the caller; a cancelled load starts none; running out of
// memory on a worker is raised on the caller.
TEST(LoadInChunks, Windows) {
  const std::string alike = R"({"a":1},{"a":22},{"a":333},{"a":4444},{"a":55555}])";
  const std::string nested = R"({"a":1},{"b":[0,{"a":2}]},{"a":3},{"a":[0,{"a":4}]},{"a":5}])";
  for (const auto& [list, cancelled] : {std::pair{alike, false}, {nested, false}, {alike, true}}) {
    SCOPED_TRACE(list + (cancelled ? " cancelled" : ""));
    Splitter s(2, 9, 0);
    std::atomic<int> calls{0};
    std::atomic<bool> on_caller{false};
    const auto decode_range = [&](std::size_t at, std::size_t until, auto&& keep_going,
                                  auto& items) {
      calls.fetch_add(1);
      if (std::this_thread::get_id() == main_thread) on_caller = true;
      for (;;) {
        if (!keep_going()) return RangeEnd{};
        int depth = 0;
        do {
          depth += (list[at] == '{') - (list[at] == '}');
        } while (++at, depth > 0);
        items.push_back(at);
        if (list[at] == ']') return RangeEnd{RangeEnd::How::Closed, at + 1};
        if (++at >= until) return RangeEnd{RangeEnd::How::Stopped, at};
      }
    };
    TripAt check{cancelled ? 1 : 1 << 30};  // the pool asks before its workers start
    CancelScope scope(TripAt::check, &check);
    std::vector<std::size_t> out;
    std::size_t closed_at = 0;
    ASSERT_EQ(decoding::decode_list_in_chunks(s.rules, list, 0, 0, decode_range, out, closed_at),
              !cancelled);
    if (cancelled) {
      EXPECT_EQ(calls.load(), 0);
      continue;
    }
    EXPECT_EQ(closed_at, list.size());
    ASSERT_EQ(out.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(list[out[i]], i < 4 ? ',' : ']');
    EXPECT_EQ(on_caller.load(), list == nested);
  }
  Splitter s(2, 9, 0);
  const auto failing = [&](std::size_t at, std::size_t, auto&&, auto&) -> RangeEnd {
    if (at == 0) return {RangeEnd::How::Stopped, 8};
    if (std::this_thread::get_id() != main_thread) throw std::bad_alloc();
    return {RangeEnd::How::Closed, alike.size()};
  };
  std::vector<int> out;
  std::size_t closed_at = 0;
  EXPECT_THROW(decoding::decode_list_in_chunks(s.rules, alike, 0, 0, failing, out, closed_at),
               std::bad_alloc);
}

}  // namespace
}  // namespace xray
