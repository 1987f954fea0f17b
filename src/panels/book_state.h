// src/panels/book_state.h: the order book replayed by the book heatmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../dataset.h"

namespace xray {

// One side of the book: price -> quantity, each price at most once, kept in
// the total order of the prices. A flat array with free room at both ends, so
// an insertion or removal shifts only the shorter part: updates near either
// end of the side (where the best price lives) move few entries.
class BookSide {
 public:
  struct Entry {
    uint64_t key;  // total_order_key of the price
    double qty;
  };

  // A zero quantity (either sign) removes the price; any other (NaN too)
  // replaces the quantity held for it.
  void set(double price, double qty);
  void clear();

  bool empty() const { return head_ == tail_; }
  std::size_t size() const { return tail_ - head_; }
  // Entries in ascending key order.
  std::span<const Entry> entries() const { return {buf_.data() + head_, tail_ - head_}; }
  // Index (into entries()) of the first entry whose key is not less than key.
  std::size_t lower_bound(uint64_t key) const;

 private:
  void insert_at(std::size_t pos, Entry entry);
  void erase_at(std::size_t pos);

  std::vector<Entry> buf_;  // entries live in buf_[head_, tail_)
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
};

struct BookState {
  BookSide bids;
  BookSide asks;
};

// Applies levels in list order; a later level for the same price wins.
void apply_levels(BookSide& side, std::span<const PriceLevel> levels);

// A snapshot first empties both sides, whatever its lists hold; then bids and
// asks are applied, bids first.
void apply_book_event(BookState& state, const BookEvent& event);

// Index of the last snapshot in events, or 0 when there is none: replaying
// from there leaves the same book as replaying all of them.
std::size_t replay_start(std::span<const BookEvent> events);

}  // namespace xray
