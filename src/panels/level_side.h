// src/panels/level_side.h: one side of the book the heatmap samples, its
// prices grouped by the grid level that holds them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "panels/bit_pattern_table.h"
#include "panels/level_sum.h"
#include "panels/ordered_side.h"

namespace xray {

// Key -> quantity within each level, in ascending key order, no quantity
// zero. A level's cell then reads its entries from one short array, and a
// change finds its place among the few prices of its level rather than
// among the whole side. A level crowded past kFewMax prices keeps them in
// an OrderedSide instead, so that each change still moves one short run.
// Levels are found through a hash table of those held, so the side costs
// what it holds, however deep the grid. A crowded level also keeps running
// sums of its quantities and of their magnitudes, updated in O(1) by each
// change, from which its fold is bounded without reading its prices.
class LevelSide {
 public:
  using Entry = OrderedSide::Entry;

  static constexpr std::size_t kFewMax = 64;

  // As OrderedSide::set, within level: a zero quantity (either sign)
  // removes the key, any other (NaN too) replaces the quantity held.
  // Returns whether the level's contents changed.
  bool set(std::size_t level, uint64_t key, double qty);

  // Calls visit(entry) for every entry of level, in ascending key order.
  template <class Visit>
  void visit(std::size_t level, Visit visit) const {
    const Slot* slot = slots_.find(level + 1);
    if (slot == nullptr) return;
    const Level& held = levels_[slot->index];
    if (held.many) {
      held.many->side.visit(visit);
      return;
    }
    for (const Entry& entry : held.few) visit(entry);
  }

  // The left fold of level's quantities in ascending key order, starting
  // from -0.0 (so -0.0 when it holds none).
  double fold(std::size_t level) const;
  // Bounds on it: from the running sums for a crowded level without NaN,
  // infinite or huge quantities (O(1) but when their drift must be ended),
  // the fold itself for any other.
  FoldBounds fold_bounds(std::size_t level);
  // Quantities read by folds so far: the work the two calls above did.
  uint64_t folded() const { return folded_; }

  // Calls held(level) for every level that may hold an entry, then empties
  // the side; costs what was held since the last clear.
  template <class Held>
  void clear(Held held) {
    for (const std::size_t level : level_of_) held(level);
    slots_.clear();
    levels_.clear();
    level_of_.clear();
  }

 private:
  // A level past kFewMax prices, with the sums of its tame quantities
  // (finite, at most kTameMax in magnitude) and the count of the others.
  struct Crowded {
    OrderedSide side;
    RunningSum sum;
    RunningSum abs;
    std::size_t wild = 0;

    void count(double qty, double sign) {
      if (std::fabs(qty) <= kTameMax) {
        sum.add(sign * qty);
        abs.add(sign * std::fabs(qty));
      } else {
        wild = sign > 0 ? wild + 1 : wild - 1;
      }
    }
    bool set(uint64_t key, double qty);
  };
  struct Level {
    std::vector<Entry> few;         // ascending keys, up to kFewMax
    std::unique_ptr<Crowded> many;  // in their place past kFewMax
  };
  // A level's place in levels_, keyed by its index plus one: a zero key
  // marks a free slot.
  struct Slot {
    uint64_t level_plus_one;
    std::size_t index;
  };
  struct SlotLayout {
    static bool is_free(const Slot& slot) { return slot.level_plus_one == 0; }
    static uint64_t key(const Slot& slot) { return slot.level_plus_one; }
  };

  static bool set_few(Level& level, uint64_t key, double qty);
  Level* held(std::size_t level);
  const Level* held(std::size_t level) const;

  BitPatternTable<Slot, SlotLayout> slots_;
  std::vector<Level> levels_;          // every level held since the last clear
  std::vector<std::size_t> level_of_;  // the grid level of each of them
  mutable uint64_t folded_ = 0;
};

}  // namespace xray
