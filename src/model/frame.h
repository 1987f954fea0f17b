// src/model/frame.h: one frame: the window of the dataset and the panels over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "model/dataset.h"

namespace xray {

// The records of one frame's window: contiguous ranges of the stored, sorted
// lists, read in place (never copied, never written).
struct DatasetWindow {
  std::span<const Candle> candles;
  std::span<const Trade> trades;
  std::span<const BookEvent> book;
  std::span<const FundingEvent> funding;
  std::span<const OiEvent> oi;
  std::span<const LiquidationEvent> liquidations;
  // The key ranges of the stored book's blocks, and the stored index of
  // book.front(): empty when the book was not indexed.
  std::span<const KeyRange> book_blocks = {};
  std::size_t book_at = 0;
};

struct BinnedLiquidation {
  int64_t ts;  // ms
  double price_bin;
  double qty;
  LiquidationSide side;
};

// The output of one panel; the variant matches the XrayPanel at the same index.
struct PanelData {
  struct Footprint {
    std::vector<double> price_bins;
    std::vector<double> buy_vol;
    std::vector<double> sell_vol;
  };
  struct BookHeatmap {
    std::vector<int64_t> time;  // bucket starts, ms
    std::vector<double> price;  // lower edge of each level
    // Row-major: intensity[k * price.size() + i] is level i at time[k].
    std::vector<double> intensity;
  };
  struct LiquidationMap {
    std::vector<BinnedLiquidation> events;
  };
  struct FundingOiDivergence {
    std::vector<int64_t> time;  // bucket starts, ms
    std::vector<double> funding;
    std::vector<double> oi;
    std::vector<double> price;
  };
  using Variant = std::variant<Footprint, BookHeatmap, LiquidationMap, FundingOiDivergence>;
  Variant data;
};

struct Frame {
  std::string symbol;
  int64_t cursor_ts;  // ms, the effective end of the window
  std::vector<PanelData> panels;
};

}  // namespace xray
