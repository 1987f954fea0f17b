// src/json/number_writer.cpp: a direct path for short decimals, proven shortest
// before it is used, and the general formatter for everything else.
#include "json/number_writer.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace xray {
namespace {

constexpr int kMaxDecimals = 9;
constexpr double kPow10[kMaxDecimals + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
// Below 10^15 every integer is exact and the number rule writes positionally.
constexpr double kDigitLimit = 1e15;

// For magnitude in [1e-5, 1e15): finds the fewest decimals k for which
// magnitude = m / 10^k exactly as doubles, i.e. the decimal m * 10^-k reads
// back as magnitude (one correctly rounded division, like reading the text).
// It is the shortest such text unless a decimal with one digit fewer also
// reads back; the two of those nearest to it are checked, and when one of
// them qualifies the caller takes the general path. Below 10^15 an interval
// of doubles is narrower than one unit of the 15th digit, so a text of the
// same length as m is the only one of its length.
bool short_decimal(double magnitude, uint64_t& m, int& k) {
  for (k = 0; k <= kMaxDecimals; ++k) {
    const double scaled = magnitude * kPow10[k];
    if (scaled >= kDigitLimit) return false;
    m = static_cast<uint64_t>(scaled);
    if (static_cast<double>(m) != scaled) continue;
    if (static_cast<double>(m) / kPow10[k] != magnitude) continue;
    // An integer below 2^53 is its own shortest text: the doubles around it
    // lie less than 1 away, and a coarser decimal misses it by 1 or more.
    if (k == 0) return true;
    const uint64_t shorter = m / 10;
    return static_cast<double>(shorter) / kPow10[k - 1] != magnitude &&
           static_cast<double>(shorter + 1) / kPow10[k - 1] != magnitude;
  }
  return false;
}

}  // namespace

char* write_json_number(double value, char* out) {
  if (!std::isfinite(value)) {
    std::memcpy(out, "null", 4);
    return out + 4;
  }
  const double magnitude = std::fabs(value);
  uint64_t m = 0;
  int k = 0;
  if (magnitude < 1e-5 || !short_decimal(magnitude, m, k)) {
    return out + format_double_to(value, out);  // zeros, tiny, huge and long values
  }
  if (std::signbit(value)) *out++ = '-';
  char digits[kIntegerTextMax];
  const int n = static_cast<int>(write_json_integer(m, digits) - digits);
  if (k == 0) {
    std::memcpy(out, digits, static_cast<std::size_t>(n));
    std::memcpy(out + n, ".0", 2);
    return out + n + 2;
  }
  if (n > k) {  // d.ddd: the integer digits, a point, k decimals
    std::memcpy(out, digits, static_cast<std::size_t>(n - k));
    out += n - k;
    *out++ = '.';
    std::memcpy(out, digits + n - k, static_cast<std::size_t>(k));
    return out + k;
  }
  *out++ = '0';  // 0.000ddd: k - n zeros after the point, then the digits
  *out++ = '.';
  std::memset(out, '0', static_cast<std::size_t>(k - n));
  out += k - n;
  std::memcpy(out, digits, static_cast<std::size_t>(n));
  return out + n;
}

}  // namespace xray
