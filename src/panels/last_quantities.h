// src/panels/last_quantities.h: the changes to one side of the book within a
// time bucket, each price once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "panels/bit_pattern_table.h"

namespace xray {

// The last quantity each price of one side was given since the replay of
// a bucket began. Only the book at a bucket's end makes a row, and a price
// near the touch changes many times a bucket: the levels take each price
// once, when the bucket's events are done.
class LastQuantities {
 public:
  struct Entry {
    uint64_t key;  // total_order_key of the price
    double qty;
  };

  void set(uint64_t key, double qty) {
    const std::size_t pos = index_.locate(key);
    if (index_.is_free_at(pos)) {
      index_.fill(pos, Slot{key, list_.size() + 1});
      list_.push_back({key, qty});
    } else {
      list_[index_.at(pos).index_plus_one - 1].qty = qty;
    }
  }
  // Calls apply(key, qty) for each price given a quantity, then forgets
  // them all.
  template <class Apply>
  void drain(Apply apply) {
    for (const Entry& entry : list_) apply(entry.key, entry.qty);
    clear();
  }
  void clear() {
    list_.clear();
    index_.clear();
  }

 private:
  // A price's place in list_, plus one: zero marks a free slot.
  struct Slot {
    uint64_t key;
    std::size_t index_plus_one;
  };
  struct SlotLayout {
    static bool is_free(const Slot& slot) { return slot.index_plus_one == 0; }
    static uint64_t key(const Slot& slot) { return slot.key; }
  };
  BitPatternTable<Slot, SlotLayout> index_;
  std::vector<Entry> list_;  // in the order prices were first given
};

}  // namespace xray
