// src/panels/liquidation_map.cpp: every liquidation with its price snapped to a
// bin, in time, bin and side order.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/cancel.h"
#include "core/stable_sort.h"
#include "panels/panel_common.h"
#include "panels/panels.h"

namespace xray {
namespace {

// ts, then the bin in total order (-0.0 before 0.0, NaN at the ends), then
// long before short; qty takes no part.
bool comes_before(const BinnedLiquidation& a, const BinnedLiquidation& b) {
  if (a.ts != b.ts) return a.ts < b.ts;
  const uint64_t a_bin = total_order_key(a.price_bin);
  const uint64_t b_bin = total_order_key(b.price_bin);
  if (a_bin != b_bin) return a_bin < b_bin;
  return a.side < b.side;
}

// The window arrives in ts order, so a stable sort by the full key only has
// to reorder each run of equal ts. Sorting the runs alone gives the same
// sequence as one stable sort of everything. Stops, leaving the order
// unfinished, when the command is cancelled.
void sort_events(std::vector<BinnedLiquidation>& events, CancelPoll& cancel) {
  const auto by_ts = [](const BinnedLiquidation& a, const BinnedLiquidation& b) {
    return a.ts < b.ts;
  };
  if (!std::is_sorted(events.begin(), events.end(), by_ts)) {
    std::stable_sort(events.begin(), events.end(), comes_before);
    return;
  }
  constexpr std::size_t kInsertionRun = 32;
  auto run = events.begin();
  while (run != events.end()) {
    if (cancel.due()) return;
    auto run_end = run + 1;
    bool ordered = true;
    for (; run_end != events.end() && run_end->ts == run->ts; ++run_end) {
      ordered = ordered && !comes_before(*run_end, *(run_end - 1));
    }
    if (!ordered) {
      // The runs of one millisecond are short: an insertion sort suits them.
      if (run_end - run <= static_cast<std::ptrdiff_t>(kInsertionRun)) {
        stable_insertion_sort(run, run_end, comes_before);
      } else {
        std::stable_sort(run, run_end, comes_before);
      }
    }
    run = run_end;
  }
}

}  // namespace

PanelData compute_liquidation_map(const XrayPanel::LiquidationMap& config,
                                  const DatasetWindow& window) {
  PanelData::LiquidationMap out;
  out.events.reserve(window.liquidations.size());
  CancelPoll cancel;
  for (const LiquidationEvent& liquidation : window.liquidations) {
    if (cancel.due()) return {};
    out.events.push_back(BinnedLiquidation{
        .ts = liquidation.ts,
        .price_bin = bin_price(liquidation.price, config.price_bin),
        .qty = round8(liquidation.qty),
        .side = liquidation.side,
    });
  }
  sort_events(out.events, cancel);
  return PanelData{std::move(out)};
}

}  // namespace xray
