// Short decimals read eight bytes at a time must give what the general
// number path gives, to the bit: the same value class and bits, the same end,
// the same fault, whatever follows the number.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "json/json_scanner.h"

namespace xray {
namespace {

struct Scanned {
  bool ok = false;
  std::size_t end = 0;
  NumberClass cls = NumberClass::Unsigned;
  uint64_t bits = 0;
  std::string fault;
};

Scanned scan(std::string_view text, bool general) {
  JsonScanner scanner(text, 0, kJsonDepthBudget);
  JsonNumber n{NumberClass::Unsigned, {0}};
  Scanned s;
  s.ok = general ? scanner.scan_any_number(n) : scanner.scan_number(n);
  if (!s.ok) {
    s.fault = scanner.error().message;
    return s;
  }
  s.end = scanner.pos();
  s.cls = n.cls;
  std::memcpy(&s.bits, &n.u, sizeof s.bits);
  return s;
}

// Both ways, the number followed by each tail; with a comma, also the number
// alone at the text's end, where only the general path can read it.
void expect_same_both_ways(const std::string& number) {
  const Scanned alone = scan(number, false);
  for (const std::string_view tail : {",                ", "]                ",
                                      "e5               ", "E-3              ",
                                      ".5               ", "0123456789012345 "}) {
    const std::string padded = number + std::string(tail);
    const Scanned fast = scan(padded, false);
    const Scanned general = scan(padded, true);
    SCOPED_TRACE(padded);
    EXPECT_EQ(fast.ok, general.ok);
    EXPECT_EQ(fast.fault, general.fault);
    EXPECT_EQ(fast.end, general.end);
    EXPECT_EQ(fast.cls, general.cls);
    EXPECT_EQ(fast.bits, general.bits);
    if (tail[0] == ',') {
      EXPECT_EQ(fast.ok, alone.ok);
      EXPECT_EQ(fast.bits, alone.bits);
      EXPECT_EQ(fast.end, alone.end);
    }
  }
}

TEST(ShortDecimal, EdgesAgreeWithTheGeneralPath) {
  for (const char* number :
       {"0.0", "-0.0", "0.5", "-0.5", "00.5", "01.5", "-01.5", "0", "-0", "7", "1.", "1.e5",
        "-.5", "-", "1.5e3", "1.5E+3", "9999999.9999999", "-9999999.9999999", "1234567.1234567",
        "12345678.5", "1.12345678", "12345678.12345678", "9007199254740993.0", "0.1", "0.3",
        "2.675", "1e23", "4.35", "8.501", "30000.1", "1.0000001"}) {
    expect_same_both_ways(number);
  }
}

std::string random_digits(std::mt19937_64& rng, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += static_cast<char>('0' + rng() % 10);
  return out;
}

TEST(ShortDecimal, RandomDecimalsAgreeToTheBit) {
  std::mt19937_64 rng(77);
  for (int n = 0; n < 60000; ++n) {
    std::string number = rng() % 3 == 0 ? "-" : "";
    const int whole = 1 + static_cast<int>(rng() % 8);
    // A leading zero on a longer part now and then: a fault both ways.
    const bool leading_zero = rng() % 5 == 0;
    if (leading_zero) number += '0';
    number += random_digits(rng, whole - leading_zero);
    const int fraction = static_cast<int>(rng() % 9);
    if (fraction > 0 || rng() % 4 == 0) {
      number += '.';
      number += random_digits(rng, fraction);
    }
    expect_same_both_ways(number);
  }
}

}  // namespace
}  // namespace xray
