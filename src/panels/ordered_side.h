// src/panels/ordered_side.h: one side of a replayed book, kept in price order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "panels/bit_pattern_table.h"

namespace xray {

// Key -> quantity, each key at most once and no quantity zero, readable in
// ascending key order. Quantities live in a seeded hash table, so the
// common change, a new quantity for a price already held, costs one probe.
// The keys are also held in order, in runs of at most kRunMax consecutive
// keys: adding or removing a price searches two short sorted lists and
// moves at most one run, and the keys are read in order without sorting
// anything.
class OrderedSide {
 public:
  struct Entry {
    uint64_t key;  // total_order_key of the price
    double qty;
  };

  static constexpr std::size_t kRunMax = 128;

  // A zero quantity (either sign) removes the key; any other (NaN too)
  // replaces the quantity held. Returns whether the contents changed, and
  // puts the quantity the key held before (+0.0 for none) in *replaced.
  bool set(uint64_t key, double qty, double* replaced = nullptr);
  // Frees what is held; costs what was held, not the largest size reached.
  void clear();

  bool empty() const { return table_.size() == 0; }
  std::size_t size() const { return table_.size(); }

  // Calls visit(entry) for every entry, in key order.
  template <class Visit>
  void visit(Visit visit) const {
    for (const std::vector<uint64_t>& run : runs_) {
      for (const uint64_t key : run) visit(Entry{key, table_.find(key)->qty});
    }
  }

 private:
  // A held quantity is never zero, so a quantity of +0.0 marks a free slot.
  struct EntryLayout {
    static bool is_free(const Entry& entry) { return std::bit_cast<uint64_t>(entry.qty) == 0; }
    static uint64_t key(const Entry& entry) { return entry.key; }
  };

  // A lower bound whose steps are conditional moves, not branches: the
  // keys a book changes are as good as random to a branch predictor.
  static std::size_t first_not_below(const std::vector<uint64_t>& run, uint64_t key) {
    if (run.empty()) return 0;
    const uint64_t* base = run.data();
    for (std::size_t len = run.size(); len > 1;) {
      const std::size_t half = len / 2;
      base = base[half] < key ? base + half : base;
      len -= half;
    }
    return static_cast<std::size_t>(base - run.data()) + (*base < key ? 1 : 0);
  }
  // The last run whose first key is not above key, or the first run.
  std::size_t run_of(uint64_t key) const;
  void insert_key(uint64_t key);
  void erase_key(uint64_t key);
  void split(std::size_t r);

  BitPatternTable<Entry, EntryLayout> table_;
  std::vector<std::vector<uint64_t>> runs_;  // none empty
  std::vector<uint64_t> firsts_;             // first key of each run
};

}  // namespace xray
