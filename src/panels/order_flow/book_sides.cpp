// src/panels/order_flow/book_sides.cpp: a plain replay of the whole book,
// sampled on the heatmap's grid.
#include "panels/order_flow/book_sides.h"

#include <cmath>
#include <limits>
#include <map>
#include <span>

#include "core/cancel.h"
#include "core/total_order.h"
#include "panels/panel_common.h"

namespace xray {
namespace {

// Price key -> quantity, by total order key; no zero quantity.
using Side = std::map<uint64_t, double>;

void apply_levels(Side& side, std::span<const PriceLevel> levels) {
  for (const PriceLevel& level : levels) {
    const uint64_t key = total_order_key(level.price);
    if (level.qty == 0.0) {
      side.erase(key);  // a zero of either sign removes the price
    } else {
      side[key] = level.qty;  // NaN too
    }
  }
}

// A level holds the prices lo <= p < hi by ordinary comparison: as keys,
// a zero edge is the key of -0.0, so both zeros fall on the same side of it.
uint64_t edge_key(double x) { return total_order_key(x == 0.0 ? -0.0 : x); }

double level_sum(const Side& side, uint64_t lo, uint64_t hi) {
  double sum = -0.0;
  for (auto it = side.lower_bound(lo); it != side.end() && it->first < hi; ++it) sum += it->second;
  return sum;
}

}  // namespace

BookSides book_sides(const XrayPanel::BookHeatmap& config, const DatasetWindow& window,
                     const PanelData::BookHeatmap& heatmap) {
  BookSides out;
  const std::size_t depth = heatmap.price.size();
  const std::size_t buckets = heatmap.time.size();
  if (depth == 0 || buckets == 0) return out;
  // Each level's key range [lo, hi); a NaN edge holds nothing.
  std::vector<std::pair<uint64_t, uint64_t>> ranges(depth);
  for (std::size_t i = 0; i < depth; ++i) {
    const double lo = heatmap.price[i];
    const double hi = round8(config.price_bin + lo);
    ranges[i] = std::isnan(lo) || std::isnan(hi) ? std::pair<uint64_t, uint64_t>{0, 0}
                                                 : std::pair{edge_key(lo), edge_key(hi)};
  }
  out.bids.resize(buckets * depth);
  out.asks.resize(buckets * depth);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  out.best_bid.assign(buckets, kNaN);
  out.best_ask.assign(buckets, kNaN);

  Side bids;
  Side asks;
  std::size_t e = 0;
  CancelPoll cancel;
  for (std::size_t k = 0; k < buckets; ++k) {
    const Int128 end = Int128{heatmap.time[k]} + config.bucket_ms;
    for (; e < window.book.size() && Int128{window.book[e].ts} < end; ++e) {
      if (cancel.due()) return out;
      const BookEvent& event = window.book[e];
      if (event.kind == BookEventKind::Snapshot) {
        bids.clear();
        asks.clear();
      }
      apply_levels(bids, event.bids);
      apply_levels(asks, event.asks);
    }
    if (!bids.empty()) out.best_bid[k] = from_total_order_key(bids.rbegin()->first);
    if (!asks.empty()) out.best_ask[k] = from_total_order_key(asks.begin()->first);
    for (std::size_t i = 0; i < depth; ++i) {
      out.bids[k * depth + i] = level_sum(bids, ranges[i].first, ranges[i].second);
      out.asks[k * depth + i] = level_sum(asks, ranges[i].first, ranges[i].second);
    }
  }
  return out;
}

}  // namespace xray
