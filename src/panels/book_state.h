// src/panels/book_state.h: the order book replayed by the book heatmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/dataset.h"
#include "panels/ordered_side.h"
#include "panels/panel_common.h"

namespace xray {

// Each side maps the total_order_key of a price to its quantity, so two
// prices are one entry only when bit-identical (-0.0 and 0.0 stay apart).
struct BookState {
  OrderedSide bids;
  OrderedSide asks;
};

// From this many levels in one event on, a side takes them as one sort and
// merge rather than one by one, when they are many next to what it holds.
inline constexpr std::size_t kBatchLevels = 64;

// Applies levels in order to side, skipping prices whose key keep() refuses,
// and calls changed(key) for every key whose quantity may have changed.
template <class Keep, class Changed>
void apply_levels(OrderedSide& side, std::span<const PriceLevel> levels, Keep keep,
                  Changed changed) {
  if (levels.size() >= kBatchLevels && levels.size() * kBatchLevels >= side.size()) {
    std::vector<OrderedSide::Entry> batch;
    batch.reserve(levels.size());
    for (const PriceLevel& level : levels) {
      const uint64_t key = total_order_key(level.price);
      if (keep(key)) batch.push_back({key, level.qty});
    }
    for (const OrderedSide::Entry& entry : batch) changed(entry.key);
    side.set_many(batch);
    return;
  }
  for (const PriceLevel& level : levels) {
    const uint64_t key = total_order_key(level.price);
    if (keep(key) && side.set(key, level.qty)) changed(key);
  }
}

// A snapshot first empties both sides, whatever its lists hold; then bids and
// asks are applied, bids first.
void apply_book_event(BookState& state, const BookEvent& event);

// Index of the last snapshot in events, or 0 when there is none: replaying
// from there leaves the same book as replaying all of them.
std::size_t replay_start(std::span<const BookEvent> events);

// The book after all of events, replayed from the last snapshot.
BookState final_book(std::span<const BookEvent> events);

}  // namespace xray
