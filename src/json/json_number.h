// src/json/json_number.h: digit accumulation and the fixed decimal-to-double
// conversion of the reader (fixed on purpose: see decimal_to_double).
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json/json_pow10.h"

namespace xray::json_number_detail {

inline constexpr uint64_t kMaxDiv10 = UINT64_MAX / 10;
inline constexpr uint64_t kMaxMod10 = UINT64_MAX % 10;

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline constexpr uint64_t kPow10Int[] = {1,      10,      100,      1000,     10000,
                                         100000, 1000000, 10000000, 100000000};

// The high bit of each byte of w (first byte lowest) that is no decimal
// digit. Exact up to the first non-digit byte that is 0xFA or more (adding 6
// carries out of it into the byte above).
inline uint64_t non_digit_bytes(uint64_t w) {
  constexpr uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0ULL;
  constexpr uint64_t kThrees = 0x3030303030303030ULL;
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  // A byte is a digit when its high nibble is 3 before and after adding 6.
  const uint64_t off =
      ((w & kHighNibbles) ^ kThrees) | (((w + 0x0606060606060606ULL) & kHighNibbles) ^ kThrees);
  return (((off & kLow7) + kLow7) | off) & ~kLow7;
}

// The value of the n (1..8) decimal digits in the low bytes of w.
inline uint64_t digits_value(uint64_t w, unsigned n) {
  // Later bytes are shifted out; leading zero digits come in.
  uint64_t d = (w & 0x0F0F0F0F0F0F0F0FULL) << (8 * (8 - n));
  d = d * 10 + (d >> 8);  // pairs of digits
  d = (((d & 0x000000FF000000FFULL) * 0x000F424000000064ULL) +
       (((d >> 16) & 0x000000FF000000FFULL) * 0x0000271000000001ULL)) >>
      32;
  return static_cast<uint32_t>(d);
}

// Count (0..8) and value of the leading decimal digits of the 8 readable
// bytes at p, without a branch per digit.
[[gnu::always_inline]] inline unsigned eight_digit_prefix(const char* p, uint64_t& value) {
  if constexpr (std::endian::native != std::endian::little) {
    unsigned n = 0;
    value = 0;
    for (; n < 8 && is_digit(p[n]); ++n) value = value * 10 + static_cast<unsigned>(p[n] - '0');
    return n;
  }
  uint64_t w;
  std::memcpy(&w, p, 8);  // first byte in the low byte
  const uint64_t non_digits = non_digit_bytes(w);
  const unsigned n = non_digits == 0 ? 8 : static_cast<unsigned>(std::countr_zero(non_digits)) >> 3;
  if (n == 0) return 0;
  value = digits_value(w, n);
  return n;
}

// Appends the digits at p to a significand of at most length digits, eight
// at a time while that cannot overflow (19 digits at most) and eight bytes
// remain; the careful digit loop takes over from where this stops.
inline void append_digits_fast(const char*& p, const char* end, uint64_t& significand,
                               std::size_t length) {
  while (end - p >= 8 && length <= 11) {
    uint64_t chunk = 0;
    const unsigned n = eight_digit_prefix(p, chunk);
    significand = significand * kPow10Int[n] + chunk;
    p += n;
    length += n;
    if (n < 8) return;
  }
}

// Appends digit d unless that would overflow the significand.
inline bool push_digit(uint64_t& significand, unsigned d) {
  if (significand >= kMaxDiv10 && (significand > kMaxDiv10 || d > kMaxMod10)) return false;
  significand = significand * 10 + d;
  return true;
}

// significand * 10^exponent by the fixed conversion: the nearest double of
// the significand, one multiplication or division by the nearest double of a
// power of ten, and steps of 10^308 below that range. false: out of range.
//
// Deliberately not correctly rounded: two roundings can land one unit in
// the last place away from the nearest double (long significands, large
// exponents). The doubles this gives are part of the interface: loaded
// prices, bins and every frame computed from them are compared byte for
// byte against earlier results, so a "more exact" conversion would change
// answers. Do not replace it with a correctly rounded algorithm, and keep
// every path (the short decimals in the scanner too) on exactly these steps.
inline bool decimal_to_double(uint64_t significand, int64_t exponent, double& out) {
  auto f = static_cast<double>(significand);
  for (;;) {
    if (exponent >= -308 && exponent <= 308) {
      if (exponent >= 0) {
        f *= kPow10[static_cast<std::size_t>(exponent)];
        if (std::isinf(f)) return false;
      } else {
        f /= kPow10[static_cast<std::size_t>(-exponent)];
      }
      break;
    }
    if (f == 0.0) break;
    if (exponent > 0) return false;
    f /= 1e308;
    exponent += 308;
  }
  out = f;
  return true;
}

}  // namespace xray::json_number_detail
