// src/columns/columns_walk.cpp: the shape checks and the errors of the walk
// over column buffers.
#include "columns/columns_walk.h"

#include <utility>

namespace xray::columns {
namespace {

std::string rows_text(std::size_t n) { return std::to_string(n) + (n == 1 ? " row" : " rows"); }

XrayError error(const char* list, const char* column, const std::string& what) {
  return XrayError::data(std::string(list) + ": column '" + column + "' " + what);
}

// The columns of one list with the number of rows they should have.
Status same_length(const char* list, const char* first, std::size_t n, const char* column,
                   std::size_t size) {
  if (size == n) return {};
  return error(list, column,
               "has " + rows_text(size) + ", column '" + first + "' has " + std::to_string(n));
}

#define XRAY_TRY(expr)                                         \
  do {                                                         \
    if (Status s_ = (expr); !s_) return std::move(s_).error(); \
  } while (false)

Status candle_shape(const CandleColumns& c) {
  const char* l = "candles";
  const std::size_t n = c.ts.size;
  XRAY_TRY(same_length(l, "ts", n, "open", c.open.size));
  XRAY_TRY(same_length(l, "ts", n, "high", c.high.size));
  XRAY_TRY(same_length(l, "ts", n, "low", c.low.size));
  XRAY_TRY(same_length(l, "ts", n, "close", c.close.size));
  return same_length(l, "ts", n, "volume", c.volume.size);
}

template <class SidedColumns>
Status sided_shape(const char* l, const SidedColumns& c) {
  const std::size_t n = c.ts.size;
  XRAY_TRY(same_length(l, "ts", n, "price", c.price.size));
  XRAY_TRY(same_length(l, "ts", n, "qty", c.qty.size));
  return same_length(l, "ts", n, "side", c.side.size);
}

Status book_side_shape(const char* offsets, const Int64Column& off, const char* price,
                       const DoubleColumn& p, const char* qty, const DoubleColumn& q,
                       std::size_t n) {
  if (off.size != n + 1) {
    return error("book", offsets,
                 "has " + rows_text(off.size) + ", expected " + std::to_string(n + 1) +
                     " (one more than column 'ts')");
  }
  return same_length("book", price, p.size, qty, q.size);
}

Status book_shape(const BookColumns& c) {
  const std::size_t n = c.ts.size;
  XRAY_TRY(same_length("book", "ts", n, "kind", c.kind.size));
  XRAY_TRY(book_side_shape("bid_offsets", c.bid_offsets, "bid_price", c.bid_price, "bid_qty",
                           c.bid_qty, n));
  return book_side_shape("ask_offsets", c.ask_offsets, "ask_price", c.ask_price, "ask_qty",
                         c.ask_qty, n);
}

}  // namespace

Status check_column_shapes(const DatasetColumns& c) {
  if (c.candles) XRAY_TRY(candle_shape(*c.candles));
  if (c.trades) XRAY_TRY(sided_shape("trades", *c.trades));
  if (c.book) XRAY_TRY(book_shape(*c.book));
  if (c.funding)
    XRAY_TRY(same_length("funding", "ts", c.funding->ts.size, "rate", c.funding->rate.size));
  if (c.oi) XRAY_TRY(same_length("oi", "ts", c.oi->ts.size, "oi", c.oi->oi.size));
  if (c.liquidations) XRAY_TRY(sided_shape("liquidations", *c.liquidations));
  return {};
}

XrayError non_finite_value(double v, const char* list, const char* column, std::size_t row) {
  const char* what = std::isnan(v) ? "NaN" : v > 0 ? "inf" : "-inf";
  return error(list, column,
               "row " + std::to_string(row) + " is " + what + "; JSON has no text for it");
}

XrayError bad_code_value(uint8_t code, const CodeColumn& column, const CodeNames& names,
                         const char* list, const char* name, std::size_t row) {
  const int shown = column.is_signed ? static_cast<int>(static_cast<int8_t>(code)) : code;
  return error(list, name,
               "row " + std::to_string(row) + " is " + std::to_string(shown) +
                   "; the codes are 0 (" + names.plain[0] + ") and 1 (" + names.plain[1] + ")");
}

XrayError bad_first_offset(const char* offsets_name, int64_t first) {
  return error("book", offsets_name, "row 0 is " + std::to_string(first) + "; offsets start at 0");
}

XrayError decreasing_offset(const char* offsets_name, std::size_t row, int64_t next,
                            std::size_t end) {
  return error("book", offsets_name,
               "row " + std::to_string(row) + " is " + std::to_string(next) + ", below row " +
                   std::to_string(row - 1) + " (" + std::to_string(end) +
                   "); offsets must not decrease");
}

XrayError offset_beyond_levels(const char* offsets_name, std::size_t row, int64_t next,
                               std::size_t levels, const char* price_name) {
  return error("book", offsets_name,
               "row " + std::to_string(row) + " is " + std::to_string(next) + ", beyond the " +
                   rows_text(levels) + " of column '" + price_name + "'");
}

XrayError last_offset_short(const char* offsets_name, std::size_t events, std::size_t end,
                            std::size_t levels, const char* price_name) {
  return error("book", offsets_name,
               "row " + std::to_string(events) + " (the last) is " + std::to_string(end) +
                   "; it must be " + std::to_string(levels) + ", the rows of column '" +
                   price_name + "'");
}

}  // namespace xray::columns
