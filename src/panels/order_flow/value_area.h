// src/panels/order_flow/value_area.h: the value area of a profile.
#pragma once

#include <cstddef>

namespace xray {

struct ValueArea {
  std::size_t lo;  // index of its lowest level
  std::size_t hi;  // and of its highest
};

// Grows from poc over the levels [0, n) for which traded(i) holds: of the
// next traded level above and the next below, the one with more volume(i)
// joins, the lower one on a tie, while the volume held is below target.
template <class Volume, class Traded>
ValueArea value_area(std::size_t n, std::size_t poc, double target, Volume volume, Traded traded) {
  const auto above = [&](std::size_t i) {
    for (++i; i < n && !traded(i);) ++i;
    return i;  // n: none
  };
  const auto below = [&](std::size_t i) {
    while (i > 0) {
      if (traded(--i)) return i;
    }
    return n;  // none
  };
  ValueArea va{poc, poc};
  double held = volume(poc);
  std::size_t up = above(poc);
  std::size_t down = below(poc);
  while (held < target && (up < n || down < n)) {
    if (up < n && (down == n || volume(up) > volume(down))) {
      held += volume(up);
      va.hi = up;
      up = above(up);
    } else {
      held += volume(down);
      va.lo = down;
      down = below(down);
    }
  }
  return va;
}

}  // namespace xray
