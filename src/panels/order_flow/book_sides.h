// src/panels/order_flow/book_sides.h: the book heatmap's cells split into
// bids and asks, and the touch at the end of every bucket.
#pragma once

#include <cstdint>
#include <vector>

#include "model/frame.h"
#include "model/spec.h"

namespace xray {

struct BookSides {
  // Row-major like the heatmap: [k * depth + i] is level i at the end of bucket k.
  // Each is the plain sum of the side's quantities in the level, in ascending
  // price order from -0.0 (-0.0 when the side holds none there): the
  // heatmap's cell is round8(bid + ask), and -0.0 when both are -0.0.
  std::vector<double> bids;
  std::vector<double> asks;
  // The best bid and ask of the whole book at the end of each bucket, NaN
  // when that side is empty.
  std::vector<double> best_bid;
  std::vector<double> best_ask;
};

// Replays the window's book onto the grid and buckets of heatmap, the
// engine's panel of config over the same window (its price and time are
// the grid's lower edges and the buckets' starts): the same book the panel
// samples, the same levels, so the split adds up to its cells. Empty when
// the panel is. Stops early, incomplete, when the command is cancelled.
BookSides book_sides(const XrayPanel::BookHeatmap& config, const DatasetWindow& window,
                     const PanelData::BookHeatmap& heatmap);

}  // namespace xray
