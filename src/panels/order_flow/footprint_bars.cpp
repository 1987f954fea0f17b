// src/panels/order_flow/footprint_bars.cpp: cells and bars in one pass over
// the trades, then the profile columns that look across bars.
#include "panels/order_flow/footprint_bars.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "core/cancel.h"
#include "core/total_order.h"
#include "panels/order_flow/value_area.h"
#include "panels/panel_common.h"
#include "panels/panel_limits.h"

namespace xray {
namespace {

constexpr uint64_t kNumbersPerCell = 8;
constexpr uint64_t kNumbersPerBar = 20;
constexpr uint64_t kNumbersPerRun = 5;

// The same words however the work was split.
XrayError over_budget() {
  return XrayError::data("order flow would hold more than the limit of " +
                         std::to_string(kMaxFrameNumbers) +
                         " numbers: use a shorter window, longer bars or a larger tick");
}

// Trades between two polls.
constexpr std::size_t kChunk = 16384;

// One bar in one pass over its trades (a window's trades are far more than
// the caches hold, so a second pass would cost as much again): each trade's
// level, the bar's sums, and the per-level sums in an array over the levels
// met so far, which grows as the bar reaches new ones. A bar whose levels
// lie far apart for its trades sorts its trades by level instead. Both add
// each level's trades in trade order, so they give the same bits.
class BarPass {
 public:
  std::size_t count = 0;                        // trades in the bar
  int64_t open = 0, close = 0, lo = 0, hi = 0;  // levels
  double buy = 0.0, sell = 0.0, volume = 0.0;   // by the aggressor's side, and all

  // Appends the cells of the bar that starts the trades and holds those up
  // to last_ts (the end is found on the way: a search would wait on memory
  // at every step). Gives the index of a trade without a level, if any;
  // sets cancelled when a poll says so.
  std::optional<std::size_t> run(std::span<const Trade> trades, int64_t last_ts, const Tick& tick,
                                 CancelPoll& cancel, bool& cancelled, FootprintBars& out) {
    bool dense = true;
    int64_t level = 0;
    if (!tick.level_of(trades[0].price, level)) return 0;
    if (sums_.empty()) sums_.resize(1024);
    if (level < base_ || level - base_ >= static_cast<int64_t>(sums_.size())) {
      base_ = level - static_cast<int64_t>(sums_.size() / 2);
    }
    // Locals, not members: a store into the sums could alias a member, which
    // would then go through memory on every trade.
    const double size = tick.size;
    const double inverse = 1.0 / size;
    int64_t low = level;
    int64_t high = level;
    double b = 0.0;
    double s = 0.0;
    double v = 0.0;
    Sums* sums = sums_.data();
    int64_t base = base_;
    open = level;
    std::size_t i = 0;
    bool ended = false;
    for (std::size_t from = 0; from < trades.size() && !ended; from += kChunk) {
      if (cancel.now()) {
        cancelled = true;
        return std::nullopt;
      }
      const std::size_t to = std::min(trades.size(), from + kChunk);
      for (i = from; i < to; ++i) {
        const Trade& t = trades[i];
        if (t.ts > last_ts) {
          ended = true;
          break;
        }
        if (!Tick::level_of(t.price, size, inverse, level)) return i;
        if (level < low || level > high) {
          const int64_t new_lo = std::min(low, level);
          const int64_t new_hi = std::max(high, level);
          // Far apart for the trades so far: sorting them costs less.
          if (dense && new_hi - new_lo >= static_cast<int64_t>(2 * i + 256)) dense = false;
          if (dense) {
            reach(low, high, new_lo, new_hi);
            sums = sums_.data();
            base = base_;
          }
          low = new_lo;
          high = new_hi;
        }
        // Selected rather than indexed: the side is a coin toss, and an
        // indexed sum waits on the store before it.
        const bool is_buy = t.side == TradeSide::Buy;
        b += is_buy ? t.qty : 0.0;
        s += is_buy ? 0.0 : t.qty;
        v += t.qty;
        if (dense) {
          Sums& cell = sums[level - base];
          cell.side[static_cast<int>(t.side)] += t.qty;
          ++cell.count;
        }
      }
    }
    count = i;
    buy = b;
    sell = s;
    volume = v;
    close = level;  // the loop stops before it works out the level of a later bar's trade
    lo = low;
    hi = high;
    if (dense) {
      for (int64_t l = lo; l <= hi; ++l) {
        Sums& cell = sums_[static_cast<std::size_t>(l - base_)];
        if (cell.count != 0) emit(l, cell, out);
        cell = Sums{};
      }
    } else {
      // The array holds what the bar summed before it went sparse.
      std::fill(sums_.begin(), sums_.end(), Sums{});
      sparse(trades.first(count), tick, out);
    }
    return std::nullopt;
  }

 private:
  struct Sums {
    double side[2] = {0.0, 0.0};  // by TradeSide
    int64_t count = 0;
  };

  // Makes room for the levels [new_lo, new_hi], keeping the sums of [lo, hi].
  void reach(int64_t lo, int64_t hi, int64_t new_lo, int64_t new_hi) {
    const auto size = static_cast<int64_t>(sums_.size());
    if (new_lo >= base_ && new_hi - base_ < size) return;
    const int64_t span = new_hi - new_lo + 1;
    std::vector<Sums> wider(static_cast<std::size_t>(std::max(2 * size, 2 * span)));
    const int64_t base = new_lo - (static_cast<int64_t>(wider.size()) - span) / 2;
    for (int64_t l = lo; l <= hi; ++l) {
      wider[static_cast<std::size_t>(l - base)] = sums_[static_cast<std::size_t>(l - base_)];
    }
    sums_ = std::move(wider);
    base_ = base;
  }

  void sparse(std::span<const Trade> trades, const Tick& tick, FootprintBars& out) {
    order_.resize(trades.size());
    for (std::size_t i = 0; i < trades.size(); ++i) {
      int64_t level = 0;
      tick.level_of(trades[i].price, level);  // every one has a level by now
      order_[i] = {level, i};
    }
    std::sort(order_.begin(), order_.end());  // by level, then trade order
    for (std::size_t a = 0; a < order_.size();) {
      Sums s;
      std::size_t b = a;
      for (; b < order_.size() && order_[b].first == order_[a].first; ++b) {
        const Trade& t = trades[order_[b].second];
        s.side[static_cast<int>(t.side)] += t.qty;
        ++s.count;
      }
      emit(order_[a].first, s, out);
      a = b;
    }
  }

  static void emit(int64_t level, const Sums& s, FootprintBars& out) {
    out.level.push_back(level);
    out.ask_vol.push_back(s.side[static_cast<int>(TradeSide::Buy)]);
    out.bid_vol.push_back(s.side[static_cast<int>(TradeSide::Sell)]);
    out.trades.push_back(s.count);
  }

  std::vector<Sums> sums_;  // level base_ + i at i; all zero between bars
  int64_t base_ = 0;
  std::vector<std::pair<int64_t, std::size_t>> order_;
};

// Imbalance flags, stacked runs, POC, value area and unfinished auctions of
// the bar whose cells are [first, end).
// Returns the POC's cell.
std::size_t finish_bar(std::size_t first, std::size_t end, const OrderFlowParams& p,
                       FootprintBars& out) {
  const std::size_t bar = out.bar_ts.size() - 1;
  double total = 0.0;
  std::size_t poc = first;
  for (std::size_t j = first; j < end; ++j) {
    const int64_t level = out.level[j];
    const double ask = out.ask_vol[j];
    const double bid = out.bid_vol[j];
    const double below = j > first && out.level[j - 1] == level - 1 ? out.bid_vol[j - 1] : 0.0;
    const double above = j + 1 < end && out.level[j + 1] == level + 1 ? out.ask_vol[j + 1] : 0.0;
    out.buy_imbalance.push_back(ask > 0.0 && ask >= p.min_volume && ask >= p.ratio * below);
    out.sell_imbalance.push_back(bid > 0.0 && bid >= p.min_volume && bid >= p.ratio * above);
    const double volume = bid + ask;
    total += volume;
    if (volume > out.bid_vol[poc] + out.ask_vol[poc]) poc = j;
  }
  for (uint8_t side = 0; side < 2; ++side) {
    const std::vector<uint8_t>& flag = side == 0 ? out.buy_imbalance : out.sell_imbalance;
    for (std::size_t j = first; j < end;) {
      if (!flag[j]) {
        ++j;
        continue;
      }
      std::size_t k = j + 1;
      while (k < end && flag[k] && out.level[k] == out.level[k - 1] + 1) ++k;
      if (k - j >= p.stacked) {
        out.run_bar.push_back(static_cast<int64_t>(bar));
        out.run_side.push_back(side);
        out.run_low.push_back(out.price[j]);
        out.run_high.push_back(out.price[k - 1]);
        out.run_levels.push_back(static_cast<int64_t>(k - j));
      }
      j = k;
    }
  }
  const auto volume_at = [&](std::size_t j) {
    return out.bid_vol[first + j] + out.ask_vol[first + j];
  };
  const ValueArea va = value_area(end - first, poc - first, p.value_area * total, volume_at,
                                  [](std::size_t) { return true; });
  out.poc.push_back(out.price[poc]);
  out.va_low.push_back(out.price[first + va.lo]);
  out.va_high.push_back(out.price[first + va.hi]);
  const auto both_sides = [&](std::size_t j) {
    return out.bid_vol[j] > 0.0 && out.ask_vol[j] > 0.0;
  };
  out.unfinished_low.push_back(both_sides(first));
  out.unfinished_high.push_back(both_sides(end - 1));
  return poc;
}

// Dense indices of the distinct levels of the cells, in ascending order.
class LevelIndex {
 public:
  explicit LevelIndex(const std::vector<int64_t>& levels) {
    if (levels.empty()) return;
    const auto [lo, hi] = std::minmax_element(levels.begin(), levels.end());
    lo_ = *lo;
    if (static_cast<uint64_t>(*hi - *lo) < 4 * levels.size() + 1024) {
      size_ = static_cast<std::size_t>(*hi - *lo + 1);
      return;
    }
    distinct_ = levels;
    std::sort(distinct_.begin(), distinct_.end());
    distinct_.erase(std::unique(distinct_.begin(), distinct_.end()), distinct_.end());
    size_ = distinct_.size();
  }
  std::size_t size() const { return size_; }
  std::size_t of(int64_t level) const {
    if (distinct_.empty()) return static_cast<std::size_t>(level - lo_);
    return static_cast<std::size_t>(std::lower_bound(distinct_.begin(), distinct_.end(), level) -
                                    distinct_.begin());
  }
  int64_t level(std::size_t index) const {
    return distinct_.empty() ? lo_ + static_cast<int64_t>(index) : distinct_[index];
  }

 private:
  int64_t lo_ = 0;
  std::size_t size_ = 0;
  std::vector<int64_t> distinct_;  // empty when the span itself is dense
};

// Naked POCs and the developing profile, over the cells of all bars.
Status profile_columns(const OrderFlowParams& p, FootprintBars& out) {
  const std::vector<std::size_t>& poc_cells = out.poc_cells;
  const std::size_t bars = out.bar_ts.size();
  const LevelIndex index(out.level);
  std::vector<std::size_t> cell_index(out.level.size());
  for (std::size_t j = 0; j < out.level.size(); ++j) cell_index[j] = index.of(out.level[j]);

  std::vector<int64_t> last_bar(index.size(), -1);
  for (std::size_t j = 0; j < out.level.size(); ++j) last_bar[cell_index[j]] = out.cell_bar[j];
  std::vector<double> volume(p.developing ? index.size() : 0, 0.0);
  std::vector<uint8_t> seen(p.developing ? index.size() : 0, 0);
  std::size_t j = 0;
  std::size_t poc = 0;
  CancelPoll cancel;
  for (std::size_t bar = 0; bar < bars; ++bar) {
    if (cancel.due()) return cancelled_error();
    out.naked_poc.push_back(last_bar[cell_index[poc_cells[bar]]] == static_cast<int64_t>(bar));
    if (!p.developing) continue;
    for (; j < out.level.size() && out.cell_bar[j] == static_cast<int64_t>(bar); ++j) {
      const std::size_t i = cell_index[j];
      seen[i] = 1;
      volume[i] += out.bid_vol[j] + out.ask_vol[j];
    }
    // Volumes may fall (a negative quantity) as well as rise: look again.
    double total = 0.0;
    bool any = false;
    for (std::size_t i = 0; i < index.size(); ++i) {
      if (!seen[i]) continue;
      total += volume[i];
      if (!any || volume[i] > volume[poc]) poc = i;
      any = true;
    }
    const ValueArea va = value_area(
        index.size(), poc, p.value_area * total, [&](std::size_t i) { return volume[i]; },
        [&](std::size_t i) { return seen[i] != 0; });
    out.developing_poc.push_back(out.tick.price(index.level(poc)));
    out.developing_va_low.push_back(out.tick.price(index.level(va.lo)));
    out.developing_va_high.push_back(out.tick.price(index.level(va.hi)));
  }
  return {};
}

}  // namespace

uint64_t FootprintBars::numbers() const {
  return level.size() * kNumbersPerCell + bar_ts.size() * kNumbersPerBar +
         run_bar.size() * kNumbersPerRun;
}

Result<Tick> order_flow_tick(std::span<const Trade> trades, const OrderFlowParams& p) {
  if (p.bar_ms && *p.bar_ms <= 0) return XrayError::bad_spec("bar_ms must be positive");
  if (!(p.ratio >= 0.0)) return XrayError::bad_spec("ratio must be at least 0");
  if (p.stacked < 1) return XrayError::bad_spec("stacked must be at least 1");
  if (!(p.value_area > 0.0 && p.value_area <= 1.0)) {
    return XrayError::bad_spec("value_area must lie in (0, 1]");
  }
  return p.tick ? Tick::of(*p.tick) : infer_tick(trades);
}

Result<FootprintBars> bars_of(std::span<const Trade> trades, const OrderFlowParams& p,
                              const Tick& tick) {
  FootprintBars out;
  out.tick = tick;
  BarPass pass;
  double cvd = 0.0;
  CancelPoll cancel;
  for (std::size_t first = 0; first < trades.size();) {
    // The bar of the first trade, and the trades in it.
    int64_t start = trades[first].ts;
    int64_t last_ts = INT64_MAX;
    if (p.bar_ms) {
      const Int128 bar_start = Int128{floor_div(start, *p.bar_ms)} * *p.bar_ms;
      if (bar_start < INT64_MIN) {
        return XrayError::data("a bar would start before the earliest time");
      }
      start = static_cast<int64_t>(bar_start);
      const Int128 bar_last = bar_start + *p.bar_ms - 1;
      if (bar_last < INT64_MAX) last_ts = static_cast<int64_t>(bar_last);
    }
    const std::span<const Trade> rest = trades.subspan(first);
    const std::size_t first_cell = out.level.size();
    bool cancelled = false;
    if (const std::optional<std::size_t> bad =
            pass.run(rest, last_ts, out.tick, cancel, cancelled, out)) {
      return *level_error(rest[*bad], out.tick);
    }
    if (cancelled) return cancelled_error();
    const std::size_t end = first + pass.count;
    out.bar_ts.push_back(start);
    const std::size_t end_cell = out.level.size();
    out.cell_bar.resize(end_cell, static_cast<int64_t>(out.bar_ts.size() - 1));
    for (std::size_t j = first_cell; j < end_cell; ++j) {
      out.price.push_back(out.tick.price(out.level[j]));
    }
    const double delta = pass.buy - pass.sell;
    cvd += delta;
    out.open.push_back(out.tick.price(pass.open));
    out.high.push_back(out.price[end_cell - 1]);
    out.low.push_back(out.price[first_cell]);
    out.close.push_back(out.tick.price(pass.close));
    out.volume.push_back(pass.volume);
    out.delta.push_back(delta);
    out.cvd.push_back(cvd);
    out.bar_trades.push_back(static_cast<int64_t>(pass.count));
    out.poc_cells.push_back(finish_bar(first_cell, end_cell, p, out));
    if (out.numbers() > kMaxFrameNumbers) return over_budget();
    first = end;
  }
  return out;
}

std::vector<std::size_t> bar_splits(std::span<const Trade> trades, const OrderFlowParams& p,
                                    std::size_t parts) {
  std::vector<std::size_t> splits{0};
  if (p.bar_ms) {
    for (std::size_t k = 1; k < parts; ++k) {
      const int64_t ts = trades[trades.size() * k / parts].ts;
      const Int128 start = Int128{floor_div(ts, *p.bar_ms)} * *p.bar_ms;
      const auto at = static_cast<std::size_t>(
          std::partition_point(trades.begin(), trades.end(),
                               [&](const Trade& t) { return Int128{t.ts} < start; }) -
          trades.begin());
      if (at > splits.back() && at < trades.size()) splits.push_back(at);
    }
  }
  splits.push_back(trades.size());
  return splits;
}

Result<FootprintBars> join_bars(std::vector<FootprintBars> parts, const OrderFlowParams& p) {
  FootprintBars out = std::move(parts.front());
  for (std::size_t k = 1; k < parts.size(); ++k) {
    FootprintBars& part = parts[k];
    const auto bars = static_cast<int64_t>(out.bar_ts.size());
    const std::size_t cells = out.level.size();
    const auto append = [](auto& to, const auto& from) {
      to.insert(to.end(), from.begin(), from.end());
    };
    for (int64_t& b : part.cell_bar) b += bars;
    for (int64_t& b : part.run_bar) b += bars;
    for (std::size_t& c : part.poc_cells) c += cells;
    append(out.cell_bar, part.cell_bar);
    append(out.level, part.level);
    append(out.price, part.price);
    append(out.bid_vol, part.bid_vol);
    append(out.ask_vol, part.ask_vol);
    append(out.trades, part.trades);
    append(out.buy_imbalance, part.buy_imbalance);
    append(out.sell_imbalance, part.sell_imbalance);
    append(out.bar_ts, part.bar_ts);
    append(out.open, part.open);
    append(out.high, part.high);
    append(out.low, part.low);
    append(out.close, part.close);
    append(out.volume, part.volume);
    append(out.delta, part.delta);
    append(out.cvd, part.cvd);
    append(out.poc, part.poc);
    append(out.va_low, part.va_low);
    append(out.va_high, part.va_high);
    append(out.bar_trades, part.bar_trades);
    append(out.unfinished_high, part.unfinished_high);
    append(out.unfinished_low, part.unfinished_low);
    append(out.run_bar, part.run_bar);
    append(out.run_side, part.run_side);
    append(out.run_low, part.run_low);
    append(out.run_high, part.run_high);
    append(out.run_levels, part.run_levels);
    append(out.poc_cells, part.poc_cells);
    if (out.numbers() > kMaxFrameNumbers) return over_budget();
  }
  // The running delta over all bars, added in bar order as one pass adds it.
  double cvd = 0.0;
  for (std::size_t b = 0; b < out.delta.size(); ++b) out.cvd[b] = cvd += out.delta[b];
  if (Status done = profile_columns(p, out); !done) return std::move(done).error();
  return out;
}

Result<FootprintBars> footprint_bars(std::span<const Trade> trades, const OrderFlowParams& p) {
  Result<Tick> tick = order_flow_tick(trades, p);
  if (!tick) return std::move(tick).error();
  Result<FootprintBars> bars = bars_of(trades, p, *tick);
  if (!bars) return bars;
  std::vector<FootprintBars> one;
  one.push_back(std::move(bars).value());
  return join_bars(std::move(one), p);
}

Result<LargePrints> large_prints(std::span<const Trade> trades, std::optional<double> min_qty,
                                 std::optional<double> quantile) {
  if (min_qty.has_value() == quantile.has_value()) {
    return XrayError::bad_spec("give either min_qty or quantile");
  }
  if (quantile && !(*quantile >= 0.0 && *quantile <= 1.0)) {
    return XrayError::bad_spec("quantile must lie in [0, 1]");
  }
  LargePrints out;
  if (min_qty) {
    out.threshold = *min_qty;
  } else if (!trades.empty()) {
    std::vector<double> qty(trades.size());
    for (std::size_t i = 0; i < trades.size(); ++i) qty[i] = trades[i].qty;
    const auto at = static_cast<std::size_t>(*quantile * static_cast<double>(qty.size() - 1));
    // In total order, so NaN has a place (above every number) and the pick is defined.
    std::nth_element(qty.begin(), qty.begin() + static_cast<std::ptrdiff_t>(at), qty.end(),
                     [](double a, double b) { return total_order_key(a) < total_order_key(b); });
    out.threshold = qty[at];
  }
  CancelPoll cancel;
  for (const Trade& t : trades) {
    if (cancel.due()) return cancelled_error();
    if (!(t.qty >= out.threshold)) continue;
    out.ts.push_back(t.ts);
    out.price.push_back(t.price);
    out.qty.push_back(t.qty);
    out.side.push_back(static_cast<uint8_t>(t.side));
  }
  if (out.ts.size() * 4 > kMaxFrameNumbers) return over_budget();
  return out;
}

}  // namespace xray
