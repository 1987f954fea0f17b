// src/json/json_member_order.h: the one member order of an object, shared by
// the tree reader and by every decoder that looks members up by key.
#pragma once

#include <algorithm>
#include <cstddef>

#include "core/stable_sort.h"

namespace xray {

// Orders count members ascending by key bytes and keeps only the later of
// members with equal keys, in place; returns the number kept. compare(a, b)
// is negative, zero or positive as a's key sorts before, equal to or after
// b's. The sort is stable, so equal keys stay in document order and the last
// of each run is the one written last: an object reads as if each repeated
// key had overwritten the earlier one.
template <class Member, class Compare>
std::size_t order_members_by_key(Member* members, std::size_t count, Compare compare) {
  // Written objects are mostly in order already and repeat nothing: one pass.
  bool ordered = true;
  bool repeated = false;
  for (std::size_t i = 1; i < count; ++i) {
    const int order = compare(members[i - 1], members[i]);
    ordered = ordered && order <= 0;
    repeated = repeated || order == 0;
  }
  if (ordered && !repeated) return count;
  if (!ordered) {
    const auto less = [&](const Member& a, const Member& b) { return compare(a, b) < 0; };
    // Insertion is quickest for the few members most objects have; a long or
    // badly shuffled object is finished by the library's stable sort, which
    // gives the same order.
    constexpr std::size_t kMaxInsertionMoves = 128;
    if (!stable_insertion_sort(members, members + count, less, kMaxInsertionMoves)) {
      std::stable_sort(members, members + count, less);
    }
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count && compare(members[i], members[i + 1]) == 0) continue;
    members[kept++] = members[i];
  }
  return kept;
}

}  // namespace xray
