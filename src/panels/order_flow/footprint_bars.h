// src/panels/order_flow/footprint_bars.h: order flow per bar and price level:
// footprint cells, bar statistics, imbalances, profiles.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/errors.h"
#include "model/dataset.h"
#include "panels/order_flow/tick_levels.h"

namespace xray {

struct OrderFlowParams {
  std::optional<double> tick;     // none: inferred from the trades
  std::optional<int64_t> bar_ms;  // bars aligned to multiples since the epoch; none: one bar
  double ratio = 3.0;             // diagonal imbalance ratio
  double min_volume = 0.0;        // an imbalanced side trades at least this much
  uint32_t stacked = 3;           // levels in a row that make a stacked run
  double value_area = 0.7;        // the share of volume the value area holds
  bool developing = false;        // the developing profile: a pass over its levels per bar
};

// Every column holds one entry per cell, bar or run. Cells run by bar, then
// by ascending level; only (bar, level) pairs with a trade are cells, and
// only bars with a trade are bars. Sums are taken in trade order (ts, then
// the stored order), so they are the same however the work is split.
struct FootprintBars {
  Tick tick{};
  // Cells.
  std::vector<int64_t> cell_bar;  // index of the cell's bar
  std::vector<int64_t> level;
  std::vector<double> price;    // the level's price
  std::vector<double> bid_vol;  // sell-aggressor quantity
  std::vector<double> ask_vol;  // buy-aggressor quantity
  std::vector<int64_t> trades;
  std::vector<uint8_t> buy_imbalance;
  std::vector<uint8_t> sell_imbalance;
  // Bars; prices are level prices.
  std::vector<int64_t> bar_ts;  // ms, the bar's start (the first trade's ts for one bar)
  std::vector<double> open, high, low, close;
  std::vector<double> volume;  // all quantity, in trade order
  std::vector<double> delta;   // buy-aggressor minus sell-aggressor quantity
  std::vector<double> cvd;     // running sum of delta from the first bar
  std::vector<double> poc, va_low, va_high;
  std::vector<int64_t> bar_trades;
  std::vector<uint8_t> unfinished_high;  // both sides traded at the bar's high
  std::vector<uint8_t> unfinished_low;   // and at its low
  std::vector<uint8_t> naked_poc;        // no later bar trades at the bar's POC level
  // The profile of every trade from the first bar to the end of this one;
  // empty unless asked for.
  std::vector<double> developing_poc, developing_va_low, developing_va_high;
  // Stacked imbalance runs, by bar then ascending level.
  std::vector<int64_t> run_bar;
  std::vector<uint8_t> run_side;  // 0 buy imbalances, 1 sell imbalances
  std::vector<double> run_low, run_high;
  std::vector<int64_t> run_levels;

  // The POC's cell of each bar, for the pass across bars.
  std::vector<std::size_t> poc_cells;

  // Numbers held, for the budget.
  uint64_t numbers() const;
};

// The order flow of trades (sorted by ts, as a window of the stored list
// is). Data errors: a price that is not finite or has no level at the tick,
// an output past the frame budget; bad_spec for parameters out of range;
// cancelled_error() when the command is stopped.
//
// POC: the level of the largest cell volume (bid + ask); ties go to the
// lower price. Value area: it starts as the POC's level and grows by whole
// traded levels: of the next traded level above and the next below, the one
// with more volume joins (the lower one on a tie), until the area holds at
// least value_area of the volume (the sum of its levels). Imbalances are
// diagonal: a buy imbalance at p when ask(p) >= ratio * bid(p - 1), a sell
// imbalance at p when bid(p) >= ratio * ask(p + 1), a missing neighbour
// counting as 0, the side itself above zero and at least min_volume.
Result<FootprintBars> footprint_bars(std::span<const Trade> trades, const OrderFlowParams& params);

// The same in parts, which may run on different threads at once; the join
// is the same for any split. The tick (checked parameters first), of all
// the trades; the bars of some whole bars' trades, without the columns that
// look across bars; where the trades may be split (indices, 0 first and
// trades.size() last, each at a bar's first trade), into at most `parts`;
// and the parts joined in order, with those columns.
Result<Tick> order_flow_tick(std::span<const Trade> trades, const OrderFlowParams& params);
Result<FootprintBars> bars_of(std::span<const Trade> trades, const OrderFlowParams& params,
                              const Tick& tick);
std::vector<std::size_t> bar_splits(std::span<const Trade> trades, const OrderFlowParams& params,
                                    std::size_t parts);
Result<FootprintBars> join_bars(std::vector<FootprintBars> parts, const OrderFlowParams& params);

// Trades at or above a quantity: min_qty, or the quantile'th quantile of the
// quantities (the value at index floor(quantile * (n - 1)) in ascending
// order). Columns in trade order.
struct LargePrints {
  double threshold = 0.0;
  std::vector<int64_t> ts;
  std::vector<double> price, qty;
  std::vector<uint8_t> side;  // 0 buy, 1 sell (the aggressor)
};
Result<LargePrints> large_prints(std::span<const Trade> trades, std::optional<double> min_qty,
                                 std::optional<double> quantile);

}  // namespace xray
