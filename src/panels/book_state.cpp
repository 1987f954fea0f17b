// src/panels/book_state.cpp: the replay that finds the top of the book.
#include "panels/book_state.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "panels/bit_pattern_table.h"
#include "panels/panel_common.h"

namespace xray {
namespace {

// Only which prices are held matters for the top, not their order: each
// side is a hash set of keys, and the ends are found once, at the end.
class HeldPrices {
 public:
  void set(uint64_t key, double qty) {
    const std::size_t pos = table_.locate(key);
    const bool held = !table_.is_free_at(pos);
    if (qty == 0.0) {
      if (held) table_.erase(pos);
    } else if (!held) {
      table_.fill(pos, Slot{key, qty});
    }
  }
  void clear() { table_.clear(); }
  bool empty() const { return table_.size() == 0; }
  uint64_t lowest() const {
    uint64_t lo = UINT64_MAX;
    table_.for_each([&](const Slot& slot) { lo = std::min(lo, slot.key); });
    return lo;
  }
  uint64_t highest() const {
    uint64_t hi = 0;
    table_.for_each([&](const Slot& slot) { hi = std::max(hi, slot.key); });
    return hi;
  }

 private:
  // Every key may occur, so a free slot is told by its quantity: one held
  // is never zero, and +0.0 has the bit pattern of Slot{}.
  struct Slot {
    uint64_t key;
    double qty;
  };
  struct Layout {
    static bool is_free(const Slot& slot) { return std::bit_cast<uint64_t>(slot.qty) == 0; }
    static uint64_t key(const Slot& slot) { return slot.key; }
  };
  BitPatternTable<Slot, Layout> table_;
};

}  // namespace

std::size_t replay_start(std::span<const BookEvent> events) {
  for (std::size_t i = events.size(); i > 0; --i) {
    if (events[i - 1].kind == BookEventKind::Snapshot) return i - 1;
  }
  return 0;
}

std::optional<BookTop> final_book_top(std::span<const BookEvent> events) {
  HeldPrices bids;
  HeldPrices asks;
  for (const BookEvent& event : events.subspan(replay_start(events))) {
    if (event.kind == BookEventKind::Snapshot) {
      bids.clear();
      asks.clear();
    }
    for (const PriceLevel& level : event.bids) bids.set(total_order_key(level.price), level.qty);
    for (const PriceLevel& level : event.asks) asks.set(total_order_key(level.price), level.qty);
  }
  if (bids.empty() || asks.empty()) return std::nullopt;
  return BookTop{bids.highest(), asks.lowest()};
}

}  // namespace xray
