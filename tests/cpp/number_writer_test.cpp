// The direct number writer against the general formatter, value by value.
#include "json/number_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace xray {
namespace {

std::string written(double value) {
  char buf[kNumberTextMax];
  return std::string(buf, write_json_number(value, buf));
}

std::string general(double value) {
  std::string out;
  append_number(value, out);
  return out;
}

TEST(NumberWriter, EdgesOfTheDirectPath) {
  // The number rule itself is tabled with format_double; these sit at the
  // limits of the direct path.
  const std::pair<double, const char*> cases[] = {
      {0.0000099, "9.9e-6"}, {999999999999999.0, "999999999999999.0"},
      {0.1234567891, "0.1234567891"}, {123456.123456789, "123456.123456789"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(written(value), text);
}

// Short decimals (what rounded prices and volumes look like), their
// neighbouring doubles (long texts that only just miss a short one), values
// either side of the positional limits, and arbitrary bit patterns.
TEST(NumberWriter, AgreesWithTheGeneralFormatter) {
  std::mt19937_64 rng(31337);
  const auto check = [](double v) {
    if (written(v) != general(v)) {
      ADD_FAILURE() << "value " << general(v) << " written as " << written(v);
      return false;
    }
    return true;
  };
  for (int i = 0; i < 400000; ++i) {
    const int decimals = static_cast<int>(rng() % 13);
    const uint64_t digits = rng() % (uint64_t{1} << (rng() % 54));
    double v = static_cast<double>(digits) / std::pow(10.0, decimals);
    if (rng() % 2) v = -v;
    if (!check(v) || !check(std::nextafter(v, 1e300)) || !check(std::nextafter(v, -1e300))) break;
  }
  for (const double edge : {1e-5, 1e15, 1e-6, 1e14, 0.5e-5}) {
    double v = edge;
    for (int i = 0; i < 200; ++i) v = std::nextafter(v, 0.0);
    for (int i = 0; i < 400; ++i, v = std::nextafter(v, 1e300)) {
      if (!check(v)) break;
    }
  }
  for (int i = 0; i < 300000; ++i) {
    const uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!check(v)) break;
  }
}

}  // namespace
}  // namespace xray
