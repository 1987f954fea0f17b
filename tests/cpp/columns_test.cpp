// tests/cpp/columns_test.cpp: the exact double text read back through the
// reader. The dataset text built from it is judged through the package
// (tests/python/test_columns.py).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "columns/exact_double_text.h"
#include "json/json_reader.h"
#include "json/json_scanner.h"
#include "json/json_writer.h"

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

}  // namespace
}  // namespace xray::columns
