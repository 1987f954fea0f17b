// src/panels/book_state.h: the order book replayed by the book heatmap.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/dataset.h"
#include "panels/bit_pattern_table.h"
#include "panels/panel_common.h"

namespace xray {

// One side of the book: price -> quantity, each price (bit pattern) at most
// once. Updates go to a BitPatternTable keyed by total_order_key, so one costs
// a hash and a probe or two whatever the size of the book; the entries are put in price
// order only when they are read, once per change rather than once per update.
// Between two reads the changed prices are noted, so a read after a few
// changes merges them into the ordered entries instead of sorting anew.
class BookSide {
 public:
  struct Entry {
    uint64_t key;  // total_order_key of the price
    double qty;
  };

  // A zero quantity (either sign) removes the price; any other (NaN too)
  // replaces the quantity held for it.
  void set(double price, double qty) { set_key(total_order_key(price), qty); }
  void set_key(uint64_t key, double qty);
  void clear();

  bool empty() const { return table_.size() == 0; }
  // Counts the changes to the side: equal counts mean equal contents.
  uint64_t changes() const { return changes_; }
  std::size_t size() const { return table_.size(); }
  // Entries in ascending key order (the total order of the prices).
  std::span<const Entry> entries() const;

 private:
  // A held quantity is never zero, so a quantity of +0.0 marks a free slot.
  struct EntryLayout {
    static bool is_free(const Entry& entry) { return std::bit_cast<uint64_t>(entry.qty) == 0; }
    static uint64_t key(const Entry& entry) { return entry.key; }
  };

  void note_change(uint64_t key);
  void sort_all() const;
  void merge_pending() const;

  BitPatternTable<Entry, EntryLayout> table_;
  uint64_t changes_ = 0;
  mutable std::vector<Entry> sorted_;
  mutable std::vector<Entry> merged_;      // scratch of merge_pending()
  mutable std::vector<uint64_t> pending_;  // keys changed since sorted_ was made
  mutable bool sort_all_ = false;          // too many changes: sort from the table
};

struct BookState {
  BookSide bids;
  BookSide asks;
};

// A snapshot first empties both sides, whatever its lists hold; then bids and
// asks are applied, bids first.
void apply_book_event(BookState& state, const BookEvent& event);

// The same, keeping only prices whose key lies in [lo_key, hi_key): when
// only those can ever be read, the others need not be stored at all.
void apply_book_event_within(BookState& state, const BookEvent& event, uint64_t lo_key,
                             uint64_t hi_key);

// Index of the last snapshot in events, or 0 when there is none: replaying
// from there leaves the same book as replaying all of them.
std::size_t replay_start(std::span<const BookEvent> events);

// The book after all of events, replayed from the last snapshot.
BookState final_book(std::span<const BookEvent> events);

}  // namespace xray
