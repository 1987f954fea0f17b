// src/panels/panel_common.h: rounding, price bins and 128-bit arithmetic,
// shared by every panel.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "core/total_order.h"

namespace xray {

// 128-bit integers for bucket arithmetic near the ends of the 64-bit range.
__extension__ using Int128 = __int128;
__extension__ using UInt128 = unsigned __int128;

// R(x * 1e8) / 1e8 with halves away from zero; each step is one double
// operation (no contraction into fused ops), so large finite values whose
// product overflows come out infinite, and infinities and NaN pass through.
inline double round8(double x) { return std::round(x * 100000000.0) / 100000000.0; }

// Snaps a price down to a multiple of price_bin, then rounds it.
inline double bin_price(double price, double price_bin) {
  return round8(std::floor(price / price_bin) * price_bin);
}

// Floor division (toward negative infinity) for a positive divisor; cannot
// overflow because the divisor is never -1.
inline int64_t floor_div(int64_t a, int64_t positive_b) {
  const int64_t q = a / positive_b;
  return (a % positive_b < 0) ? q - 1 : q;
}

// Decimal texts of 128-bit counts and times, for error messages.
std::string u128_text(UInt128 value);
std::string i128_text(Int128 value);

}  // namespace xray
