// src/panels/level_sum.h: what the quantities of a crowded level fold to,
// bounded from running sums without reading them.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace xray {

// Lower and upper bounds on a fold; one value (NaN too) when it is known.
struct FoldBounds {
  double lo;
  double hi;

  bool exact() const { return std::bit_cast<uint64_t>(lo) == std::bit_cast<uint64_t>(hi); }
};

// The sum of a changing set of quantities, held as an unevaluated pair
// hi + lo (a double-double) with a bound on how far the pair may have
// drifted from the exact sum. A change is a two-sum (exact) and one rounded
// addition of the low parts, whose error (at most u|t| with u = 2^-53, plus
// 2^-1075 when t is subnormal) goes into the bound: about u^2 of the sum per
// change, so 10^9 changes to a sum of 10^6 drift by less than 10^-15.
class RunningSum {
 public:
  // x finite and small enough that no sum overflows (the caller keeps
  // quantities beyond kTameMax out).
  void add(double x) {
    const double s = hi_ + x;
    const double back = s - hi_;
    const double e = (hi_ - (s - back)) + (x - back);  // hi_ + x == s + e exactly
    const double t = lo_ + e;
    hi_ = s + t;
    const double back_t = hi_ - s;
    lo_ = (s - (hi_ - back_t)) + (t - back_t);  // s + t == hi_ + lo_ exactly
    // Twice the error bound of the one rounded step covers the rounding of
    // this sum itself.
    drift_ += std::fabs(t) * 0x1p-52 + 0x1p-1074;
  }

  double hi() const { return hi_; }
  double lo() const { return lo_; }
  double drift() const { return drift_; }

 private:
  double hi_ = 0.0;
  double lo_ = 0.0;
  double drift_ = 0.0;
};

// Quantities up to 2^900 keep every running sum of a level far from overflow.
constexpr double kTameMax = 0x1p900;

// Bounds on the left fold, from -0.0, of `count` (>= 1, < 2^30) quantities
// whose exact sum is within sum.drift() of sum.hi() + sum.lo() and whose
// magnitudes sum likewise to what abs holds. Any order of the terms: the
// bound covers them all.
//
// Each of the count-1 rounded additions of the fold (the first, onto -0.0,
// is exact) errs by at most half an ulp of its exact result. Every partial
// sum is at most (1+u)^count * Σ|q| < (1 + 2^-22) Σ|q| in magnitude, so
// below the power of two B >= (1 + 2^-21) Σ|q|, where half an ulp is at most
// B * 2^-54. Hence |fold - Σq| <= (count - 1) * B * 2^-54 =: E, and the fold
// lies within E + drift + |lo| of hi. The slack factors below absorb the
// rounding of these bounds themselves.
inline FoldBounds fold_bounds(const RunningSum& sum, const RunningSum& abs, std::size_t count) {
  const double abs_up =
      (abs.hi() + (std::fabs(abs.lo()) + abs.drift())) * (1 + 0x1p-40) + 0x1p-1000;
  int exponent = 0;
  std::frexp(abs_up * (1 + 0x1p-21), &exponent);  // B = 2^exponent
  const double fold_error = static_cast<double>(count - 1) * std::ldexp(1.0, exponent - 54);
  const double reach = ((fold_error + sum.drift()) + std::fabs(sum.lo())) * (1 + 0x1p-30) +
                       std::fabs(sum.hi()) * 0x1p-50 + 0x1p-1000;
  return {sum.hi() - reach, sum.hi() + reach};
}

}  // namespace xray
