// Times the four panel computations on generated market data.
//
//   bench_panels [DIR]
//
// With DIR, the generated data and the heatmap outputs are written there as
// raw little-endian arrays, for bench_panels_numpy.py to time numpy and plain
// Python versions on the same data. Each figure is the median of several runs;
// the machine-readable lines start with "RESULT".
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "market_data.h"
#include "panel_market_data.h"
#include "panels/book_state.h"
#include "panels/panel_common.h"
#include "panels/panels.h"

namespace xray::bench {
namespace {

struct Timing {
  double median_ms;
  double min_ms;
};

// Processor time of this thread: the machine is shared, and time spent
// waiting for a core is not the work's.
double thread_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

template <class Work>
Timing time_runs(int runs, Work work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const double start = thread_ms();
    work();
    times.push_back(thread_ms() - start);
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times.front()};
}

void report(const char* name, Timing t, double items, const char* unit) {
  std::printf("RESULT %s %.3f %.3f\n", name, t.median_ms, t.min_ms);
  std::printf("  %-24s median %8.2f ms (%6.2f ns/%s)   best %8.2f ms\n", name, t.median_ms,
              t.median_ms * 1e6 / items, unit, t.min_ms);
}

class Writer {
 public:
  explicit Writer(std::string dir) : dir_(std::move(dir)) {}

  template <class T, class Field>
  void column(const std::string& name, const std::vector<T>& rows, Field field) const {
    if (dir_.empty()) return;
    using Value = std::decay_t<decltype(field(rows.front()))>;
    std::vector<Value> values;
    values.reserve(rows.size());
    for (const T& row : rows) values.push_back(field(row));
    write(name, values.data(), values.size() * sizeof(Value));
  }

  void write(const std::string& name, const void* data, std::size_t bytes) const {
    if (dir_.empty()) return;
    std::ofstream(dir_ + "/" + name, std::ios::binary)
        .write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
  }

 private:
  std::string dir_;
};

// The footprint's description grouped through a balanced ordered map; kept
// here to show what the hashed grouping gains.
std::size_t footprint_with_ordered_map(const std::vector<Trade>& trades, double price_bin) {
  struct TotalLess {
    bool operator()(double a, double b) const { return total_order_key(a) < total_order_key(b); }
  };
  std::map<double, std::pair<double, double>, TotalLess> bins;
  for (const Trade& t : trades) {
    auto& sums = bins.try_emplace(bin_price(t.price, price_bin), 0.0, 0.0).first->second;
    (t.side == TradeSide::Buy ? sums.first : sums.second) += t.qty;
  }
  return bins.size();
}

void bench_footprint(const Writer& out) {
  const std::vector<Trade> trades = make_trades(1'000'000, 11);
  out.column("trade_ts.i64", trades, [](const Trade& t) { return t.ts; });
  out.column("trade_price.f64", trades, [](const Trade& t) { return t.price; });
  out.column("trade_qty.f64", trades, [](const Trade& t) { return t.qty; });
  out.column("trade_side.u8", trades, [](const Trade& t) { return static_cast<uint8_t>(t.side); });
  const DatasetWindow window{.trades = trades};
  std::size_t bins = 0;
  const Timing ms = time_runs(9, [&] {
    const PanelData p = compute_footprint({0.5, 60000}, window);
    bins = std::get<PanelData::Footprint>(p.data).price_bins.size();
  });
  std::printf("footprint, %zu trades, price_bin 0.5, %zu bins\n", trades.size(), bins);
  report("footprint", ms, static_cast<double>(trades.size()), "trade");
  const Timing map_ms = time_runs(5, [&] { bins = footprint_with_ordered_map(trades, 0.5); });
  report("footprint_ordered_map", map_ms, static_cast<double>(trades.size()), "trade");
}

// One day of book events under `prefix`: replay alone, then 1-minute
// heatmaps of 40 and 400 levels.
void bench_heatmap(const Writer& out, const std::string& prefix, const char* what,
                   const std::vector<BookEvent>& book) {
  std::size_t level_count = 0;
  for (const BookEvent& e : book) level_count += e.bids.size() + e.asks.size();
  out.column(prefix + "_ev_ts.i64", book, [](const BookEvent& e) { return e.ts; });
  out.column(prefix + "_ev_kind.u8", book,
             [](const BookEvent& e) { return static_cast<uint8_t>(e.kind); });
  out.column(prefix + "_ev_nb.u32", book,
             [](const BookEvent& e) { return uint32_t(e.bids.size()); });
  out.column(prefix + "_ev_na.u32", book,
             [](const BookEvent& e) { return uint32_t(e.asks.size()); });
  std::vector<PriceLevel> levels;
  for (const BookEvent& e : book) {
    levels.insert(levels.end(), e.bids.begin(), e.bids.end());
    levels.insert(levels.end(), e.asks.begin(), e.asks.end());
  }
  out.column(prefix + "_lv_price.f64", levels, [](const PriceLevel& l) { return l.price; });
  out.column(prefix + "_lv_qty.f64", levels, [](const PriceLevel& l) { return l.qty; });
  std::printf("book heatmap, %s: %zu events, %zu level updates, 1-minute buckets\n", what,
              book.size(), level_count);

  const Timing top_ms = time_runs(5, [&] {
    if (!final_book_top(book)) std::puts("");
  });
  report((prefix + "_top").c_str(), top_ms, static_cast<double>(level_count), "level");

  // Indexed as a load indexes the stored book: blocks off the grid are
  // passed over, bucket ends found by search.
  std::vector<BookEvent> stored = book;
  const std::vector<KeyRange> blocks = index_book_events(stored);
  const DatasetWindow indexed{.book = stored, .book_blocks = blocks};
  const Timing indexed_ms = time_runs(7, [&] {
    if (compute_book_heatmap({0.5, 60000, 40}, indexed).data.index() == 0) std::puts("");
  });
  report((prefix + "_heatmap_40_indexed").c_str(), indexed_ms, static_cast<double>(level_count),
         "level");

  const DatasetWindow window{.book = book};
  for (const uint32_t depth : {40u, 400u}) {
    PanelData panel;
    const Timing ms = time_runs(7, [&] {
      panel = compute_book_heatmap({0.5, 60000, depth}, window);
    });
    const auto& heatmap = std::get<PanelData::BookHeatmap>(panel.data);
    const std::string name = prefix + "_heatmap_" + std::to_string(depth);
    report(name.c_str(), ms, static_cast<double>(level_count), "level");
    out.write(name + "_intensity.f64", heatmap.intensity.data(),
              heatmap.intensity.size() * sizeof(double));
    out.write(name + "_price.f64", heatmap.price.data(), heatmap.price.size() * sizeof(double));
  }
}

void bench_heatmaps(const Writer& out) {
  bench_heatmap(out, "walk", "one day, steady 50-level book, snapshot hourly",
                make_book(86'400'000, 50, 12));
  // The day of the frame benchmarks: a snapshot every minute and diffs of
  // three levels a side drawn around a fast-moving mid.
  MarketShape shape;
  shape.duration_ms = 86'400'000;
  bench_heatmap(out, "market", "one day of the frame benchmarks' market", make_market(shape).book);
}

void bench_series(const Writer& out) {
  std::vector<FundingEvent> funding;
  std::vector<OiEvent> oi;
  std::vector<Candle> candles;
  make_series(7 * 86'400'000LL, 13, funding, oi, candles);
  out.column("funding_ts.i64", funding, [](const FundingEvent& f) { return f.ts; });
  out.column("funding_rate.f64", funding, [](const FundingEvent& f) { return f.rate; });
  out.column("oi_ts.i64", oi, [](const OiEvent& o) { return o.ts; });
  out.column("oi_value.f64", oi, [](const OiEvent& o) { return o.oi; });
  out.column("candle_ts.i64", candles, [](const Candle& c) { return c.ts; });
  out.column("candle_close.f64", candles, [](const Candle& c) { return c.close; });
  const DatasetWindow window{.candles = candles, .funding = funding, .oi = oi};
  std::size_t buckets = 0;
  const Timing ms = time_runs(9, [&] {
    const PanelData p = compute_funding_oi_divergence({1000}, window);
    buckets = std::get<PanelData::FundingOiDivergence>(p.data).time.size();
  });
  std::printf("funding / open interest, one week of 1-minute records, %zu 1-second buckets\n",
              buckets);
  report("funding_oi", ms, static_cast<double>(buckets), "bucket");
}

void bench_liquidations(const Writer& out) {
  const std::vector<LiquidationEvent> liqs = make_liquidations(1'000'000, 14);
  out.column("liq_ts.i64", liqs, [](const LiquidationEvent& l) { return l.ts; });
  out.column("liq_price.f64", liqs, [](const LiquidationEvent& l) { return l.price; });
  out.column("liq_qty.f64", liqs, [](const LiquidationEvent& l) { return l.qty; });
  out.column("liq_side.u8", liqs,
             [](const LiquidationEvent& l) { return static_cast<uint8_t>(l.side); });
  const DatasetWindow window{.liquidations = liqs};
  const Timing ms = time_runs(9, [&] { (void)compute_liquidation_map({0.5}, window); });
  std::printf("liquidation map, %zu liquidations, price_bin 0.5\n", liqs.size());
  report("liquidation_map", ms, static_cast<double>(liqs.size()), "event");
}

}  // namespace
}  // namespace xray::bench

int main(int argc, char** argv) {
  const xray::bench::Writer out(argc > 1 ? argv[1] : "");
  xray::bench::bench_footprint(out);
  xray::bench::bench_heatmaps(out);
  xray::bench::bench_series(out);
  xray::bench::bench_liquidations(out);
  return 0;
}
