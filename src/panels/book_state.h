// src/panels/book_state.h: the top of the book a window of events ends with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "model/dataset.h"

namespace xray {

// The best prices as total_order_keys, so that -0.0, 0.0 and NaN prices
// rank as everywhere else in the book.
struct BookTop {
  uint64_t best_bid_key;  // the largest bid key held
  uint64_t best_ask_key;  // the smallest ask key held
};

// Index of the last snapshot in events, or 0 when there is none: replaying
// from there leaves the same book as replaying all of them. Indexed events
// tell it without a search.
std::size_t replay_start(std::span<const BookEvent> events);

// The top of the book after all of events, replayed from the last snapshot:
// a snapshot first empties both sides, then bids and asks are applied in
// order, a zero quantity (either sign) removing its price. Absent when
// either side ends empty, or when the command was cancelled.
std::optional<BookTop> final_book_top(std::span<const BookEvent> events);

}  // namespace xray
