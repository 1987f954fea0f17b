// src/panels/order_flow/tick_levels.h: trade prices as whole ticks.
#pragma once

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
  int64_t level(double price) const;
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
