// src/columns/dataset_text_writer.cpp: columns to the dataset text, in one
// pass into one buffer sized from an upper bound.
#include "columns/dataset_text_writer.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "columns/columns_walk.h"
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

// a * b + c, or false when it leaves size_t.
bool add_product(std::size_t& total, std::size_t a, std::size_t b) {
  std::size_t product;
  return !__builtin_mul_overflow(a, b, &product) && !__builtin_add_overflow(total, product, &total);
}

// Adds the bound of a list's records (and levels) or names the list that
// cannot fit.
Status add_rows(std::size_t& bound, const char* list, std::size_t rows, std::size_t per_row,
                const char* what = "rows") {
  if (add_product(bound, rows, per_row)) return {};
  return XrayError::data(std::string(list) + ": too many " + what);
}

#define XRAY_TRY(expr)                                         \
  do {                                                         \
    if (Status s_ = (expr); !s_) return std::move(s_).error(); \
  } while (false)

// The walk's sink that writes the text: each record in its array form,
// followed by a comma that the list's end takes back.
struct TextSink {
  char* p;
  bool first = true;
  std::size_t inexact = 0;  // doubles no text reaches

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
  // Ends a list whose elements were each followed by a comma.
  void end_list(std::size_t count) {
    if (count > 0) --p;
    put(']');
  }

  void open_list(std::string_view key, std::size_t /*rows*/) {
    if (!first) put(',');
    first = false;
    put('"');
    put(key);
    put("\":[");
  }
  void close_list(std::size_t rows) { end_list(rows); }

  void candle(int64_t ts, double open, double high, double low, double close, double volume) {
    put('[');
    integer(ts);
    for (const double v : {open, high, low, close, volume}) {
      put(',');
      number(v);
    }
    put("],");
  }
  void sided(int64_t ts, double price, double qty, std::string_view side) {
    put('[');
    integer(ts);
    put(',');
    number(price);
    put(',');
    number(qty);
    put(',');
    put(side);
    put("],");
  }
  void trade(int64_t ts, double price, double qty, uint8_t side) {
    sided(ts, price, qty, kTradeSides.quoted[side]);
  }
  void liquidation(int64_t ts, double price, double qty, uint8_t side) {
    sided(ts, price, qty, kLiquidationSides.quoted[side]);
  }
  void book_event(int64_t ts, uint8_t kind) {
    put('[');
    integer(ts);
    put(',');
    put(kBookKinds.quoted[kind]);
  }
  void book_side(std::size_t /*levels*/) { put(",["); }
  void level(double price, double qty) {
    put('[');
    number(price);
    put(',');
    number(qty);
    put("],");
  }
  void end_book_side(std::size_t levels) { end_list(levels); }
  void end_book_event() { put("],"); }
  void pair(int64_t ts, double value) {
    put('[');
    integer(ts);
    put(',');
    number(value);
    put("],");
  }
  void funding(int64_t ts, double rate) { pair(ts, rate); }
  void oi(int64_t ts, double oi) { pair(ts, oi); }
};

}  // namespace

Result<std::size_t> dataset_text_bound(const DatasetColumns& c, bool command) {
  XRAY_TRY(check_column_shapes(c));
  std::size_t bound = kFrame + 6 * kListPunct + kExactTextMax;
  const std::size_t sided = kRecordPunct + kIntMax + 2 * kDoubleMax + kNameMax;
  const std::size_t pair = kRecordPunct + kIntMax + kDoubleMax;
  if (c.candles) {
    XRAY_TRY(
        add_rows(bound, "candles", c.candles->ts.size, kRecordPunct + kIntMax + 5 * kDoubleMax));
  }
  if (c.trades) XRAY_TRY(add_rows(bound, "trades", c.trades->ts.size, sided));
  if (c.book) {
    const std::size_t level = kRecordPunct + 2 * kDoubleMax;
    XRAY_TRY(add_rows(bound, "book", c.book->bid_price.size, level, "levels"));
    XRAY_TRY(add_rows(bound, "book", c.book->ask_price.size, level, "levels"));
    XRAY_TRY(add_rows(bound, "book", c.book->ts.size, 2 * kRecordPunct + kIntMax + kNameMax));
  }
  if (c.funding) XRAY_TRY(add_rows(bound, "funding", c.funding->ts.size, pair));
  if (c.oi) XRAY_TRY(add_rows(bound, "oi", c.oi->ts.size, pair));
  if (c.liquidations) XRAY_TRY(add_rows(bound, "liquidations", c.liquidations->ts.size, sided));
  (void)command;  // the bound covers the command's frame either way
  return bound;
}

Result<std::size_t> write_dataset_text(const DatasetColumns& columns, bool command, char* out,
                                       std::size_t* inexact) {
  TextSink sink{out};
  sink.put(command ? kCommandHead : std::string_view("{"));
  XRAY_TRY(walk_columns(columns, sink));
  sink.put(command ? "}}" : "}");
  if (inexact != nullptr) *inexact = sink.inexact;
  return static_cast<std::size_t>(sink.p - out);
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
