// Generated market data for the panel benchmarks: one instrument, a random
// walk around 30000 with tick 0.1.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "model/dataset.h"

namespace xray::bench {

inline double tick_price(int64_t ticks) { return static_cast<double>(ticks) / 10.0; }

// Trades over one day; runs of trades at one price, as on a real tape.
inline std::vector<Trade> make_trades(std::size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> size(2.0);
  std::vector<Trade> trades;
  trades.reserve(count);
  int64_t ticks = 300000;
  const int64_t day_ms = 86400000;
  for (std::size_t i = 0; i < count; ++i) {
    if (rng() % 3 == 0) ticks += static_cast<int64_t>(rng() % 5) - 2;
    const auto ts = static_cast<int64_t>(i * static_cast<uint64_t>(day_ms) / count);
    trades.push_back({ts, tick_price(ticks), std::round(size(rng) * 1000) / 1000,
                      rng() % 2 == 0 ? TradeSide::Buy : TradeSide::Sell});
  }
  return trades;
}

// A book of `levels` per side: a snapshot every hour and a diff every
// 100 ms. Diffs change a few quantities near the top; when the mid moves a
// tick, the crossed level leaves one side, a new one joins the other, and
// the far ends are trimmed and refilled.
inline std::vector<BookEvent> make_book(int64_t duration_ms, int levels, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> size(0.5);
  const auto qty = [&] { return std::round(size(rng) * 1000) / 1000 + 0.001; };
  std::map<int64_t, double> bids;  // ticks -> qty
  std::map<int64_t, double> asks;
  int64_t mid = 300000;  // the best ask; the best bid is one tick lower
  for (int i = 1; i <= levels; ++i) {
    bids[mid - i] = qty();
    asks[mid + i - 1] = qty();
  }
  std::vector<BookEvent> events;
  for (int64_t ts = 0; ts < duration_ms; ts += 100) {
    BookEvent e{ts, BookEventKind::Diff, {}, {}};
    if (ts % 3600000 == 0) {
      e.kind = BookEventKind::Snapshot;
      for (auto it = bids.rbegin(); it != bids.rend(); ++it) {
        e.bids.push_back({tick_price(it->first), it->second});
      }
      for (const auto& [t, q] : asks) e.asks.push_back({tick_price(t), q});
      events.push_back(std::move(e));
      continue;
    }
    const auto set = [&](std::map<int64_t, double>& side, LevelList& out, int64_t t, double q) {
      if (q == 0.0) {
        side.erase(t);
      } else {
        side[t] = q;
      }
      out.push_back({tick_price(t), q});
    };
    const uint64_t move = rng() % 20;
    if (move == 0) {  // up a tick: the best ask is taken
      set(asks, e.asks, mid, 0.0);
      set(bids, e.bids, mid, qty());
      set(bids, e.bids, mid - levels, 0.0);
      set(asks, e.asks, mid + levels, qty());
      ++mid;
    } else if (move == 1) {  // down a tick: the best bid is taken
      set(bids, e.bids, mid - 1, 0.0);
      set(asks, e.asks, mid - 1, qty());
      set(asks, e.asks, mid - 1 + levels, 0.0);
      set(bids, e.bids, mid - 1 - levels, qty());
      --mid;
    }
    for (uint64_t n = 1 + rng() % 3; n > 0; --n) {
      const auto depth = static_cast<int64_t>(std::min<uint64_t>(rng() % 12, rng() % levels));
      if (rng() % 2 == 0) {
        set(bids, e.bids, mid - 1 - depth, qty());
      } else {
        set(asks, e.asks, mid + depth, qty());
      }
    }
    events.push_back(std::move(e));
  }
  return events;
}

// One record per minute of each series over the span.
inline void make_series(int64_t duration_ms, uint64_t seed, std::vector<FundingEvent>& funding,
                        std::vector<OiEvent>& oi, std::vector<Candle>& candles) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> step(0.0, 1.0);
  double rate = 0.0001;
  double open_interest = 50000;
  double close = 30000;
  for (int64_t ts = 0; ts < duration_ms; ts += 60000) {
    rate += step(rng) * 1e-6;
    open_interest += step(rng) * 20;
    close = std::round((close + step(rng) * 5) * 10) / 10;
    funding.push_back({ts + static_cast<int64_t>(rng() % 1000), rate});
    oi.push_back({ts + static_cast<int64_t>(rng() % 1000), open_interest});
    candles.push_back({ts, close, close + 1, close - 1, close, 10});
  }
}

// Liquidations in bursts: many share a millisecond, in no particular order.
inline std::vector<LiquidationEvent> make_liquidations(std::size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> size(1.0);
  std::vector<LiquidationEvent> out;
  out.reserve(count);
  int64_t ts = 0;
  int64_t ticks = 300000;
  for (std::size_t i = 0; i < count; ++i) {
    if (rng() % 4 == 0) ts += static_cast<int64_t>(rng() % 400);
    ticks += static_cast<int64_t>(rng() % 41) - 20;
    out.push_back({ts, tick_price(ticks), size(rng),
                   rng() % 2 == 0 ? LiquidationSide::Long : LiquidationSide::Short});
  }
  return out;
}

}  // namespace xray::bench
