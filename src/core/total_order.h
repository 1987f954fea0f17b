// src/core/total_order.h: doubles as unsigned keys in IEEE total order.
#pragma once

#include <bit>
#include <cstdint>

namespace xray {

// A key whose unsigned order is the IEEE total order of the double:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN. Keys are equal only
// for bit-identical doubles, so -0.0 and 0.0 stay apart.
inline uint64_t total_order_key(double x) {
  const auto bits = std::bit_cast<uint64_t>(x);
  constexpr uint64_t kSign = uint64_t{1} << 63;
  return (bits & kSign) != 0 ? ~bits : bits | kSign;
}

// The double whose total_order_key is key.
inline double from_total_order_key(uint64_t key) {
  constexpr uint64_t kSign = uint64_t{1} << 63;
  return std::bit_cast<double>((key & kSign) != 0 ? key & ~kSign : ~key);
}

}  // namespace xray
