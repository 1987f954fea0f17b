// tests/cpp/columns_test.cpp: the exact double text read back through the
// reader, and the dataset text from columns decoded back to the same records.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "columns/dataset_text_writer.h"
#include "columns/exact_double_text.h"
#include "json/json_reader.h"
#include "json/json_scanner.h"
#include "json/json_writer.h"
#include "protocol/model_decode.h"

namespace xray::columns {
namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// A number text through the tree reader (the general path for a short
// text) and through the scanner with room after it (the short-decimal
// path where it applies); both must agree to the bit.
double read_both_ways(const std::string& text) {
  Result<JsonDocument> doc = read_json_value(text);
  EXPECT_TRUE(doc) << text;
  if (!doc) return std::numeric_limits<double>::quiet_NaN();
  const JsonNumber n = doc->root().as_number();
  const double tree = n.cls == NumberClass::Float      ? n.d
                      : n.cls == NumberClass::Unsigned ? static_cast<double>(n.u)
                                                       : static_cast<double>(n.i);
  const std::string padded = text + std::string(20, ' ');
  JsonScanner scan(padded, 0, kJsonDepthBudget);
  JsonNumber m{NumberClass::Unsigned, {0}};
  EXPECT_TRUE(scan.scan_number(m) && scan.pos() == text.size()) << text;
  EXPECT_EQ(m.cls, n.cls) << text;
  EXPECT_EQ(m.u, n.u) << text;
  return tree;
}

struct Tally {
  int values = 0;
  int unreachable = 0;
  int shortest_misses = 0;  // format_double's text reads back as another double
};

// Writes x, reads the text back and checks the rule's promises.
void check_value(double x, Tally& tally) {
  char buf[kExactTextMax];
  bool exact = false;
  const std::string text(buf, write_exact_double(x, buf, exact));
  bool general_exact = false;
  char general[kExactTextMax];
  ASSERT_EQ(text, std::string(general, write_exact_double_general(x, general, general_exact)));
  ASSERT_EQ(exact, general_exact);
  ASSERT_EQ(exact, is_reachable(x)) << text;
  ASSERT_LE(text.size(), 27u);
  const double back = read_both_ways(text);
  ++tally.values;
  const std::string shortest = format_double(x);
  const bool shortest_exact = bits(read_both_ways(shortest)) == bits(x);
  tally.shortest_misses += shortest_exact ? 0 : 1;
  if (exact) {
    ASSERT_EQ(bits(back), bits(x)) << text;
    // Integers below 10^16 are their digits without the ".0"; otherwise
    // the shortest digits are the text whenever they read back.
    if (std::fabs(x) < 1e16 && x == std::floor(x)) {
      EXPECT_EQ(text + ".0", shortest);
    } else if (shortest_exact) {
      EXPECT_EQ(text, shortest);
    }
    return;
  }
  // Unreachable: the text is that of the nearest reachable double, and every
  // double strictly between is unreachable too.
  ++tally.unreachable;
  ASSERT_NE(bits(back), bits(x));
  ASSERT_TRUE(is_reachable(back)) << text;
  ASSERT_EQ(text, exact_double_text(back));
  for (double y = std::nextafter(x, back); y != back; y = std::nextafter(y, back)) {
    ASSERT_FALSE(is_reachable(y)) << text;
  }
  const double gap = std::fabs(back - x);
  const double other = x + (back > x ? -gap : gap);  // as far on the other side
  if (std::isfinite(other) && std::fabs(other) < std::fabs(back)) {
    ASSERT_FALSE(is_reachable(other)) << text;  // smaller magnitude first at equal distance
  }
}

TEST(ExactDoubleText, RandomBitPatternsAndExtremes) {
  Tally tally;
  const double lowest_subnormal = std::numeric_limits<double>::denorm_min();
  const double specials[] = {0.0,
                             -0.0,
                             lowest_subnormal,
                             -lowest_subnormal,
                             3 * lowest_subnormal,
                             std::numeric_limits<double>::min(),
                             std::nextafter(std::numeric_limits<double>::min(), 0.0),
                             std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::max(),
                             std::nextafter(std::numeric_limits<double>::max(), 0.0),
                             0x1p53,
                             0x1p53 + 2,
                             9999999999999998.0,
                             1e16,
                             0x1p63,
                             0x1p64,
                             1e22,
                             1e23,
                             1e-5,
                             9.999999999999999e-6,
                             1e308,
                             1e-308};
  for (const double x : specials) check_value(x, tally);
  std::mt19937_64 rng(20261206);
  for (int i = 0; i < 200000; ++i) {
    const double x = std::bit_cast<double>(rng());
    if (std::isfinite(x)) check_value(x, tally);
    if (::testing::Test::HasFatalFailure()) return;
  }
  std::cout << "[ figures  ] random bit patterns: " << tally.values << " values, "
            << tally.shortest_misses << " whose shortest text reads back as another double, "
            << tally.unreachable << " unreachable\n";
  EXPECT_GT(tally.shortest_misses, tally.values / 10);  // the reason this writer exists
  EXPECT_LT(tally.unreachable, tally.values / 100);
}

TEST(ExactDoubleText, ComputedValuesAndShortDecimals) {
  Tally tally;
  for (const double x :
       {0.1 * 3, 1.0 / 3, 2.0 / 3, 100.0 / 7, 0.1 + 0.2 + 0.3, 1e-7 / 3, 5e15 / 9}) {
    check_value(x, tally);
  }
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> full(0.0, 1e5);
  for (int i = 0; i < 100000 && !::testing::Test::HasFatalFailure(); ++i) {
    check_value(full(rng), tally);
  }
  std::cout << "[ figures  ] uniform [0, 1e5): " << tally.values << " values, "
            << tally.shortest_misses << " shortest misses, " << tally.unreachable
            << " unreachable\n";
  // Prices and quantities with up to 8 decimals come out in their short form.
  for (int i = 0; i < 100000 && !::testing::Test::HasFatalFailure(); ++i) {
    const int decimals = static_cast<int>(rng() % 9);
    const auto units = static_cast<int64_t>(rng() % 10000000000ULL);
    const double x = static_cast<double>(units) / std::pow(10.0, decimals) * (i % 2 ? 1 : -1);
    check_value(x, tally);
  }
}

TEST(ExactDoubleText, ReadNumberText) {
  struct Case {
    const char* text;
    double value;
    const char* error;
  };
  const Case cases[] = {
      {"-0", -0.0, nullptr},
      {"18446744073709551615", 18446744073709551615.0, nullptr},
      {"-9223372036854775808", -9223372036854775808.0, nullptr},
      {"0.30000000000000004", 0.1 * 3, nullptr},
      {"1e-400", 0.0, nullptr},
      {"1e400", 0, "number out of range at line 1 column 5"},
      {"", 0, "EOF while parsing a value at line 1 column 0"},
      {"1.", 0, "EOF while parsing a value at line 1 column 2"},
      {"01", 0, "invalid number at line 1 column 2"},
      {" 1", 0, "expected value at line 1 column 1"},
      {"1 ", 0, "trailing characters at line 1 column 2"},
      {"\"1\"", 0, "expected value at line 1 column 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Result<double> r = read_number_text(c.text);
    if (c.error == nullptr) {
      ASSERT_TRUE(r);
      EXPECT_EQ(bits(*r), bits(c.value));
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().message, c.error);
    }
  }
}

// ---------------------------------------------------------------------------
// Dataset text.

// Columns of every list with owned storage.
struct Owned {
  std::vector<int64_t> c_ts, t_ts, b_ts, b_bid_off, b_ask_off, f_ts, o_ts, l_ts;
  std::vector<double> c_open, c_high, c_low, c_close, c_volume, t_price, t_qty, b_bid_p, b_bid_q,
      b_ask_p, b_ask_q, f_rate, o_oi, l_price, l_qty;
  std::vector<uint8_t> t_side, b_kind, l_side;

  DatasetColumns view() const {
    const auto i = [](const std::vector<int64_t>& v) { return Int64Column{v.data(), v.size()}; };
    const auto d = [](const std::vector<double>& v) { return DoubleColumn{v.data(), v.size()}; };
    const auto c = [](const std::vector<uint8_t>& v) {
      return CodeColumn{v.data(), v.size(), false};
    };
    DatasetColumns out;
    out.candles = CandleColumns{i(c_ts), d(c_open), d(c_high), d(c_low), d(c_close), d(c_volume)};
    out.trades = TradeColumns{i(t_ts), d(t_price), d(t_qty), c(t_side)};
    out.book = BookColumns{i(b_ts),    c(b_kind),    i(b_bid_off), d(b_bid_p),
                           d(b_bid_q), i(b_ask_off), d(b_ask_p),   d(b_ask_q)};
    out.funding = FundingColumns{i(f_ts), d(f_rate)};
    out.oi = OiColumns{i(o_ts), d(o_oi)};
    out.liquidations = LiquidationColumns{i(l_ts), d(l_price), d(l_qty), c(l_side)};
    return out;
  }
};

// Three rows of every list; the book's bids hold two levels, its asks none.
Owned small_columns() {
  Owned o;
  o.c_ts = {1, 2, 3}, o.c_open = o.c_high = o.c_low = o.c_close = o.c_volume = {1.5, 2.5, 3.5};
  o.t_ts = o.l_ts = {1, 2, 3}, o.t_price = o.t_qty = o.l_price = o.l_qty = {1.0, 2.0, 0.1 * 3};
  o.t_side = o.l_side = {0, 1, 0};
  o.b_ts = {1, 2, -3}, o.b_kind = {0, 1, 1}, o.b_bid_off = {0, 1, 2, 2}, o.b_ask_off = {0, 0, 0, 0};
  o.b_bid_p = o.b_bid_q = {99.5, -0.0};
  o.f_ts = o.o_ts = {1}, o.f_rate = o.o_oi = {0.5};
  return o;
}

TEST(DatasetTextWriter, ArrayFormTheDecoderTakesBack) {
  const Result<std::string> text = dataset_text(small_columns().view(), false);
  ASSERT_TRUE(text);
  EXPECT_EQ(
      *text,
      R"({"candles":[[1,1.5,1.5,1.5,1.5,1.5],[2,2.5,2.5,2.5,2.5,2.5],[3,3.5,3.5,3.5,3.5,3.5]],)"
      R"("trades":[[1,1,1,"buy"],[2,2,2,"sell"],[3,0.30000000000000004,0.30000000000000004,"buy"]],)"
      R"("book":[[1,"snapshot",[[99.5,99.5]],[]],[2,"diff",[[-0,-0]],[]],[-3,"diff",[],[]]],)"
      R"("funding":[[1,0.5]],"oi":[[1,0.5]],)"
      R"("liquidations":[[1,1,1,"long"],[2,2,2,"short"],[3,0.30000000000000004,0.30000000000000004,"long"]]})");
  EXPECT_EQ(*dataset_text(small_columns().view(), true),
            R"({"cmd":"load","dataset":)" + *text + "}");
  Result<JsonDocument> doc = read_json_value(*text);
  ASSERT_TRUE(doc);
  const Result<Dataset> d = decode_dataset_value(doc->root());
  ASSERT_TRUE(d) << d.error().message;
  EXPECT_EQ(record_count(*d), 14u);
  EXPECT_EQ(bits(d->book[1].bids[0].qty), bits(-0.0));
  EXPECT_EQ(bits(d->trades[2].price), bits(0.1 * 3));
}

TEST(DatasetTextWriter, OnlyTheGivenListsInOrder) {
  Owned o;
  o.t_ts = {5};
  o.t_price = {27123.45};
  o.t_qty = {0.5};
  o.t_side = {1};
  o.b_bid_off = {0};
  o.b_ask_off = {0};
  DatasetColumns c = o.view();
  c.candles.reset();
  c.oi.reset();
  c.liquidations.reset();
  EXPECT_EQ(*dataset_text(c, false),
            R"({"trades":[[5,27123.45,0.5,"sell"]],"book":[],"funding":[]})");
  EXPECT_EQ(*dataset_text(DatasetColumns{}, true), R"({"cmd":"load","dataset":{}})");
  // A price no text reaches is written as its lower neighbour and counted.
  const double unreachable = 32375.824924527362;
  ASSERT_FALSE(is_reachable(unreachable));
  o.t_price = {unreachable};
  c = o.view();
  c.candles.reset(), c.book.reset(), c.funding.reset(), c.oi.reset(), c.liquidations.reset();
  std::string buffer(*dataset_text_bound(c, false), '\0');
  std::size_t inexact = 0;
  buffer.resize(*write_dataset_text(c, false, buffer.data(), &inexact));
  EXPECT_EQ(buffer, R"({"trades":[[5,32375.82492452736,0.5,"sell"]]})");
  EXPECT_EQ(inexact, 1u);
  EXPECT_EQ(*read_number_text("32375.82492452736"), std::nextafter(unreachable, 0.0));
}

TEST(DatasetTextWriter, ErrorsNameListColumnAndRow) {
  struct Case {
    const char* error;
    std::function<void(Owned&)> spoil;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"liquidations: column 'qty' row 2 is -inf; JSON has no text for it",
       [&](Owned& o) { o.l_qty[2] = -inf; }},
      {"book: column 'kind' row 0 is 7; the codes are 0 (snapshot) and 1 (diff)",
       [](Owned& o) { o.b_kind[0] = 7; }},
      {"book: column 'ask_qty' has 1 row, column 'ask_price' has 0",
       [](Owned& o) { o.b_ask_q.push_back(1.0); }},
      {"book: column 'bid_offsets' row 0 is 1; offsets start at 0",
       [](Owned& o) { o.b_bid_off[0] = 1; }},
      {"book: column 'ask_offsets' row 1 is 5, beyond the 0 rows of column 'ask_price'",
       [](Owned& o) {
         o.b_ask_off = {0, 5, 5, 5};
       }},
      {"book: column 'bid_offsets' row 3 (the last) is 1; it must be 2, the rows of column "
       "'bid_price'",
       [](Owned& o) {
         o.b_bid_off = {0, 1, 1, 1};
       }},
      {"book: column 'bid_price' row 1 is NaN; JSON has no text for it",
       [&](Owned& o) { o.b_bid_p[1] = nan; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    Owned o = small_columns();
    ASSERT_TRUE(dataset_text(o.view(), true));
    c.spoil(o);
    const Result<std::string> r = dataset_text(o.view(), true);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, c.error);
  }
}

}  // namespace
}  // namespace xray::columns
