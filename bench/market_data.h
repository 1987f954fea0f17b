// bench/market_data.h: a realistic day of one instrument for the benchmarks:
// a random walk around 30000 with tick 0.1, trades, 1-minute candles, a
// 50-level book (a snapshot every minute, diffs every 100 ms), funding, open
// interest and liquidations, every list sorted by ts.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>

#include "model/dataset.h"

namespace xray::bench {

struct MarketShape {
  int64_t start_ts = 1'700'000'000'000;  // ms
  int64_t duration_ms = 3'600'000;
  double trades_per_second = 20.0;
  uint64_t seed = 7;
};

inline double to_tick(double price) { return std::round(price * 10.0) / 10.0; }

inline void add_snapshot(Dataset& d, int64_t ts, double mid, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> qty(0.01, 5.0);
  BookEvent e{ts, BookEventKind::Snapshot, {}, {}};
  for (int level = 1; level <= 50; ++level) {
    e.bids.push_back({to_tick(mid - 0.1 * level), std::round(qty(rng) * 1000) / 1000});
    e.asks.push_back({to_tick(mid + 0.1 * level), std::round(qty(rng) * 1000) / 1000});
  }
  d.book.push_back(std::move(e));
}

// A few levels near the top change per diff; a zero quantity removes a level.
inline void add_diff(Dataset& d, int64_t ts, double mid, std::mt19937_64& rng) {
  std::uniform_int_distribution<int> level(1, 50);
  std::uniform_real_distribution<double> qty(0.0, 5.0);
  BookEvent e{ts, BookEventKind::Diff, {}, {}};
  for (int k = 0; k < 3; ++k) {
    const double q = rng() % 8 == 0 ? 0.0 : std::round(qty(rng) * 1000) / 1000;
    e.bids.push_back({to_tick(mid - 0.1 * level(rng)), q});
    e.asks.push_back({to_tick(mid + 0.1 * level(rng)), q});
  }
  d.book.push_back(std::move(e));
}

inline Dataset make_market(const MarketShape& shape) {
  Dataset d;
  std::mt19937_64 rng(shape.seed);
  std::exponential_distribution<double> gap_ms(shape.trades_per_second / 1000.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> step(0.0, 0.6);
  const int64_t end_ts = shape.start_ts + shape.duration_ms;
  double mid = 30000.0;
  double t = static_cast<double>(shape.start_ts);
  int64_t next_book = shape.start_ts;
  int64_t next_minute = shape.start_ts;
  Candle candle{shape.start_ts, mid, mid, mid, mid, 0.0};
  double oi = 50000.0;

  while (true) {
    t += gap_ms(rng);
    const auto ts = static_cast<int64_t>(t);
    if (ts >= end_ts) break;
    for (; next_book <= ts; next_book += 100) {
      if ((next_book - shape.start_ts) % 60'000 == 0) {
        add_snapshot(d, next_book, mid, rng);
      } else {
        add_diff(d, next_book, mid, rng);
      }
    }
    for (; next_minute <= ts; next_minute += 60'000) {
      if (next_minute > shape.start_ts) d.candles.push_back(candle);
      candle = Candle{next_minute, mid, mid, mid, mid, 0.0};
      oi = std::round((oi + step(rng) * 40.0) * 1000) / 1000;
      d.oi.push_back({next_minute, oi});
      if ((next_minute - shape.start_ts) % 3'600'000 == 0) {
        d.funding.push_back({next_minute, std::round(step(rng) * 1e6) / 1e10});
      }
    }
    mid = to_tick(mid + 0.1 * std::round(step(rng)));
    const double qty = std::round(-std::log(unit(rng) + 1e-12) * 200.0) / 1000.0 + 0.001;
    const bool buy = rng() % 2 == 0;
    d.trades.push_back(
        {ts, to_tick(mid + (buy ? 0.05 : -0.05)), qty, buy ? TradeSide::Buy : TradeSide::Sell});
    candle.high = std::max(candle.high, mid);
    candle.low = std::min(candle.low, mid);
    candle.close = mid;
    candle.volume += qty;
    if (rng() % 400 == 0) {
      d.liquidations.push_back({ts, to_tick(mid + step(rng) * 5.0), qty * 10.0,
                                rng() % 2 ? LiquidationSide::Long : LiquidationSide::Short});
    }
  }
  return d;
}

// Seconds since an arbitrary start, for timing loops.
inline double now_seconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

}  // namespace xray::bench
