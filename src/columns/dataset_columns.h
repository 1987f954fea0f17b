// src/columns/dataset_columns.h: views of a dataset held as column buffers
// (numpy arrays and the like), one view per column, nothing copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace xray::columns {

// Views of caller-owned columns; nothing is copied. A code column holds one
// byte per row (0 or 1); is_signed only chooses how a bad code is shown.
struct Int64Column {
  const int64_t* data = nullptr;
  std::size_t size = 0;
};
struct DoubleColumn {
  const double* data = nullptr;
  std::size_t size = 0;
};
struct CodeColumn {
  const uint8_t* data = nullptr;
  std::size_t size = 0;
  bool is_signed = false;
};

struct CandleColumns {
  Int64Column ts;
  DoubleColumn open, high, low, close, volume;
};
struct TradeColumns {
  Int64Column ts;
  DoubleColumn price, qty;
  CodeColumn side;  // 0 buy, 1 sell
};
// Levels of event i are rows [offsets[i], offsets[i+1]) of the level
// columns; offsets has one row more than ts, starts at 0, never decreases
// and ends at the level columns' length.
struct BookColumns {
  Int64Column ts;
  CodeColumn kind;  // 0 snapshot, 1 diff
  Int64Column bid_offsets;
  DoubleColumn bid_price, bid_qty;
  Int64Column ask_offsets;
  DoubleColumn ask_price, ask_qty;
};
struct FundingColumns {
  Int64Column ts;
  DoubleColumn rate;
};
struct OiColumns {
  Int64Column ts;
  DoubleColumn oi;
};
struct LiquidationColumns {
  Int64Column ts;
  DoubleColumn price, qty;
  CodeColumn side;  // 0 long, 1 short
};

struct DatasetColumns {
  std::optional<CandleColumns> candles;
  std::optional<TradeColumns> trades;
  std::optional<BookColumns> book;
  std::optional<FundingColumns> funding;
  std::optional<OiColumns> oi;
  std::optional<LiquidationColumns> liquidations;
};

}  // namespace xray::columns
