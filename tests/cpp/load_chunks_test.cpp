// Long lists of a "load" decoded in chunks on several threads give what one
// thread gives: the same dataset, the same error for a broken text, and a
// cancelled load changes nothing. Small windows force the chunks on small
// texts, written with element starts that are easy to guess wrong.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/render.h"
#include "core/cancel.h"
#include "decode/checking_span_source.h"
#include "decode/list_chunks.h"
#include "engine/pool_tasks.h"
#include "engine/worker_pool.h"
#include "instance.h"
#include "protocol/command_decode.h"

namespace xray {
namespace {

using decoding::ListSplitting;

// A pool of `threads` workers and chunk rules over it.
struct Splitter {
  Splitter(std::size_t threads, std::size_t chunk_bytes, std::size_t first_elements)
      : pool(threads), tasks(pool), rules{&tasks, chunk_bytes, first_elements} {}
  WorkerPool pool;
  PoolTasks tasks;
  ListSplitting rules;
};

std::vector<std::unique_ptr<Splitter>> splitters() {
  std::vector<std::unique_ptr<Splitter>> out;
  out.push_back(std::make_unique<Splitter>(1, 1, 0));
  out.push_back(std::make_unique<Splitter>(2, 23, 1));
  out.push_back(std::make_unique<Splitter>(3, 97, 3));
  out.push_back(std::make_unique<Splitter>(2, 700, 64));
  return out;
}

// The dataset with every double's bits; each book event's key ranges must
// be those its levels give.
std::string rendered(const Dataset& d) {
  std::vector<BookEvent> book = d.book;
  note_level_key_ranges(book);
  for (std::size_t i = 0; i < book.size(); ++i) {
    const KeyRange& bids = d.book[i].bid_keys;
    const KeyRange& asks = d.book[i].ask_keys;
    if (bids.lo != book[i].bid_keys.lo || bids.hi != book[i].bid_keys.hi ||
        asks.lo != book[i].ask_keys.lo || asks.hi != book[i].ask_keys.hi) {
      ADD_FAILURE() << "key ranges of book event " << i << " differ from its levels'";
      break;
    }
  }
  return testing::render(d);
}

std::string number(std::mt19937_64& rng) {
  return std::to_string(rng() % 90000) + "." + std::to_string(rng() % 1000);
}

// A trade as an object that opens like its neighbours, or not: another first
// key, blanks, an escaped key, a member holding objects that open alike, a
// string holding an escaped look-alike; or as an array.
std::string trade(std::mt19937_64& rng, int64_t ts) {
  const std::string t = std::to_string(ts);
  const std::string rest = "\"price\":" + number(rng) + ",\"qty\":" + number(rng) + ",\"side\":\"" +
                           (rng() % 2 ? "buy" : "sell") + "\"";
  switch (rng() % 12) {
    case 0: return "{" + rest + ",\"ts\":" + t + "}";
    case 1: return "{ \"ts\" :\n" + t + " , " + rest + " }";
    case 2: return "{\"t\\u0073\":" + t + "," + rest + "}";
    case 3: return "{\"ts\":" + t + ",\"x\":[{\"ts\":1},{\"ts\":2,\"price\":3}]," + rest + "}";
    case 4: return "{\"ts\":" + t + ",\"note\":\",{\\\"ts\\\":1}\"," + rest + "}";
    case 5: return "[" + t + "," + number(rng) + ",1,\"buy\"]";
    default: return "{\"ts\":" + t + "," + rest + "}";
  }
}

std::string levels(std::mt19937_64& rng) {
  std::string out = "[";
  for (std::size_t i = 0, n = rng() % 5; i < n; ++i) {
    out.append(i ? ",[" : "[").append(number(rng)).append(",").append(number(rng)).append("]");
  }
  return out + "]";
}

std::string book_event(std::mt19937_64& rng, int64_t ts) {
  const std::string t = std::to_string(ts);
  const std::string kind = rng() % 5 ? "\"diff\"" : "\"snapshot\"";
  if (rng() % 9 == 0) {
    return "{\"ts\":" + t + ",\"x\":{\"y\":[{\"ts\":5,\"kind\":\"diff\"}]},\"kind\":" + kind +
           ",\"asks\":" + levels(rng) + ",\"bids\":" + levels(rng) + "}";
  }
  return "{\"ts\":" + t + ",\"kind\":" + kind + ",\"bids\":" + levels(rng) +
         ",\"asks\":" + levels(rng) + "}";
}

std::string load_text(uint64_t seed, int records) {
  std::mt19937_64 rng(seed);
  auto list = [&](const char* name, auto&& element) {
    std::string out = std::string("\"") + name + "\":[";
    for (int i = 0; i < records; ++i) {
      out += (i ? (rng() % 7 ? "," : " ,\n ") : "") + element(rng, 1000 + i * 3 - (i % 4));
    }
    return out + "]";
  };
  const auto candle = [](std::mt19937_64& r, int64_t ts) {
    return "{\"ts\":" + std::to_string(ts) + ",\"open\":" + number(r) +
           ",\"high\":1,\"low\":" + number(r) + ",\"close\":2,\"volume\":3}";
  };
  return "{\"cmd\":\"load\",\"dataset\":{" + list("candles", candle) + "," + list("trades", trade) +
         ",\"funding\":[[5,0.1]]," + list("book", book_event) + "},\"extra\":[{\"ts\":1}]}";
}

// The response and the dataset after it, loaded over a dataset already held.
std::string outcome(const std::string& command, const ListSplitting* rules) {
  XrayInstance x;
  ListSplitting one_thread;
  x.split_loads_with(rules != nullptr ? rules : &one_thread);
  x.command(R"({"cmd":"load","dataset":{"oi":[[7,1.5]]}})");
  const std::string response = x.command(command);
  return response + "|" + rendered(x.dataset());
}

TEST(LoadInChunks, SameDatasetAsOneThread) {
  const auto rules = splitters();
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    const std::string text = load_text(seed, 20 + static_cast<int>(seed) * 40);
    const std::string expected = outcome(text, nullptr);
    ASSERT_TRUE(expected.starts_with(R"({"ok":true)")) << expected.substr(0, 200);
    for (const auto& s : rules) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", window " +
                   std::to_string(s->rules.chunk_bytes));
      EXPECT_EQ(outcome(text, &s->rules), expected);
      // Taken in chunks, not given up for the exact path.
      std::optional<Dataset> d = decode_load_in_one_pass(text, &s->rules);
      ASSERT_TRUE(d);
      sort_by_ts(*d);
      EXPECT_EQ(rendered(*d), expected.substr(expected.find('|') + 1));
    }
  }
}

// A broken text anywhere in a list: the same error, and nothing changes.
TEST(LoadInChunks, SameErrorAsOneThread) {
  const auto rules = splitters();
  const std::string text = load_text(11, 120);
  const char* const kStrays[] = {",", "]", "}", "x", "\"", "\\", "{\"ts\":", "1e999"};
  int failures = 0;
  for (std::size_t at = 40, k = 0; at < text.size(); at += 61, ++k) {
    std::string broken = text;
    if (k % 3 == 0) {
      broken.resize(at);
    } else {
      broken.insert(at, kStrays[k % std::size(kStrays)]);
    }
    const std::string expected = outcome(broken, nullptr);
    failures += expected.starts_with(R"({"ok":false)");
    for (const auto& s : rules) {
      SCOPED_TRACE("at " + std::to_string(at) + ", window " + std::to_string(s->rules.chunk_bytes));
      ASSERT_EQ(outcome(broken, &s->rules), expected);
    }
  }
  EXPECT_GT(failures, 100) << "most of the broken texts must fail";
}

// Values of the wrong kind deep in a list fail in the decoder's own words.
TEST(LoadInChunks, SameRejectionAsOneThread) {
  const auto rules = splitters();
  const std::string text = load_text(5, 150);
  const std::pair<std::string, std::string> kSwaps[] = {
      {"\"buy\"", "\"BUY\""},          {"\"diff\"", "5"}, {"\"qty\":", "\"qty\":\"1\"+"},
      {"\"ts\":", "\"ts\":1.5+"},      {"]]", "],7]"},    {"\"kind\"", "\"k\""},
      {"\"asks\":[", "\"asks\":[[1],"}};
  int rejected = 0;
  for (const auto& [from, to] : kSwaps) {
    for (std::size_t nth : {1, 9, 60, 140}) {
      std::size_t at = 0;
      for (std::size_t i = 0; i < nth && at != std::string::npos; ++i) {
        at = text.find(from, at == 0 ? 0 : at + 1);
      }
      if (at == std::string::npos) continue;
      std::string broken = text;
      broken.replace(at, from.size(), to.back() == '+' ? to.substr(0, to.size() - 1) : to);
      // Some land in an unknown member, and change nothing.
      const std::string expected = outcome(broken, nullptr);
      rejected += expected.starts_with(R"({"ok":false)");
      for (const auto& s : rules) {
        SCOPED_TRACE(from + " #" + std::to_string(nth));
        EXPECT_EQ(outcome(broken, &s->rules), expected);
      }
    }
  }
  EXPECT_GT(rejected, 20);
}

// A check that says "stop" from its trip-th call on.
struct TripAt {
  int trip = 0;
  int calls = 0;
  static bool check(void* self) {
    auto* t = static_cast<TripAt*>(self);
    return ++t->calls >= t->trip;
  }
};

TEST(LoadInChunks, CancelledAtAnyPollChangesNothing) {
  Splitter s(2, 64, 1);
  const std::string text = load_text(3, 200);
  const std::string before = outcome("{}", &s.rules);
  const std::string expected = outcome(text, &s.rules);
  int stopped = 0;
  bool ran_through = false;
  for (int trip = 1; !ran_through; ++trip) {
    ASSERT_LT(trip, 100000) << "never ran through";
    XrayInstance x;
    x.split_loads_with(&s.rules);
    x.command(R"({"cmd":"load","dataset":{"oi":[[7,1.5]]}})");
    TripAt check{trip};
    std::string response;
    bool cancelled = false;
    {
      CancelScope scope(TripAt::check, &check, /*stride=*/1);
      response = x.command(text);
      cancelled = scope.cancelled();
    }
    const std::string got = response + "|" + rendered(x.dataset());
    if (cancelled) {
      ASSERT_EQ(got, R"({"ok":false,"error":"data: command cancelled"})" +
                         before.substr(before.find('|')))
          << trip;
      ++stopped;
    } else {
      ASSERT_EQ(got, expected) << trip;
      ran_through = true;
    }
  }
  EXPECT_GT(stopped, 0);
}

// A decode of chunks that finds itself cancelled starts no window.
TEST(LoadInChunks, NoWindowStartsOnceCancelled) {
  Splitter s(2, 4, 0);
  const std::string list = R"({"a":1},{"a":2},{"a":3},{"a":4},{"a":5},{"a":6}])";
  std::atomic<int> calls{0};
  const auto decode_range = [&](std::size_t, std::size_t, auto&&, auto&) {
    calls.fetch_add(1);
    return decoding::RangeEnd{};
  };
  TripAt check{1};  // the pool asks before its workers start
  CancelScope scope(TripAt::check, &check);
  std::vector<int> out;
  std::size_t closed_at = 0;
  EXPECT_FALSE(decoding::decode_list_in_chunks(s.rules, list, 0, 0, decode_range, out, closed_at));
  EXPECT_EQ(calls.load(), 0);
}

// What the chunk rules guess, and the windows they hand out: on a list
// whose elements all open alike every window is decoded once, on a worker;
// a wrong guess is decoded on from where the window before ended.
TEST(LoadInChunks, GuessesAndWindows) {
  using decoding::element_signature;
  using decoding::guess_element_start;
  EXPECT_EQ(element_signature(R"({"ts":1})", 0), R"({"ts")");
  EXPECT_EQ(element_signature("{ \n\"ts\" :1}", 0), "{ \n\"ts\"");
  EXPECT_EQ(element_signature(R"({"t\u0073":1})", 0), "");
  EXPECT_EQ(element_signature(R"([1,2])", 0), "");
  EXPECT_EQ(element_signature(R"({})", 0), "");
  EXPECT_EQ(element_signature("{\"" + std::string(60, 'k') + "\":1}", 0), "");
  const std::string text = R"([{"a":1}, {"a":2},{"b":{"a":3}},[{"a":4}]])";
  EXPECT_EQ(guess_element_start(text, R"({"a")", 0, text.size()), text.find(R"({"a":2)"));
  EXPECT_EQ(guess_element_start(text, R"({"a")", 11, text.size()), decoding::kNoGuess);
  EXPECT_EQ(guess_element_start(text, R"({"a")", 0, 10), decoding::kNoGuess);

  // A fake element decoder: an element runs to the "}" that closes it.
  struct Case {
    std::string list;
    bool guesses_right;
  };
  const Case cases[] = {{R"({"a":1},{"a":22},{"a":333},{"a":4444},{"a":55555}])", true},
                        {R"({"a":1},{"b":[0,{"a":2}]},{"a":3},{"a":[0,{"a":4}]},{"a":5}])", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    Splitter s(2, 9, 0);
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::thread::id>> calls;
    const auto decode_range = [&](std::size_t from, std::size_t until, auto&& keep_going,
                                  auto& items) {
      {
        const std::lock_guard lock(mutex);
        calls.emplace_back(from, std::this_thread::get_id());
      }
      // An element runs to the "}" that closes its depth, then "," or "]".
      std::size_t at = from;
      for (;;) {
        if (!keep_going()) return decoding::RangeEnd{};
        int depth = 0;
        do {
          depth += c.list[at] == '{';
          depth -= c.list[at] == '}';
          ++at;
        } while (depth > 0);
        items.push_back(at);
        if (c.list[at] == ']') return decoding::RangeEnd{decoding::RangeEnd::How::Closed, at + 1};
        ++at;
        if (at >= until) return decoding::RangeEnd{decoding::RangeEnd::How::Stopped, at};
      }
    };
    std::vector<std::size_t> out;
    std::size_t closed_at = 0;
    ASSERT_TRUE(
        decoding::decode_list_in_chunks(s.rules, c.list, 0, 0, decode_range, out, closed_at));
    EXPECT_EQ(closed_at, c.list.size());
    EXPECT_EQ(out.size(), 5u);
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(c.list[out[i]], i + 1 < 5 ? ',' : ']');
    std::set<std::size_t> starts;
    bool on_caller = false;
    for (const auto& [from, thread] : calls) {
      on_caller |= thread == std::this_thread::get_id();
      EXPECT_TRUE(starts.insert(from).second) << "decoded twice from " << from;
    }
    EXPECT_EQ(on_caller, !c.guesses_right);
    EXPECT_LE(s.pool.threads(), 2u);
  }
}

// A pair read at once only when written tightly, and then as the walk reads
// its two numbers; anything else is left to the walk, with nothing recorded.
TEST(LoadInChunks, TightNumberPairs) {
  struct Case {
    const char* text;
    bool tight;
    double first;
    double second;
  };
  const Case cases[] = {{"[1,2]", true, 1, 2},
                        {"[-0.0,30000.25]", true, -0.0, 30000.25},
                        {"[1e5,-7]", true, 1e5, -7},
                        {"[18446744073709551615,0.1]", true, 18446744073709551615.0, 0.1},
                        {"[1, 2]", false, 0, 0},
                        {"[ 1,2]", false, 0, 0},
                        {"[1,2 ]", false, 0, 0},
                        {"[1,2,3]", false, 0, 0},
                        {"[1]", false, 0, 0},
                        {"[01,2]", false, 0, 0},
                        {"[1,-]", false, 0, 0},
                        {"[1,\"2\"]", false, 0, 0},
                        {"[1,2", false, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    decoding::CheckingSpanSource source(c.text);
    const decoding::SpanValue array = source.root();
    decoding::SpanValue first;
    decoding::SpanValue second;
    ASSERT_EQ(source.tight_number_pair(array, first, second), c.tight);
    EXPECT_FALSE(source.failed());
    if (!c.tight) {
      EXPECT_EQ(array.end, decoding::kUnknownEnd);
      continue;
    }
    EXPECT_EQ(array.end, std::string_view(c.text).size());
    double a = 0;
    double b = 0;
    ASSERT_TRUE(decoding::ScalarRule<double>::accept(source.summary(first), a));
    ASSERT_TRUE(decoding::ScalarRule<double>::accept(source.summary(second), b));
    EXPECT_EQ(std::bit_cast<uint64_t>(a), std::bit_cast<uint64_t>(c.first));
    EXPECT_EQ(std::bit_cast<uint64_t>(b), std::bit_cast<uint64_t>(c.second));
  }
}

}  // namespace
}  // namespace xray
