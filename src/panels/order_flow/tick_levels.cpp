// src/panels/order_flow/tick_levels.cpp: levels of trade prices, and the tick
// they sit on.
#include "panels/order_flow/tick_levels.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <numeric>
#include <string>

#include "core/cancel.h"

namespace xray {
namespace {

constexpr double kPow10[] = {1.0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
// Below this, x * 10^d and its rounding are exact integers in a double.
constexpr double kExactInteger = 9007199254740992.0;  // 2^53

std::string number_text(double x) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
  return {buffer, end};
}

// x rounded half away from zero, for |x| < 2^53, without a library call.
double whole_nearest(double x) {
  if (!(std::fabs(x) < kExactInteger)) return x;  // integral already, or not finite
  const auto whole = static_cast<double>(static_cast<int64_t>(x));
  const double rest = x - whole;
  return rest >= 0.5 ? whole + 1.0 : rest <= -0.5 ? whole - 1.0 : whole;
}

// Whether price is written exactly with d decimals: its scaled value
// rounds to an integer that scales back to the same double.
bool has_decimals(double price, int d) {
  const double scaled = whole_nearest(price * kPow10[d]);
  return std::fabs(scaled) < kExactInteger && scaled / kPow10[d] == price;
}

int decimals_of(double x) {
  int d = 0;
  while (d < Tick::kMaxDecimals && !has_decimals(x, d)) ++d;
  return d;
}

XrayError not_finite(const Trade& trade) {
  return XrayError::data("trade at ts " + std::to_string(trade.ts) + " has price " +
                         number_text(trade.price) + ": order flow needs finite prices");
}

}  // namespace

Result<Tick> Tick::of(double size) {
  if (!(size > 0.0) || !std::isfinite(size)) {
    return XrayError::bad_spec("tick must be positive and finite, not " + number_text(size));
  }
  const int d = decimals_of(size);
  const double units = std::round(size * kPow10[d]);
  if (units < 1.0 || units >= kExactInteger) {
    return XrayError::bad_spec("tick " + number_text(size) + " is not a step of 1e-8 to 2^53");
  }
  return Tick{size, d, static_cast<int64_t>(units)};
}

double Tick::price(int64_t level) const {
  // Exact while the product fits 2^53; past it the decimals no longer matter.
  const double product = static_cast<double>(level) * static_cast<double>(units);
  if (std::fabs(product) < kExactInteger) return product / kPow10[decimals];
  return static_cast<double>(level) * size;
}

std::optional<XrayError> level_error(const Trade& trade, const Tick& tick) {
  if (!std::isfinite(trade.price)) return not_finite(trade);
  int64_t level = 0;
  if (tick.level_of(trade.price, level)) return std::nullopt;
  return XrayError::data("trade at ts " + std::to_string(trade.ts) + " has price " +
                         number_text(trade.price) + ", more than 2^53 ticks of " +
                         number_text(tick.size) + " from zero: give a larger tick");
}

Result<Tick> infer_tick(std::span<const Trade> trades) {
  // A window holds few distinct prices against its trades: each is worked
  // on once, found again in a direct-mapped cache of bit patterns that
  // starts out holding the first price's (which is worked on first).
  std::array<uint64_t, 4096> seen{};
  if (!trades.empty()) seen.fill(std::bit_cast<uint64_t>(trades[0].price));
  int d = 0;
  int64_t first = 0;  // the first price in units of 10^-d
  uint64_t step = 0;  // gcd of the differences from it, in the same units
  CancelPoll cancel;
  for (std::size_t i = 0; i < trades.size(); ++i) {
    if (cancel.due()) return cancelled_error();
    const double price = trades[i].price;
    const auto bits = std::bit_cast<uint64_t>(price);
    uint64_t& slot = seen[(bits * 0x9E3779B97F4A7C15ULL) >> 52];
    if (i > 0 && slot == bits) continue;
    slot = bits;
    if (!std::isfinite(price)) return not_finite(trades[i]);
    while (d < Tick::kMaxDecimals && !has_decimals(price, d)) {
      // Rescaling what is known keeps the gcd: every unit splits in ten.
      if (std::fabs(static_cast<double>(first)) * 10.0 >= kExactInteger ||
          static_cast<double>(step) * 10.0 >= kExactInteger) {
        break;
      }
      ++d;
      first *= 10;
      step *= 10;
    }
    const double scaled = whole_nearest(price * kPow10[d]);
    if (std::fabs(scaled) >= kExactInteger) {
      return XrayError::data("trade at ts " + std::to_string(trades[i].ts) + " has price " +
                             number_text(price) + ", past 2^53 steps of 1e-" + std::to_string(d) +
                             ": no tick is inferred there; give one");
    }
    const auto units = static_cast<int64_t>(scaled);
    if (i == 0) {
      first = units;
      continue;
    }
    const int64_t difference = units - first;
    const auto distance = static_cast<uint64_t>(difference < 0 ? -difference : difference);
    // Mostly a multiple of the step found so far: one remainder, no gcd.
    if (step == 0 || distance % step != 0) step = std::gcd(step, distance);
  }
  if (step == 0) step = 1;  // no price, one, or all the same
  return Tick::of(static_cast<double>(step) / kPow10[d]);
}

}  // namespace xray
