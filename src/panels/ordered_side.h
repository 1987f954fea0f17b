// src/panels/ordered_side.h: one side of a replayed book, kept in price order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace xray {

// Key -> quantity in ascending key order, each key at most once and no
// quantity zero. Entries are held in runs of at most kRunMax consecutive
// entries, so a change searches two short sorted lists and moves at most
// one run: its cost is bounded whatever the keys are (no hashing, nothing
// an input can make collide), and a range of keys is read in order without
// sorting anything.
class OrderedSide {
 public:
  struct Entry {
    uint64_t key;  // total_order_key of the price
    double qty;
  };

  static constexpr std::size_t kRunMax = 512;

  // A zero quantity (either sign) removes the key; any other (NaN too)
  // replaces the quantity held. Returns whether the contents changed.
  bool set(uint64_t key, double qty);
  // The same as set() for each level in order (a later level for the same
  // key wins), done as one sort and one merge: for many levels at once.
  // Reorders levels.
  void set_many(std::vector<Entry>& levels);
  // Frees what is held; costs the runs held, not the largest size reached.
  void clear();

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  // The smallest and the largest key; the side must not be empty.
  uint64_t front_key() const { return runs_.front().front().key; }
  uint64_t back_key() const { return runs_.back().back().key; }

  // Calls visit(entry) for every entry with lo <= key < hi, in key order.
  template <class Visit>
  void visit_range(uint64_t lo, uint64_t hi, Visit visit) const {
    if (runs_.empty() || lo >= hi) return;
    std::size_t r = run_of(lo);
    std::size_t i = first_not_below(runs_[r], lo);
    for (; r < runs_.size(); ++r, i = 0) {
      const std::vector<Entry>& run = runs_[r];
      for (; i < run.size(); ++i) {
        if (run[i].key >= hi) return;
        visit(run[i]);
      }
    }
  }

 private:
  static std::size_t first_not_below(const std::vector<Entry>& run, uint64_t key) {
    return static_cast<std::size_t>(
        std::lower_bound(run.begin(), run.end(), key,
                         [](const Entry& e, uint64_t k) { return e.key < k; }) -
        run.begin());
  }
  // The last run whose first key is not above key, or the first run.
  std::size_t run_of(uint64_t key) const;
  void split(std::size_t r);
  // Replaces the contents by sorted, distinct, nonzero entries.
  void assign(const std::vector<Entry>& sorted);

  std::vector<std::vector<Entry>> runs_;  // none empty
  std::vector<uint64_t> firsts_;          // first key of each run
  std::size_t size_ = 0;
};

}  // namespace xray
