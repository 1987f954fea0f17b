// src/columns/columns_walk.h: the one walk over a dataset's column buffers.
// Shapes, codes, offsets and finiteness are checked here, once, for every
// use: the "load" text writer and the columns load are sinks of this walk.
//
// Lists are walked in declaration order (candles, trades, book, funding, oi,
// liquidations), only those given. Every value is read once into a local,
// checked, then handed on, so a column changed meanwhile by another thread
// cannot make a sink read or write out of bounds. The walk polls the
// command's cancellation once per record and level.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "columns/dataset_columns.h"
#include "core/cancel.h"
#include "core/errors.h"

namespace xray::columns {

// The names of the codes 0 and 1 of a code column.
struct CodeNames {
  std::string_view quoted[2];
  const char* plain[2];
};
inline constexpr CodeNames kTradeSides{{R"("buy")", R"("sell")"}, {"buy", "sell"}};
inline constexpr CodeNames kBookKinds{{R"("snapshot")", R"("diff")"}, {"snapshot", "diff"}};
inline constexpr CodeNames kLiquidationSides{{R"("long")", R"("short")"}, {"long", "short"}};

// Equal lengths per list and book offsets one longer than ts; a Data error
// naming the list and column otherwise.
[[nodiscard]] Status check_column_shapes(const DatasetColumns& columns);

// The errors of the walk, each naming the list, column and row.
[[nodiscard]] XrayError non_finite_value(double v, const char* list, const char* column,
                                         std::size_t row);
[[nodiscard]] XrayError bad_code_value(uint8_t code, const CodeColumn& column,
                                       const CodeNames& names, const char* list, const char* name,
                                       std::size_t row);
[[nodiscard]] XrayError bad_first_offset(const char* offsets_name, int64_t first);
[[nodiscard]] XrayError decreasing_offset(const char* offsets_name, std::size_t row, int64_t next,
                                          std::size_t end);
[[nodiscard]] XrayError offset_beyond_levels(const char* offsets_name, std::size_t row,
                                             int64_t next, std::size_t levels,
                                             const char* price_name);
[[nodiscard]] XrayError last_offset_short(const char* offsets_name, std::size_t events,
                                          std::size_t end, std::size_t levels,
                                          const char* price_name);

// A sink receives (each with the values already checked):
//   open_list(key, rows), close_list(rows)
//   candle(ts, open, high, low, close, volume)
//   trade(ts, price, qty, side_code), liquidation(ts, price, qty, side_code)
//   book_event(ts, kind_code), book_side(levels), level(price, qty),
//   end_book_side(levels), end_book_event()     -- bids before asks
//   funding(ts, rate), oi(ts, oi)
// The shapes must have passed check_column_shapes.
template <class Sink>
[[nodiscard]] Status walk_columns(const DatasetColumns& columns, Sink& sink);

// ---------------------------------------------------------------------------

namespace walk_detail {

#define XRAY_WALK_TRY(expr)                                    \
  do {                                                         \
    if (Status s_ = (expr); !s_) return std::move(s_).error(); \
  } while (false)

template <class Sink>
Status candles(const CandleColumns& c, Sink& sink, CancelPoll& poll) {
  const char* names[5] = {"open", "high", "low", "close", "volume"};
  const double* columns[5] = {c.open.data, c.high.data, c.low.data, c.close.data, c.volume.data};
  for (std::size_t i = 0; i < c.ts.size; ++i) {
    if (poll.due()) return cancelled_error();
    double v[5];
    for (int k = 0; k < 5; ++k) {
      v[k] = columns[k][i];
      if (!std::isfinite(v[k])) return non_finite_value(v[k], "candles", names[k], i);
    }
    sink.candle(c.ts.data[i], v[0], v[1], v[2], v[3], v[4]);
  }
  return {};
}

// Trades and liquidations share one shape: ts, price, qty, side code.
template <class SidedColumns, class Emit>
Status sided(const SidedColumns& c, const CodeNames& sides, const char* l, CancelPoll& poll,
             Emit&& emit) {
  for (std::size_t i = 0; i < c.ts.size; ++i) {
    if (poll.due()) return cancelled_error();
    const int64_t ts = c.ts.data[i];
    const double price = c.price.data[i];
    const double qty = c.qty.data[i];
    const uint8_t side = c.side.data[i];
    if (!std::isfinite(price)) return non_finite_value(price, l, "price", i);
    if (!std::isfinite(qty)) return non_finite_value(qty, l, "qty", i);
    if (side > 1) return bad_code_value(side, c.side, sides, l, "side", i);
    emit(ts, price, qty, side);
  }
  return {};
}

// One side of the book: reads offsets[i + 1] once and checks it against
// the previous end and the level count before any level is read.
struct BookSide {
  const char* offsets_name;
  const char* price_name;
  const char* qty_name;
  const Int64Column& offsets;
  const DoubleColumn& price;
  const DoubleColumn& qty;
  std::size_t end = 0;  // levels walked so far

  Status start() const {
    const int64_t first = offsets.data[0];
    return first == 0 ? Status{} : Status{bad_first_offset(offsets_name, first)};
  }

  template <class Sink>
  Status walk_event(std::size_t i, Sink& sink, CancelPoll& poll) {
    const int64_t next = offsets.data[i + 1];
    if (next < 0 || static_cast<uint64_t>(next) < end) {
      return decreasing_offset(offsets_name, i + 1, next, end);
    }
    if (static_cast<uint64_t>(next) > price.size) {
      return offset_beyond_levels(offsets_name, i + 1, next, price.size, price_name);
    }
    const auto stop = static_cast<std::size_t>(next);
    sink.book_side(stop - end);
    for (std::size_t k = end; k < stop; ++k) {
      if (poll.due()) return cancelled_error();
      const double p = price.data[k];
      const double q = qty.data[k];
      if (!std::isfinite(p)) return non_finite_value(p, "book", price_name, k);
      if (!std::isfinite(q)) return non_finite_value(q, "book", qty_name, k);
      sink.level(p, q);
    }
    sink.end_book_side(stop - end);
    end = stop;
    return {};
  }

  Status finish(std::size_t events) const {
    if (end == price.size) return {};
    return last_offset_short(offsets_name, events, end, price.size, price_name);
  }
};

template <class Sink>
Status book(const BookColumns& c, Sink& sink, CancelPoll& poll) {
  BookSide bids{"bid_offsets", "bid_price", "bid_qty", c.bid_offsets, c.bid_price, c.bid_qty};
  BookSide asks{"ask_offsets", "ask_price", "ask_qty", c.ask_offsets, c.ask_price, c.ask_qty};
  XRAY_WALK_TRY(bids.start());
  XRAY_WALK_TRY(asks.start());
  for (std::size_t i = 0; i < c.ts.size; ++i) {
    if (poll.due()) return cancelled_error();
    const int64_t ts = c.ts.data[i];
    const uint8_t kind = c.kind.data[i];
    if (kind > 1) return bad_code_value(kind, c.kind, kBookKinds, "book", "kind", i);
    sink.book_event(ts, kind);
    XRAY_WALK_TRY(bids.walk_event(i, sink, poll));
    XRAY_WALK_TRY(asks.walk_event(i, sink, poll));
    sink.end_book_event();
  }
  XRAY_WALK_TRY(bids.finish(c.ts.size));
  return asks.finish(c.ts.size);
}

template <class Emit>
Status pairs(const char* list, const Int64Column& ts, const char* name, const DoubleColumn& v,
             CancelPoll& poll, Emit&& emit) {
  for (std::size_t i = 0; i < ts.size; ++i) {
    if (poll.due()) return cancelled_error();
    const int64_t t = ts.data[i];
    const double value = v.data[i];
    if (!std::isfinite(value)) return non_finite_value(value, list, name, i);
    emit(t, value);
  }
  return {};
}

// Opens the list in the sink, walks it, closes it; nothing when not given.
template <class Sink, class Given, class Walk>
Status list(Sink& sink, const Given& given, std::string_view key, Walk&& walk) {
  if (!given) return {};
  const std::size_t rows = given->ts.size;
  sink.open_list(key, rows);
  XRAY_WALK_TRY(walk(*given));
  sink.close_list(rows);
  return {};
}

}  // namespace walk_detail

template <class Sink>
Status walk_columns(const DatasetColumns& c, Sink& sink) {
  namespace w = walk_detail;
  CancelPoll poll;
  XRAY_WALK_TRY(w::list(sink, c.candles, "candles",
                        [&](const CandleColumns& v) { return w::candles(v, sink, poll); }));
  XRAY_WALK_TRY(w::list(sink, c.trades, "trades", [&](const TradeColumns& v) {
    return w::sided(v, kTradeSides, "trades", poll,
                    [&](int64_t t, double p, double q, uint8_t s) { sink.trade(t, p, q, s); });
  }));
  XRAY_WALK_TRY(
      w::list(sink, c.book, "book", [&](const BookColumns& v) { return w::book(v, sink, poll); }));
  XRAY_WALK_TRY(w::list(sink, c.funding, "funding", [&](const FundingColumns& v) {
    return w::pairs("funding", v.ts, "rate", v.rate, poll,
                    [&](int64_t t, double x) { sink.funding(t, x); });
  }));
  XRAY_WALK_TRY(w::list(sink, c.oi, "oi", [&](const OiColumns& v) {
    return w::pairs("oi", v.ts, "oi", v.oi, poll, [&](int64_t t, double x) { sink.oi(t, x); });
  }));
  return w::list(sink, c.liquidations, "liquidations", [&](const LiquidationColumns& v) {
    return w::sided(
        v, kLiquidationSides, "liquidations", poll,
        [&](int64_t t, double p, double q, uint8_t s) { sink.liquidation(t, p, q, s); });
  });
}

#undef XRAY_WALK_TRY

}  // namespace xray::columns
