// src/core/stable_sort.h: the one stable insertion sort, for the short or
// nearly ordered runs the core sorts (object members, records of one
// millisecond, loaded lists stamped a little out of order).
#pragma once

#include <cstddef>
#include <iterator>
#include <utility>

namespace xray {

// Sorts [first, last) stably by less, moving each element after the earlier
// ones it does not come before. Gives up once more than max_moves single
// steps have been made and returns false; what was done so far keeps the
// range a permutation, and any stable sort then finishes with the same result.
template <class It, class Less>
bool stable_insertion_sort(It first, It last, Less less,
                           std::size_t max_moves = static_cast<std::size_t>(-1)) {
  if (first == last) return true;
  for (It i = std::next(first); i != last; ++i) {
    if (!less(*i, *std::prev(i))) continue;
    auto moving = std::move(*i);
    It to = i;
    do {
      if (max_moves == 0) {
        *to = std::move(moving);
        return false;
      }
      --max_moves;
      *to = std::move(*std::prev(to));
      --to;
    } while (to != first && less(moving, *std::prev(to)));
    *to = std::move(moving);
  }
  return true;
}

}  // namespace xray
