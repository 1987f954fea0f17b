// The four panels against plain models (ordered maps, full scans, one stable
// sort, a walk per bucket) on seeded random windows, compared as frame texts.
#include "panels/panels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <limits>
#include <map>

#include "protocol/frame_encode.h"
#include "support.h"

namespace xray {
namespace {

using testing::pick;
using testing::random_times;
__extension__ using I128 = __int128;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct WindowData {
  std::vector<Candle> candles{};
  std::vector<Trade> trades{};
  std::vector<BookEvent> book{};
  std::vector<FundingEvent> funding{};
  std::vector<OiEvent> oi{};
  std::vector<LiquidationEvent> liquidations{};
  std::vector<KeyRange> book_blocks{};
  std::size_t book_at = 0;
  DatasetWindow window() const {
    return {candles, trades, book, funding, oi, liquidations, book_blocks, book_at};
  }
};

// The engine's panel written by the engine, the model's by plain concatenation.
void expect_model(const XrayPanel& panel, const WindowData& d, PanelData model) {
  ASSERT_TRUE(check_panel_size(panel, d.window()));
  ASSERT_EQ(encode_frame({"S", 0, {compute_panel(panel, d.window())}}),
            testing::frame_json({"S", 0, {std::move(model)}}));
}

struct TotalLess {
  bool operator()(double a, double b) const { return std::is_lt(std::strong_order(a, b)); }
};
using Side = std::map<double, double, TotalLess>;  // price -> qty

double r8(double x) { return std::round(x * 1e8) / 1e8; }
double bin_of(double price, double bin) { return r8(std::floor(price / bin) * bin); }
I128 floor_div(I128 a, I128 b) { return a / b - (a % b < 0 ? 1 : 0); }

PanelData model_footprint(const WindowData& d, double price_bin) {
  std::map<double, std::pair<double, double>, TotalLess> bins;
  for (const Trade& t : d.trades) {
    auto& sums = bins[bin_of(t.price, price_bin)];
    (t.side == TradeSide::Buy ? sums.first : sums.second) += t.qty;
  }
  PanelData::Footprint out;
  for (const auto& [bin, sums] : bins) {
    out.price_bins.push_back(r8(bin));
    out.buy_vol.push_back(r8(sums.first));
    out.sell_vol.push_back(r8(sums.second));
  }
  return {out};
}

void model_apply(Side& bids, Side& asks, const BookEvent& e) {
  if (e.kind == BookEventKind::Snapshot) bids.clear(), asks.clear();
  for (auto [side, levels] : {std::pair{&bids, &e.bids}, std::pair{&asks, &e.asks}}) {
    for (const PriceLevel& l : *levels) {
      if (l.qty == 0.0) {
        side->erase(l.price);
      } else {
        (*side)[l.price] = l.qty;
      }
    }
  }
}

// The grid around the final mid; every cell a scan of both whole sides.
PanelData model_heatmap(const WindowData& d, double price_bin, uint32_t depth, int64_t bucket_ms) {
  PanelData::BookHeatmap out;
  Side bids;
  Side asks;
  for (const BookEvent& e : d.book) model_apply(bids, asks, e);
  if (bids.empty() || asks.empty()) return {out};
  const double bid = bids.rbegin()->first;
  const double ask = asks.begin()->first;
  const double h = 8.988465674311579e307;  // half of the largest double: the sum may overflow
  const double mid =
      std::fabs(bid) <= h && std::fabs(ask) <= h ? (bid + ask) * 0.5 : bid * 0.5 + ask * 0.5;
  const double centre = bin_of(mid, price_bin);
  for (int64_t i = 0; i < depth; ++i) {
    out.price.push_back(r8(centre + static_cast<double>(i - depth / 2) * price_bin));
  }
  bids.clear();
  asks.clear();
  std::size_t next = 0;
  for (I128 q = floor_div(d.book.front().ts, bucket_ms);
       q <= floor_div(d.book.back().ts, bucket_ms); ++q) {
    while (next < d.book.size() && d.book[next].ts < (q + 1) * bucket_ms) {
      model_apply(bids, asks, d.book[next++]);
    }
    out.time.push_back(static_cast<int64_t>(q * bucket_ms));
    for (const double lo : out.price) {
      const double hi = r8(price_bin + lo);
      double sums[2] = {-0.0, -0.0};  // bids, asks
      for (const Side* side : {&bids, &asks}) {
        for (const auto& [p, qty] : *side) sums[side == &asks] += lo <= p && p < hi ? qty : -0.0;
      }
      out.intensity.push_back(r8(sums[0] + sums[1]));
    }
  }
  return {out};
}

PanelData model_liquidations(const WindowData& d, double price_bin) {
  PanelData::LiquidationMap out;
  for (const LiquidationEvent& e : d.liquidations) {
    out.events.push_back({e.ts, bin_of(e.price, price_bin), r8(e.qty), e.side});
  }
  std::stable_sort(out.events.begin(), out.events.end(), [](const auto& a, const auto& b) {
    if (a.ts != b.ts) return a.ts < b.ts;
    if (const auto by_bin = std::strong_order(a.price_bin, b.price_bin); by_bin != 0) {
      return std::is_lt(by_bin);
    }
    return a.side == LiquidationSide::Long && b.side == LiquidationSide::Short;
  });
  return {out};
}

// Each series carries its latest value before the bucket's end, 0.0 before its first.
PanelData model_series(const WindowData& d, int64_t bucket_ms) {
  PanelData::FundingOiDivergence out;
  std::vector<int64_t> ends;
  const auto span = [&](const auto& list) {
    if (!list.empty()) ends.insert(ends.end(), {list.front().ts, list.back().ts});
  };
  span(d.funding);
  span(d.oi);
  span(d.candles);
  if (ends.empty()) return {out};
  const auto latest = [](const auto& list, I128 end, auto field) {
    double value = 0.0;
    for (const auto& r : list) value = r.ts < end ? r.*field : value;
    return r8(value);
  };
  for (I128 q = floor_div(*std::min_element(ends.begin(), ends.end()), bucket_ms);
       q <= floor_div(*std::max_element(ends.begin(), ends.end()), bucket_ms); ++q) {
    out.time.push_back(static_cast<int64_t>(q * bucket_ms));
    out.funding.push_back(latest(d.funding, (q + 1) * bucket_ms, &FundingEvent::rate));
    out.oi.push_back(latest(d.oi, (q + 1) * bucket_ms, &OiEvent::oi));
    out.price.push_back(latest(d.candles, (q + 1) * bucket_ms, &Candle::close));
  }
  return {out};
}

// A start for times spanning up to `span` ms: usually near zero, now and then
// at either end of the 64-bit range (the first bucket still starts inside it).
int64_t random_start(std::mt19937_64& rng, int64_t bucket_ms, int64_t span) {
  switch (rng() % 10) {
    case 0: return std::numeric_limits<int64_t>::min() + 2 * bucket_ms;
    case 1: return std::numeric_limits<int64_t>::max() - span;
    default: return static_cast<int64_t>(rng() % 6000) - 3000;
  }
}

TEST(Footprint, MatchesOrderedMapModel) {
  const std::vector<double> bins = {0.1, 0.5, 1.0, 0.01, 3.0};
  const std::vector<double> specials = {-0.0, 0.0, kNaN, -kNaN, kInf, -kInf, 1e300, 1e308};
  for (uint64_t seed = 0; seed < 200; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const double price_bin = pick(rng, bins);
    WindowData d;
    double price = 100.0;
    for (std::size_t i = 0, n = rng() % 3000; i < n; ++i) {
      if (rng() % 2 == 0) price += (static_cast<double>(rng() % 21) - 10.0) * 0.1;
      const double qty = rng() % 40 ? static_cast<double>(rng() % 1000) / 7.0 : pick(rng, specials);
      d.trades.push_back({static_cast<int64_t>(i), rng() % 50 ? price : pick(rng, specials), qty,
                          rng() % 2 ? TradeSide::Buy : TradeSide::Sell});
    }
    expect_model({XrayPanel::Footprint{price_bin, 1}}, d, model_footprint(d, price_bin));
  }
}

// More distinct prices than the footprint remembers bins for, in an order
// that keeps sending them back and forth between the same remembered slots.
TEST(Footprint, ManyDistinctPricesMatchModel) {
  for (uint64_t seed = 0; seed < 20; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    std::vector<double> pool;
    for (std::size_t i = 0, n = 1 + rng() % 12000; i < n; ++i) {
      pool.push_back(seed % 2 ? static_cast<double>(rng() % 100000) / 10.0
                              : std::bit_cast<double>(rng()));
    }
    WindowData d;
    for (std::size_t i = 0; i < 6000; ++i) {
      d.trades.push_back({static_cast<int64_t>(i), pool[rng() % pool.size()],
                          static_cast<double>(rng() % 1000) / 7.0,
                          rng() % 2 ? TradeSide::Buy : TradeSide::Sell});
    }
    for (const double price_bin : {0.5, 1.0, 7.0}) {
      expect_model({XrayPanel::Footprint{price_bin, 1}}, d, model_footprint(d, price_bin));
    }
  }
}

// Books of four shapes: few levels on and next to the level edges, with
// zeros of both signs, NaNs and infinities (0); long books, a third of their
// prices far off the grid and runs of events wholly off it (1); wide books of thousands of prices
// set and removed (2); deep levels of hundreds of prices each, bids and asks drawn from one pool so
// that the sides cross, events of up to a hundred levels and snapshots amid the diffs of a bucket,
// half of them with quantities of three decimals, whose cells the level sums certify (3).
std::vector<BookEvent> random_book(std::mt19937_64& rng, double price_bin, int64_t bucket_ms,
                                   int shape) {
  // The NaN of all bits set has the largest key there is.
  const double top_nan = std::bit_cast<double>(uint64_t{0x7FFFFFFFFFFFFFFF});
  std::vector<double> near = {-0.0, 0.0, kNaN, -kNaN, top_nan, 1e-12, -1e-12};
  for (int m = -8; m <= 8; ++m)
    near.insert(near.end(), {m * price_bin / 2, m * price_bin / 2 + 1e-9});
  if (rng() % 10 == 0) near.push_back(rng() % 2 ? kInf : -kInf);
  const std::vector<double> far = {-1e6, 1e6, 5e5 + 0.25, -kInf, kInf};
  const std::vector<double> far_below = {-1e6, -5e5 - 0.25, -kInf};
  const std::vector<double> far_above = {1e6, 5e5 + 0.25, kInf};
  std::vector<double> wide;
  for (int m = -3000; m <= 3000 && shape == 2; ++m) wide.push_back(m * price_bin / 2);
  for (int m = -2000; m <= 2000 && shape == 3; ++m) wide.push_back(100 + m * 0.01);
  const std::vector<double> qtys = {0.0, -0.0, 1.0, 2.5, 0.1, 0.2, kNaN, 1e-9, -1.0, 3.3333333};
  const bool decimals = shape == 3 && rng() % 2 == 0;
  const std::size_t count = shape == 0 ? 1 + rng() % 25 : 100 + rng() % 100;
  const std::size_t most = shape == 0 || shape == 1 ? 5 : shape == 3 && rng() % 4 == 0 ? 100 : 60;
  // Long books sometimes crowd many events into a bucket, so that whole
  // blocks of them lie inside one.
  const int64_t max_step = shape == 0 && rng() % 2   ? bucket_ms * 3
                           : shape == 1 && rng() % 2 ? bucket_ms / 40
                                                     : bucket_ms / 2;
  const int64_t start = random_start(rng, bucket_ms, static_cast<int64_t>(count) * max_step);
  std::vector<BookEvent> events;
  std::size_t far_run = 0;  // events left whose prices are all far
  for (const int64_t ts : random_times(rng, count, start, max_step)) {
    const bool snapshot = rng() % (shape == 0 ? 5 : 40) == 0;
    BookEvent e{ts, snapshot ? BookEventKind::Snapshot : BookEventKind::Diff, {}, {}};
    if (shape == 1 && far_run == 0 && rng() % 8 == 0) far_run = 1 + rng() % 70;
    far_run -= far_run > 0 ? 1 : 0;
    for (LevelList* side : {&e.bids, &e.asks}) {
      // Far runs keep their bids below the grid and their asks above it,
      // so that the top of the book, and the grid, stay near.
      const std::vector<double>& far_side = side == &e.bids ? far_below : far_above;
      for (std::size_t j = rng() % (shape >= 2 && snapshot ? 2000 : most); j > 0; --j) {
        const std::vector<double>& from = shape >= 2                     ? wide
                                          : shape == 1 && far_run > 0    ? far_side
                                          : shape == 1 && rng() % 3 == 0 ? far
                                                                         : near;
        side->push_back({pick(rng, from),
                         decimals ? static_cast<double>(rng() % 9000) / 1000 : pick(rng, qtys)});
      }
    }
    events.push_back(std::move(e));
  }
  return events;
}

// Most windows come indexed as a load indexes the stored book, starting
// anywhere in a block of it, so that replays find snapshots from the index
// and pass over blocks that miss the grid; the rest read every event.
void random_index(std::mt19937_64& rng, WindowData& d) {
  if (rng() % 4 == 0) return;
  const std::size_t before = rng() % kBookBlockEvents;
  std::vector<BookEvent> stored(before, BookEvent{0, BookEventKind::Diff, {}, {}});
  stored.insert(stored.end(), d.book.begin(), d.book.end());
  d.book_blocks = index_book_events(stored);
  d.book.assign(stored.begin() + static_cast<std::ptrdiff_t>(before), stored.end());
  d.book_at = before;
}

TEST(BookHeatmap, MatchesFullScanModel) {
  const std::vector<double> bins = {0.5, 1.0, 0.1, 0.3, 0.25, 1e-9, 3e-8, 7.0, 1e308};
  const std::vector<int64_t> widths = {1, 7, 100, 1000, 5000};
  for (uint64_t seed = 0; seed < 3000; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const int shape = seed % 100 == 0 ? 2 : seed % 100 == 50 ? 3 : seed % 10 == 0 ? 1 : 0;
    const double price_bin = shape == 0   ? pick(rng, bins)
                             : shape == 3 ? pick(rng, std::vector<double>{5.0, 2.5, 1.0})
                                          : pick(rng, std::vector<double>{0.5, 0.1, 0.25, 1.0});
    const int64_t bucket_ms = shape == 0 ? pick(rng, widths) : 1 + static_cast<int64_t>(rng() % 50);
    const auto depth = static_cast<uint32_t>(1 + rng() % 12);
    WindowData d;
    d.book = random_book(rng, price_bin, bucket_ms, shape);
    random_index(rng, d);
    expect_model({XrayPanel::BookHeatmap{price_bin, bucket_ms, depth}}, d,
                 model_heatmap(d, price_bin, depth, bucket_ms));
  }
}

// Grids deeper than the heatmap keeps level ranges for (2^20) work each
// range out when asked: the same cells as the model. Wide buckets keep the
// rows few.
TEST(BookHeatmap, DeepGridMatchesModel) {
  for (uint64_t seed = 0; seed < 2; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const double price_bin = pick(rng, std::vector<double>{0.5, 1e-9, 0.1});
    const int64_t bucket_ms = 1000000;
    WindowData d;
    d.book = random_book(rng, price_bin, bucket_ms, 0);
    random_index(rng, d);
    const uint32_t depth = (uint32_t{1} << 20) + 1;
    expect_model({XrayPanel::BookHeatmap{price_bin, bucket_ms, depth}}, d,
                 model_heatmap(d, price_bin, depth, bucket_ms));
  }
}

// A block whose highest price is the grid's lowest edge reaches the grid:
// passing over it would lose the bid at 98. The window starts anywhere in a
// block of the stored list.
TEST(BookHeatmap, BlockOnTheGridsEdgeIsReplayed) {
  WindowData d;
  d.book.push_back({0, BookEventKind::Snapshot, {{99.0, 1.0}}, {{101.0, 1.0}}});
  for (int64_t i = 1; i < 3 * static_cast<int64_t>(kBookBlockEvents); ++i) {
    d.book.push_back({i, BookEventKind::Diff, {{i == 40 ? 98.0 : 50.0, 5.0}}, {}});
  }
  const XrayPanel heatmap{XrayPanel::BookHeatmap{1.0, 1000, 4}};
  const std::string unindexed = encode_frame({"S", 0, {compute_panel(heatmap, d.window())}});
  EXPECT_NE(unindexed.find("[5.0,1.0,-0.0,1.0]"), std::string::npos) << unindexed;
  for (const std::size_t before : {0, 7, 31}) {
    std::vector<BookEvent> stored(before, BookEvent{-1, BookEventKind::Diff, {}, {}});
    stored.insert(stored.end(), d.book.begin(), d.book.end());
    WindowData indexed = d;
    indexed.book_blocks = index_book_events(stored);
    indexed.book.assign(stored.begin() + static_cast<std::ptrdiff_t>(before), stored.end());
    indexed.book_at = before;
    EXPECT_EQ(encode_frame({"S", 0, {compute_panel(heatmap, indexed.window())}}), unindexed)
        << before;
  }
}

// Split into parts over bucket ranges, run in any order, the heatmap is the
// one made in a single pass, for every part count: each part's replay from
// the last snapshot before it must leave the book the full replay leaves.
TEST(BookHeatmap, PartsMatchOnePass) {
  std::size_t split = 0;  // windows that did come in more than one part
  for (uint64_t seed = 0; seed < 600; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const int shape = seed % 20 == 0 ? 2 : seed % 20 == 10 ? 3 : seed % 2;
    const double price_bin = pick(rng, std::vector<double>{0.5, 0.1, 0.25, 1.0});
    const int64_t bucket_ms = 1 + static_cast<int64_t>(rng() % 50);
    const XrayPanel::BookHeatmap config{price_bin, bucket_ms,
                                        static_cast<uint32_t>(1 + rng() % 12)};
    WindowData d;
    d.book = random_book(rng, price_bin, bucket_ms, shape);
    random_index(rng, d);
    const std::string one_pass = encode_frame({"S", 0, {compute_book_heatmap(config, d.window())}});
    for (const std::size_t parts : {2, 3, 7}) {
      BookHeatmapJob job(config, d.window(), parts, 1);
      EXPECT_LE(job.parts(), parts);
      split += job.parts() > 1 ? 1 : 0;
      for (std::size_t i = job.parts(); i > 0; --i) job.run_part(i - 1);
      ASSERT_EQ(encode_frame({"S", 0, {job.take()}}), one_pass) << parts << " parts";
    }
  }
  EXPECT_GT(split, 600u);
}

TEST(LiquidationMap, MatchesOneStableSort) {
  // Runs of one ts shorter and longer than an insertion sort takes, and
  // windows not in ts order at all.
  const std::vector<double> prices = {-0.0, 0.0, kNaN, -kNaN, 1.0, 1.4, 1.6, 2.0, -1.0, kInf};
  for (uint64_t seed = 0; seed < 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const std::size_t count = rng() % 400;
    std::vector<int64_t> times = random_times(rng, count, -50, static_cast<int64_t>(rng() % 3));
    if (seed % 10 == 0) std::shuffle(times.begin(), times.end(), rng);
    WindowData d;
    for (std::size_t i = 0; i < count; ++i) {
      d.liquidations.push_back({times[i], pick(rng, prices), static_cast<double>(i) / 3,
                                rng() % 2 ? LiquidationSide::Long : LiquidationSide::Short});
    }
    expect_model({XrayPanel::LiquidationMap{1.0}}, d, model_liquidations(d, 1.0));
  }
}

TEST(FundingOiDivergence, MatchesPerBucketModel) {
  const std::vector<int64_t> widths = {1, 10, 1000, 60000};
  for (uint64_t seed = 0; seed < 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const int64_t bucket_ms = pick(rng, widths);
    const int64_t start = random_start(rng, bucket_ms, 40 * bucket_ms);
    const auto times = [&] {
      return random_times(rng, rng() % 20, start + static_cast<int64_t>(rng() % 2) * bucket_ms,
                          bucket_ms * 2 - 1 + static_cast<int64_t>(rng() % 2));
    };
    WindowData d;
    for (int64_t ts : times()) d.funding.push_back({ts, static_cast<double>(rng() % 1000) * 1e-7});
    for (int64_t ts : times()) d.oi.push_back({ts, static_cast<double>(rng() % 1000) / 3.0});
    for (int64_t ts : times())
      d.candles.push_back({ts, 0, 0, 0, static_cast<double>(rng() % 1000) / 7.0, 0});
    expect_model({XrayPanel::FundingOiDivergence{bucket_ms}}, d, model_series(d, bucket_ms));
  }
}

}  // namespace
}  // namespace xray
