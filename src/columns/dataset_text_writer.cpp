// src/columns/dataset_text_writer.cpp: columns to the dataset text, in one
// pass into one buffer sized from an upper bound.
#include "columns/dataset_text_writer.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "columns/exact_double_text.h"
#include "json/json_writer.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace xray::columns {
namespace {

// Upper bounds of the pieces: an integer, a double (write_exact_double may
// store kExactTextMax bytes even when its text is shorter), a quoted code
// name, the brackets and commas of one record or level, a list's key.
constexpr std::size_t kIntMax = kIntegerTextMax;
constexpr std::size_t kDoubleMax = kExactTextMax + 1;  // with its comma
constexpr std::size_t kNameMax = 10;                   // "snapshot"
constexpr std::size_t kRecordPunct = 8;
constexpr std::size_t kListPunct = 24;  // ,"liquidations":[ and ]
constexpr std::size_t kFrame = 48;      // {"cmd":"load","dataset":{ and }}

constexpr std::string_view kCommandHead = R"({"cmd":"load","dataset":{)";

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

// a * b + c, or false when it leaves size_t.
bool add_product(std::size_t& total, std::size_t a, std::size_t b) {
  std::size_t product;
  return !__builtin_mul_overflow(a, b, &product) && !__builtin_add_overflow(total, product, &total);
}

// The text being written: the write position and the count of doubles no
// text reaches.
struct Out {
  char* p;
  std::size_t inexact = 0;

  void put(char c) { *p++ = c; }
  void put(std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    p += text.size();
  }
  void integer(int64_t v) { p = write_json_integer(v, p); }
  void number(double v) {
    bool exact = true;
    p = write_exact_double(v, p, exact);
    inexact += exact ? 0 : 1;
  }
  // Opens a list: its key and "[".
  void open_list(bool first, std::string_view key) {
    if (!first) put(',');
    put('"');
    put(key);
    put("\":[");
  }
  // Ends a list whose elements were each followed by a comma.
  void close_list(std::size_t count) {
    if (count > 0) --p;
    put(']');
  }
};

// The error for a value that is not finite (callers test isfinite inline:
// a Status per value costs more than the test).
XrayError non_finite(double v, const char* list, const char* column, std::size_t row) {
  const char* what = std::isnan(v) ? "NaN" : v > 0 ? "inf" : "-inf";
  return error(list, column,
               "row " + std::to_string(row) + " is " + what + "; JSON has no text for it");
}

// The names of the codes 0 and 1, quoted and plain.
struct CodeNames {
  std::string_view quoted[2];
  const char* plain[2];
};
constexpr CodeNames kTradeSides{{R"("buy")", R"("sell")"}, {"buy", "sell"}};
constexpr CodeNames kBookKinds{{R"("snapshot")", R"("diff")"}, {"snapshot", "diff"}};
constexpr CodeNames kLiquidationSides{{R"("long")", R"("short")"}, {"long", "short"}};

// The error for a code other than 0 or 1.
XrayError bad_code(uint8_t code, const CodeColumn& column, const CodeNames& names, const char* list,
                   const char* name, std::size_t row) {
  const int shown = column.is_signed ? static_cast<int>(static_cast<int8_t>(code)) : code;
  return error(list, name,
               "row " + std::to_string(row) + " is " + std::to_string(shown) +
                   "; the codes are 0 (" + names.plain[0] + ") and 1 (" + names.plain[1] + ")");
}

#define XRAY_TRY(expr)                                         \
  do {                                                         \
    if (Status s_ = (expr); !s_) return std::move(s_).error(); \
  } while (false)

// ---------------------------------------------------------------------------
// Shapes and bounds.

Status candle_shape(const CandleColumns& c, std::size_t& bound) {
  const char* l = "candles";
  const std::size_t n = c.ts.size;
  XRAY_TRY(same_length(l, "ts", n, "open", c.open.size));
  XRAY_TRY(same_length(l, "ts", n, "high", c.high.size));
  XRAY_TRY(same_length(l, "ts", n, "low", c.low.size));
  XRAY_TRY(same_length(l, "ts", n, "close", c.close.size));
  XRAY_TRY(same_length(l, "ts", n, "volume", c.volume.size));
  if (!add_product(bound, n, kRecordPunct + kIntMax + 5 * kDoubleMax)) {
    return XrayError::data("candles: too many rows");
  }
  return {};
}

Status trade_shape(const TradeColumns& c, std::size_t& bound) {
  const char* l = "trades";
  const std::size_t n = c.ts.size;
  XRAY_TRY(same_length(l, "ts", n, "price", c.price.size));
  XRAY_TRY(same_length(l, "ts", n, "qty", c.qty.size));
  XRAY_TRY(same_length(l, "ts", n, "side", c.side.size));
  if (!add_product(bound, n, kRecordPunct + kIntMax + 2 * kDoubleMax + kNameMax)) {
    return XrayError::data("trades: too many rows");
  }
  return {};
}

Status book_side_shape(const char* offsets, const Int64Column& off, const char* price,
                       const DoubleColumn& p, const char* qty, const DoubleColumn& q, std::size_t n,
                       std::size_t& bound) {
  const char* l = "book";
  if (off.size != n + 1) {
    return error(l, offsets,
                 "has " + rows_text(off.size) + ", expected " + std::to_string(n + 1) +
                     " (one more than column 'ts')");
  }
  XRAY_TRY(same_length(l, price, p.size, qty, q.size));
  if (!add_product(bound, p.size, kRecordPunct + 2 * kDoubleMax)) {
    return XrayError::data("book: too many levels");
  }
  return {};
}

Status book_shape(const BookColumns& c, std::size_t& bound) {
  const std::size_t n = c.ts.size;
  XRAY_TRY(same_length("book", "ts", n, "kind", c.kind.size));
  XRAY_TRY(book_side_shape("bid_offsets", c.bid_offsets, "bid_price", c.bid_price, "bid_qty",
                           c.bid_qty, n, bound));
  XRAY_TRY(book_side_shape("ask_offsets", c.ask_offsets, "ask_price", c.ask_price, "ask_qty",
                           c.ask_qty, n, bound));
  if (!add_product(bound, n, 2 * kRecordPunct + kIntMax + kNameMax)) {
    return XrayError::data("book: too many rows");
  }
  return {};
}

Status two_column_shape(const char* list, const Int64Column& ts, const char* name,
                        const DoubleColumn& v, std::size_t& bound) {
  XRAY_TRY(same_length(list, "ts", ts.size, name, v.size));
  if (!add_product(bound, ts.size, kRecordPunct + kIntMax + kDoubleMax)) {
    return XrayError::data(std::string(list) + ": too many rows");
  }
  return {};
}

Status liquidation_shape(const LiquidationColumns& c, std::size_t& bound) {
  const char* l = "liquidations";
  const std::size_t n = c.ts.size;
  XRAY_TRY(same_length(l, "ts", n, "price", c.price.size));
  XRAY_TRY(same_length(l, "ts", n, "qty", c.qty.size));
  XRAY_TRY(same_length(l, "ts", n, "side", c.side.size));
  if (!add_product(bound, n, kRecordPunct + kIntMax + 2 * kDoubleMax + kNameMax)) {
    return XrayError::data("liquidations: too many rows");
  }
  return {};
}

// ---------------------------------------------------------------------------
// Writing. Each value is loaded once into a local, checked, then written.

Status write_candles(const CandleColumns& c, Out& out) {
  const char* l = "candles";
  const char* names[5] = {"open", "high", "low", "close", "volume"};
  const double* columns[5] = {c.open.data, c.high.data, c.low.data, c.close.data, c.volume.data};
  for (std::size_t i = 0; i < c.ts.size; ++i) {
    out.put('[');
    out.integer(c.ts.data[i]);
    for (int k = 0; k < 5; ++k) {
      const double v = columns[k][i];
      if (!std::isfinite(v)) return non_finite(v, l, names[k], i);
      out.put(',');
      out.number(v);
    }
    out.put("],");
  }
  return {};
}

// Trades and liquidations share one shape: [ts,price,qty,"side"].
template <typename SidedColumns>
Status write_sided(const SidedColumns& c, const CodeNames& sides, const char* l, Out& out) {
  for (std::size_t i = 0; i < c.ts.size; ++i) {
    const int64_t ts = c.ts.data[i];
    const double price = c.price.data[i];
    const double qty = c.qty.data[i];
    const uint8_t side = c.side.data[i];
    if (!std::isfinite(price)) return non_finite(price, l, "price", i);
    if (!std::isfinite(qty)) return non_finite(qty, l, "qty", i);
    if (side > 1) return bad_code(side, c.side, sides, l, "side", i);
    out.put('[');
    out.integer(ts);
    out.put(',');
    out.number(price);
    out.put(',');
    out.number(qty);
    out.put(',');
    out.put(sides.quoted[side]);
    out.put("],");
  }
  return {};
}

// One side of the book: reads offsets[i + 1] once, checks it against the
// previous end and the level count, and writes [[price,qty],...].
struct BookSide {
  const char* offsets_name;
  const char* price_name;
  const char* qty_name;
  const Int64Column& offsets;
  const DoubleColumn& price;
  const DoubleColumn& qty;
  std::size_t end = 0;  // rows written so far

  Status start() {
    const int64_t first = offsets.data[0];
    if (first == 0) return {};
    return error("book", offsets_name,
                 "row 0 is " + std::to_string(first) + "; offsets start at 0");
  }

  Status write_event(std::size_t i, Out& out) {
    const int64_t next = offsets.data[i + 1];
    if (next < 0 || static_cast<uint64_t>(next) < end) {
      return error("book", offsets_name,
                   "row " + std::to_string(i + 1) + " is " + std::to_string(next) + ", below row " +
                       std::to_string(i) + " (" + std::to_string(end) +
                       "); offsets must not decrease");
    }
    if (static_cast<uint64_t>(next) > price.size) {
      return error("book", offsets_name,
                   "row " + std::to_string(i + 1) + " is " + std::to_string(next) +
                       ", beyond the " + rows_text(price.size) + " of column '" + price_name + "'");
    }
    const auto stop = static_cast<std::size_t>(next);
    out.put('[');
    for (std::size_t k = end; k < stop; ++k) {
      const double p = price.data[k];
      const double q = qty.data[k];
      if (!std::isfinite(p)) return non_finite(p, "book", price_name, k);
      if (!std::isfinite(q)) return non_finite(q, "book", qty_name, k);
      out.put('[');
      out.number(p);
      out.put(',');
      out.number(q);
      out.put("],");
    }
    out.close_list(stop - end);
    end = stop;
    return {};
  }

  Status finish(std::size_t n) const {
    if (end == price.size) return {};
    return error("book", offsets_name,
                 "row " + std::to_string(n) + " (the last) is " + std::to_string(end) +
                     "; it must be " + std::to_string(price.size) + ", the rows of column '" +
                     price_name + "'");
  }
};

Status write_book(const BookColumns& c, Out& out) {
  BookSide bids{"bid_offsets", "bid_price", "bid_qty", c.bid_offsets, c.bid_price, c.bid_qty};
  BookSide asks{"ask_offsets", "ask_price", "ask_qty", c.ask_offsets, c.ask_price, c.ask_qty};
  XRAY_TRY(bids.start());
  XRAY_TRY(asks.start());
  for (std::size_t i = 0; i < c.ts.size; ++i) {
    const int64_t ts = c.ts.data[i];
    const uint8_t kind = c.kind.data[i];
    if (kind > 1) return bad_code(kind, c.kind, kBookKinds, "book", "kind", i);
    out.put('[');
    out.integer(ts);
    out.put(',');
    out.put(kBookKinds.quoted[kind]);
    out.put(',');
    XRAY_TRY(bids.write_event(i, out));
    out.put(',');
    XRAY_TRY(asks.write_event(i, out));
    out.put("],");
  }
  XRAY_TRY(bids.finish(c.ts.size));
  return asks.finish(c.ts.size);
}

Status write_pairs(const char* list, const Int64Column& ts, const char* name, const DoubleColumn& v,
                   Out& out) {
  for (std::size_t i = 0; i < ts.size; ++i) {
    const int64_t t = ts.data[i];
    const double value = v.data[i];
    if (!std::isfinite(value)) return non_finite(value, list, name, i);
    out.put('[');
    out.integer(t);
    out.put(',');
    out.number(value);
    out.put("],");
  }
  return {};
}

}  // namespace

Result<std::size_t> dataset_text_bound(const DatasetColumns& columns, bool command) {
  std::size_t bound = kFrame + 6 * kListPunct + kExactTextMax;
  if (columns.candles) XRAY_TRY(candle_shape(*columns.candles, bound));
  if (columns.trades) XRAY_TRY(trade_shape(*columns.trades, bound));
  if (columns.book) XRAY_TRY(book_shape(*columns.book, bound));
  if (columns.funding)
    XRAY_TRY(
        two_column_shape("funding", columns.funding->ts, "rate", columns.funding->rate, bound));
  if (columns.oi) XRAY_TRY(two_column_shape("oi", columns.oi->ts, "oi", columns.oi->oi, bound));
  if (columns.liquidations) XRAY_TRY(liquidation_shape(*columns.liquidations, bound));
  (void)command;  // the bound covers the command's frame either way
  return bound;
}

Result<std::size_t> write_dataset_text(const DatasetColumns& columns, bool command, char* out,
                                       std::size_t* inexact) {
  Out o{out};
  if (command) {
    o.put(kCommandHead);
  } else {
    o.put('{');
  }
  bool first = true;
  // Writes one list when given: key, records, closing bracket.
  const auto list = [&](const auto& given, std::string_view key, auto&& write,
                        std::size_t rows) -> Status {
    if (!given) return {};
    o.open_list(first, key);
    first = false;
    XRAY_TRY(write(*given));
    o.close_list(rows);
    return {};
  };
  const DatasetColumns& c = columns;
  XRAY_TRY(list(
      c.candles, "candles", [&](const auto& v) { return write_candles(v, o); },
      c.candles ? c.candles->ts.size : 0));
  XRAY_TRY(list(
      c.trades, "trades", [&](const auto& v) { return write_sided(v, kTradeSides, "trades", o); },
      c.trades ? c.trades->ts.size : 0));
  XRAY_TRY(list(
      c.book, "book", [&](const auto& v) { return write_book(v, o); },
      c.book ? c.book->ts.size : 0));
  XRAY_TRY(list(
      c.funding, "funding",
      [&](const auto& v) { return write_pairs("funding", v.ts, "rate", v.rate, o); },
      c.funding ? c.funding->ts.size : 0));
  XRAY_TRY(list(
      c.oi, "oi", [&](const auto& v) { return write_pairs("oi", v.ts, "oi", v.oi, o); },
      c.oi ? c.oi->ts.size : 0));
  XRAY_TRY(list(
      c.liquidations, "liquidations",
      [&](const auto& v) { return write_sided(v, kLiquidationSides, "liquidations", o); },
      c.liquidations ? c.liquidations->ts.size : 0));
  o.put(command ? "}}" : "}");
  if (inexact != nullptr) *inexact = o.inexact;
  return static_cast<std::size_t>(o.p - out);
}

TextBuffer allocate_text_buffer(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  void* block = nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugePage) {
    if (posix_memalign(&block, kHugePage, bytes) != 0) return nullptr;
    madvise(block, bytes, MADV_HUGEPAGE);  // advice: failing changes nothing
    return TextBuffer(static_cast<char*>(block));
  }
#endif
  block = std::malloc(bytes == 0 ? 1 : bytes);
  return TextBuffer(static_cast<char*>(block));
}

Result<std::string> dataset_text(const DatasetColumns& columns, bool command) {
  Result<std::size_t> bound = dataset_text_bound(columns, command);
  if (!bound) return std::move(bound).error();
  const TextBuffer buffer = allocate_text_buffer(*bound);
  if (!buffer)
    return XrayError::data("out of memory for a text of " + std::to_string(*bound) + " bytes");
  Result<std::size_t> size = write_dataset_text(columns, command, buffer.get());
  if (!size) return std::move(size).error();
  return std::string(buffer.get(), *size);
}

}  // namespace xray::columns
