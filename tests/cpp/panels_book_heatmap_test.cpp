// The book replay and the heatmap: worked example, snapshot and diff rules,
// bucket and level edges, and a randomized comparison with a plain full-scan
// model of the panel.
#include <gtest/gtest.h>

#include <compare>
#include <map>

#include "panel_test_util.h"
#include "panels/book_state.h"
#include "panels/panel_common.h"
#include "panels/panels.h"

namespace xray {
namespace {

using namespace panel_testing;  // NOLINT(google-build-using-namespace)
using Levels = std::vector<PriceLevel>;

BookEvent snapshot(int64_t ts, Levels bids, Levels asks) {
  return {ts, BookEventKind::Snapshot, std::move(bids), std::move(asks)};
}
BookEvent diff(int64_t ts, Levels bids, Levels asks) {
  return {ts, BookEventKind::Diff, std::move(bids), std::move(asks)};
}

PanelData heatmap(const std::vector<BookEvent>& book, double price_bin, uint32_t depth,
                  int64_t bucket_ms) {
  WindowData data;
  data.book = book;
  return compute_book_heatmap({price_bin, bucket_ms, depth}, data.window());
}

std::string expected_heatmap(std::vector<int64_t> time, std::vector<double> price,
                             std::vector<double> intensity) {
  return panel_text(PanelData{PanelData::BookHeatmap{std::move(time), std::move(price),
                                                     std::move(intensity)}});
}

const std::string kEmpty = expected_heatmap({}, {}, {});
// The NaNs at the very ends of the total order.
const double kWidestNaN = std::bit_cast<double>(uint64_t{0x7FFFFFFFFFFFFFFF});

// "price:qty" of one side in key order.
std::string side_text(const BookSide& side) {
  std::string text;
  for (const BookSide::Entry& e : side.entries()) {
    text += exact_text(from_total_order_key(e.key));
    text += ':';
    text += exact_text(e.qty);
    text += ' ';
  }
  return text;
}

struct ReplayCase {
  const char* name;
  std::vector<BookEvent> events;
  const char* bids;
  const char* asks;
};

TEST(BookReplay, SnapshotAndDiffRules) {
  const ReplayCase cases[] = {
      {"zero quantity removes", {snapshot(0, {{1, 2}, {3, 4}}, {{5, 6}}), diff(1, {{1, 0}}, {})}, "3.0:4.0 ", "5.0:6.0 "},
      {"negative zero removes", {snapshot(0, {{1, 2}}, {{5, 6}}), diff(1, {}, {{5, -0.0}})}, "1.0:2.0 ", ""},
      {"replace, not add", {diff(0, {{1, 2}}, {}), diff(1, {{1, 5}}, {})}, "1.0:5.0 ", ""},
      {"later level in one list wins", {diff(0, {{1, 2}, {1, 3}, {2, 1}, {2, 0}}, {})}, "1.0:3.0 ", ""},
      {"diff keeps other levels", {snapshot(0, {{1, 1}, {2, 2}}, {{3, 3}}), diff(1, {{2, 9}}, {{4, 4}})}, "1.0:1.0 2.0:9.0 ", "3.0:3.0 4.0:4.0 "},
      {"later snapshot discards everything", {snapshot(0, {{1, 1}}, {{3, 3}}), diff(1, {{2, 2}}, {}), snapshot(2, {{0.5, 1}}, {})}, "0.5:1.0 ", ""},
      {"zeros and NaN are distinct keys in total order", {diff(0, {{0.0, 1}, {kNaN, 2}, {-0.0, 3}, {-kInf, 4}, {-kNaN, 5}}, {})}, "nan:fff8000000000000:5.0 -inf:4.0 -0.0:3.0 0.0:1.0 nan:7ff8000000000000:2.0 ", ""},
  };
  for (const ReplayCase& c : cases) {
    SCOPED_TRACE(c.name);
    BookState state;
    for (const BookEvent& e : c.events) apply_book_event(state, e);
    EXPECT_EQ(side_text(state.bids), c.bids);
    EXPECT_EQ(side_text(state.asks), c.asks);
  }
}

struct ChurnCase {
  const char* name;
  int updates;
  uint64_t price_count;  // distinct prices drawn from
  int read_every;        // entries are read (and checked) after this many updates
};

TEST(BookReplay, ManyInsertsAndRemovalsKeepOrder) {
  // Grows the table past the size where it settles for half full and removes
  // from long probe runs; frequent reads merge a few changes into the ordered
  // entries, rare ones sort them anew. Checked against an ordered map.
  const ChurnCase cases[] = {
      {"large book, rare reads", 60000, 40000, 4999},
      {"read after every update", 3000, 300, 1},
      {"read after a few updates", 6000, 600, 3},
      {"changes outnumber entries", 4000, 20, 7},
  };
  for (const ChurnCase& c : cases) {
    SCOPED_TRACE(c.name);
    BookSide side;
    std::map<uint64_t, double> model;  // key -> qty
    std::mt19937_64 rng(5);
    const double qtys[] = {0.0, -0.0, 1.0, 2.0, kNaN, 0.5};
    for (int i = 0; i < c.updates; ++i) {
      const double price = static_cast<double>(rng() % c.price_count) * 0.5 - 150.0;
      const double qty = c.price_count > 1000 ? ((rng() % 3 == 0) ? 0.0 : static_cast<double>(rng() % 50))
                                             : qtys[rng() % 6];
      const uint64_t changes_before = side.changes();
      const auto held = model.find(total_order_key(price));
      const bool changes = qty == 0.0 ? held != model.end()
                                      : held == model.end() || std::bit_cast<uint64_t>(held->second) !=
                                                                   std::bit_cast<uint64_t>(qty);
      side.set(price, qty);
      if (qty == 0.0) {
        model.erase(total_order_key(price));
      } else {
        model[total_order_key(price)] = qty;
      }
      ASSERT_EQ(side.size(), model.size());
      ASSERT_EQ(side.changes() != changes_before, changes) << "update " << i;
      if (i % (i < 1000 ? std::min(97, c.read_every) : c.read_every) != 0) continue;
      std::string expected;
      for (const auto& [key, q] : model) {
        expected += exact_text(from_total_order_key(key)) + ':' + exact_text(q) + ' ';
      }
      ASSERT_EQ(side_text(side), expected) << "after update " << i;
    }
    EXPECT_GT(model.size(), c.price_count / 5);
  }
}

// The NaN that the hardware produces for inf - inf (its sign differs between
// machines), computed at run time rather than folded by the compiler.
double runtime_sum(double a, double b) {
  volatile double left = a;
  return left + b;
}

struct HeatmapCase {
  const char* name;
  std::vector<BookEvent> events;
  double price_bin;
  uint32_t depth;
  int64_t bucket_ms;
  std::string expected;
};

TEST(BookHeatmap, Table) {
  const HeatmapCase cases[] = {
      {"worked example", {snapshot(1500, {{99.5, 2}}, {{100.5, 3}})}, 1, 3, 1000, expected_heatmap({1000}, {99, 100, 101}, {2, 3, -0.0})},
      {"event at a bucket end counts for the next bucket", {snapshot(0, {{99, 1}}, {{101, 1}}), diff(1000, {{99, 5}}, {})}, 1, 3, 1000, expected_heatmap({0, 1000}, {99, 100, 101}, {1, -0.0, 1, 5, -0.0, 1})},
      {"empty buckets repeat the previous row", {snapshot(0, {{99, 1}}, {{101, 1}}), diff(3500, {{100, 2}}, {})}, 1, 3, 1000, expected_heatmap({0, 1000, 2000, 3000}, {99, 100, 101}, {1, -0.0, 1, 1, -0.0, 1, 1, -0.0, 1, 1, 2, 1})},
      {"negative timestamps round down", {snapshot(-1, {{99, 1}}, {{101, 1}})}, 1, 3, 1000, expected_heatmap({-1000}, {99, 100, 101}, {1, -0.0, 1})},
      {"even depth has one more level below", {snapshot(0, {{98, 1}, {99, 2}}, {{101, 4}})}, 1, 4, 10, expected_heatmap({0}, {98, 99, 100, 101}, {1, 2, -0.0, 4})},
      {"lo inclusive, hi exclusive, sums in one cell", {snapshot(0, {{99, 1}, {99.5, 0.1}, {99.99999999, 0.2}, {100, 8}}, {{101, 16}})}, 1, 3, 10, expected_heatmap({0}, {99, 100, 101}, {1.3, 8, 16})},
      {"both zero keys lie in the level starting at zero", {snapshot(0, {{-0.0, 1}, {0.0, 2}, {-1, 4}}, {{1, 8}})}, 1, 3, 10, expected_heatmap({0}, {-1, 0, 1}, {4, 3, 8})},
      {"a NaN price never counts", {snapshot(0, {{-kNaN, 5}, {-1, 1}}, {{kNaN, 7}, {1, 2}})}, 1, 3, 10, expected_heatmap({0}, {-1, 0, 1}, {1, -0.0, 2})},
      {"NaNs with every payload bit set never count", {snapshot(0, {{-kWidestNaN, 5}, {-1, 1}}, {{kWidestNaN, 7}, {1, 2}})}, 1, 3, 10, expected_heatmap({0}, {-1, 0, 1}, {1, -0.0, 2})},
      {"an infinite centre and offsets give infinite and NaN edges that admit nothing", {snapshot(0, {{-kInf, 1}}, {{5, 1}})}, 1e308, 5, 10, expected_heatmap({0}, {-kInf, -kInf, -kInf, -kInf, runtime_sum(-kInf, kInf)}, {-0.0, -0.0, -0.0, -0.0, -0.0})},
      {"a later snapshot in the same bucket replaces the book", {snapshot(0, {{99, 1}}, {{101, 1}}), diff(5, {{100, 3}}, {}), snapshot(7, {{99, 2}}, {{101, 2}})}, 1, 3, 1000, expected_heatmap({0}, {99, 100, 101}, {2, -0.0, 2})},
  };
  for (const HeatmapCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(panel_text(heatmap(c.events, c.price_bin, c.depth, c.bucket_ms)), c.expected);
  }
}

// ---- The plain model: ordered maps in total order, every cell a full scan.

struct TotalLess {
  bool operator()(double a, double b) const { return std::is_lt(std::strong_order(a, b)); }
};
using ModelSide = std::map<double, double, TotalLess>;

double model_round8(double x) { return std::round(x * 1e8) / 1e8; }

void model_apply(ModelSide& bids, ModelSide& asks, const BookEvent& e) {
  if (e.kind == BookEventKind::Snapshot) {
    bids.clear();
    asks.clear();
  }
  const auto apply = [](ModelSide& side, const Levels& levels) {
    for (const PriceLevel& l : levels) {
      if (l.qty == 0.0) {
        side.erase(l.price);
      } else {
        side[l.price] = l.qty;
      }
    }
  };
  apply(bids, e.bids);
  apply(asks, e.asks);
}

int64_t model_floor_div(int64_t a, int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

PanelData::BookHeatmap model_heatmap(const std::vector<BookEvent>& events, double price_bin,
                                     uint32_t depth, int64_t bucket_ms) {
  PanelData::BookHeatmap out;
  if (events.empty()) return out;
  ModelSide bids;
  ModelSide asks;
  for (const BookEvent& e : events) model_apply(bids, asks, e);
  if (bids.empty() || asks.empty()) return out;
  const double best_bid = bids.rbegin()->first;
  const double best_ask = asks.begin()->first;
  const double h = 8.988465674311579e307;
  const double mid = (std::fabs(best_bid) <= h && std::fabs(best_ask) <= h)
                         ? (best_bid + best_ask) * 0.5
                         : best_bid * 0.5 + best_ask * 0.5;
  const double centre = model_round8(std::floor(mid / price_bin) * price_bin);
  const int64_t half = depth / 2;
  for (int64_t i = 0; i < depth; ++i) {
    out.price.push_back(model_round8(centre + static_cast<double>(i - half) * price_bin));
  }
  const int64_t q0 = model_floor_div(events.front().ts, bucket_ms);
  const int64_t q1 = model_floor_div(events.back().ts, bucket_ms);
  bids.clear();
  asks.clear();
  std::size_t cursor = 0;
  for (int64_t k = 0; k < q1 - q0 + 1; ++k) {
    const int64_t t = q0 * bucket_ms + k * bucket_ms;
    while (cursor < events.size() && events[cursor].ts < t + bucket_ms) {
      model_apply(bids, asks, events[cursor++]);
    }
    out.time.push_back(t);
    for (double lo : out.price) {
      const double hi = model_round8(price_bin + lo);
      const auto sum = [&](const ModelSide& side) {
        double s = -0.0;
        for (const auto& [p, q] : side) {
          if (lo <= p && p < hi) s += q;
        }
        return s;
      };
      out.intensity.push_back(model_round8(sum(bids) + sum(asks)));
    }
  }
  return out;
}

// Small grids around zero with prices on and next to the level edges, both
// zeros, NaNs of both signs and infinities, quantities of every kind.
std::vector<BookEvent> random_book(std::mt19937_64& rng, double price_bin, int64_t bucket_ms) {
  std::vector<double> prices = {-0.0, 0.0, kNaN, -kNaN, 1e-12, -1e-12};
  for (int m = -8; m <= 8; ++m) {
    prices.push_back(m * price_bin * 0.5);
    prices.push_back(m * price_bin * 0.5 + 1e-9);
  }
  if (rng() % 10 == 0) prices.push_back(kInf);
  if (rng() % 10 == 0) prices.push_back(-kInf);
  const std::vector<double> qtys = {0.0, -0.0, 1.0, 2.5, 0.1, 0.2, kNaN, 1e-9, -1.0, 3.3333333};
  const std::size_t count = 1 + rng() % 25;
  const int64_t start = static_cast<int64_t>(rng() % 6000) - 3000;
  const int64_t max_step = rng() % 2 == 0 ? bucket_ms / 2 : bucket_ms * 3;
  const std::vector<int64_t> times = random_times(rng, count, start, max_step);
  std::vector<BookEvent> events;
  for (std::size_t i = 0; i < count; ++i) {
    BookEvent e{times[i], rng() % 5 == 0 ? BookEventKind::Snapshot : BookEventKind::Diff, {}, {}};
    for (std::size_t j = rng() % 5; j > 0; --j) {
      e.bids.push_back({pick(rng, prices), pick(rng, qtys)});
    }
    for (std::size_t j = rng() % 5; j > 0; --j) {
      e.asks.push_back({pick(rng, prices), pick(rng, qtys)});
    }
    events.push_back(std::move(e));
  }
  return events;
}

TEST(BookHeatmap, MatchesFullScanModelOnRandomBooks) {
  const std::vector<double> bins = {0.5, 1.0, 0.1, 0.3, 0.25, 1e-9, 3e-8, 7.0, 1e308};
  const std::vector<int64_t> bucket_widths = {1, 7, 100, 1000, 5000};
  int non_empty = 0;
  for (uint64_t seed = 0; seed < 3000; ++seed) {
    std::mt19937_64 rng(seed);
    const double price_bin = pick(rng, bins);
    const int64_t bucket_ms = pick(rng, bucket_widths);
    const auto depth = static_cast<uint32_t>(1 + rng() % 9);
    const std::vector<BookEvent> events = random_book(rng, price_bin, bucket_ms);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string expected =
        panel_text(PanelData{model_heatmap(events, price_bin, depth, bucket_ms)});
    ASSERT_EQ(panel_text(heatmap(events, price_bin, depth, bucket_ms)), expected);
    non_empty += expected != kEmpty;
  }
  EXPECT_GT(non_empty, 1000);  // the comparison is not mostly about empty books
}

// Long books where most buckets leave the grid as it was: empty buckets,
// updates only off the grid, quantities set again to what they were, zeros
// of both signs as prices, all between rare snapshots.
struct LongBookShape {
  const char* name;
  std::size_t events;
  uint64_t snapshot_one_in;
  uint64_t off_grid_one_in;  // share of prices far off the grid
  int64_t max_step_buckets;
};

std::vector<BookEvent> long_random_book(std::mt19937_64& rng, const LongBookShape& shape,
                                        double price_bin, int64_t bucket_ms) {
  std::vector<double> prices = {-0.0, 0.0};
  for (int m = -6; m <= 6; ++m) prices.push_back(m * price_bin * 0.5);
  const std::vector<double> far = {-1e6, 1e6, 5e5 + 0.25, -kInf, kInf};
  const std::vector<double> qtys = {0.0, 1.0, 2.5, 0.1, kNaN};
  const std::vector<int64_t> times =
      random_times(rng, shape.events, -1000, bucket_ms * shape.max_step_buckets);
  std::vector<BookEvent> events;
  for (const int64_t ts : times) {
    const bool is_snapshot = rng() % shape.snapshot_one_in == 0;
    BookEvent e{ts, is_snapshot ? BookEventKind::Snapshot : BookEventKind::Diff, {}, {}};
    for (Levels* side : {&e.bids, &e.asks}) {
      for (std::size_t j = rng() % (is_snapshot ? 8 : 3); j > 0; --j) {
        const bool off = rng() % shape.off_grid_one_in == 0;
        side->push_back({pick(rng, off ? far : prices), pick(rng, qtys)});
      }
    }
    events.push_back(std::move(e));
  }
  return events;
}

TEST(BookHeatmap, MatchesFullScanModelOnLongBooks) {
  const LongBookShape shapes[] = {
      {"many empty buckets", 300, 40, 4, 6},
      {"mostly off the grid", 300, 60, 2, 1},
      {"dense buckets", 400, 100, 8, 1},
      {"snapshots often", 200, 3, 3, 2},
  };
  const std::vector<double> bins = {0.5, 0.1, 0.25, 1.0};
  for (const LongBookShape& shape : shapes) {
    for (uint64_t seed = 0; seed < 60; ++seed) {
      std::mt19937_64 rng(seed);
      const double price_bin = pick(rng, bins);
      const int64_t bucket_ms = 1 + static_cast<int64_t>(rng() % 50);
      const auto depth = static_cast<uint32_t>(1 + rng() % 12);
      const std::vector<BookEvent> events = long_random_book(rng, shape, price_bin, bucket_ms);
      SCOPED_TRACE(std::string(shape.name) + ", seed " + std::to_string(seed));
      ASSERT_EQ(panel_text(heatmap(events, price_bin, depth, bucket_ms)),
                panel_text(PanelData{model_heatmap(events, price_bin, depth, bucket_ms)}));
    }
  }
}

}  // namespace
}  // namespace xray
