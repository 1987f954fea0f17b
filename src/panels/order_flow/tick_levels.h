// src/panels/order_flow/tick_levels.h: trade prices as whole ticks.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>

#include "core/errors.h"
#include "model/dataset.h"

namespace xray {

// A tick and how its levels are written back as prices. A level is
// round(price / tick), halves away from zero, so 100.3 at tick 0.1 is level
// 1003 (the floor of the quotient, 1002.9999999999999, would be one low).
// A level's price is level * units / 10^decimals with units =
// round(tick * 10^decimals): an integer product divided once, so it is the
// double nearest the decimal price (100.3, not 100.30000000000001).
struct Tick {
  double size;
  int decimals;   // of size, at most kMaxDecimals
  int64_t units;  // size * 10^decimals, rounded

  static constexpr int kMaxDecimals = 8;
  // Levels stay within +-2^53, where every level and its price are exact.
  static constexpr double kMaxLevel = 9007199254740992.0;

  // A tick of the given size: positive and finite.
  static Result<Tick> of(double size);
  // The level of price, or false when it has none (not finite, or past
  // kMaxLevel). Rounds as std::round does, without a library call: the
  // fraction q - trunc(q) of a quotient below 2^53 is exact.
  bool level_of(double price, int64_t& level) const { return level_of(price, size, level); }
  // The same through a multiplication by inverse = 1 / size: the product
  // lies within an ulp or two of the quotient, so it rounds the same way
  // unless it lies next to a half, where the division decides.
  static bool level_of(double price, double size, double inverse, int64_t& level) {
    const double q = price * inverse;
    // Below 2^32 an ulp of q is under 1e-6, far inside the margin kept from a half.
    if (!(std::fabs(q) < 4294967296.0)) return level_of(price, size, level);
    auto whole = static_cast<int64_t>(q);
    const double rest = std::fabs(q - static_cast<double>(whole));
    if (rest > 0.4999 && rest < 0.5001) return level_of(price, size, level);
    if (rest > 0.5) whole += q < 0.0 ? -1 : 1;
    level = whole;
    return true;
  }
  static bool level_of(double price, double size, int64_t& level) {
    const double q = price / size;
    if (!(std::fabs(q) <= kMaxLevel)) return false;
    auto whole = static_cast<int64_t>(q);
    const double rest = q - static_cast<double>(whole);
    if (rest >= 0.5) {
      ++whole;
    } else if (rest <= -0.5) {
      --whole;
    }
    level = whole;
    return true;
  }
  double price(int64_t level) const;
};

// The tick of some trades' prices: the largest step every price sits on,
// found as the greatest common divisor of their differences in units of
// 10^-d, d the fewest decimals (at most 8) that write every price. All
// prices equal give the step of their last decimal. Errors name a trade
// whose price is not finite, or whose level would pass kMaxLevel.
Result<Tick> infer_tick(std::span<const Trade> trades);

// The error of a price whose level at tick lies past kMaxLevel, or that is
// not finite; none when it has a level.
std::optional<XrayError> level_error(const Trade& trade, const Tick& tick);

}  // namespace xray
