// src/panels/book_state.cpp: the top of the book, found from the end of a window.
#include "panels/book_state.h"

#include <functional>
#include <optional>

#include "core/cancel.h"
#include "panels/bit_pattern_table.h"
#include "panels/panel_common.h"

namespace xray {
namespace {

// The best price of one side, found walking the events backwards: the
// first quantity met for a price (the last one given) is the one it ends
// with. Only prices beyond the best found so far can change it, so those at
// or behind it are passed over at the cost of a comparison; prices beyond it
// met with a zero quantity are remembered, since they end removed.
template <class Beyond>
class BestPrice {
 public:
  // The next level back in time.
  void meet(uint64_t key, double qty) {
    if (found_ && !Beyond{}(key, best_)) return;
    const std::size_t pos = removed_.locate(key);
    if (!removed_.is_free_at(pos)) return;
    if (qty == 0.0) {
      removed_.fill(pos, Slot{key, 1.0});
    } else {
      best_ = key;
      found_ = true;
    }
  }
  std::optional<uint64_t> best() const { return found_ ? std::optional(best_) : std::nullopt; }

 private:
  // Every key may occur, so a free slot is told by a mark beside it.
  struct Slot {
    uint64_t key;
    double mark;  // 1.0 when held
  };
  struct Layout {
    static bool is_free(const Slot& slot) { return slot.mark == 0.0; }
    static uint64_t key(const Slot& slot) { return slot.key; }
  };
  BitPatternTable<Slot, Layout> removed_;
  uint64_t best_ = 0;
  bool found_ = false;
};

}  // namespace

std::size_t replay_start(std::span<const BookEvent> events) {
  if (events.empty()) return 0;
  // An indexed event knows how far back its last snapshot lies.
  const uint32_t since = events.back().since_snapshot;
  if (since == BookEvent::kNoSnapshot) return 0;
  if (since != BookEvent::kSnapshotUnknown) {
    return since < events.size() ? events.size() - 1 - since : 0;
  }
  for (std::size_t i = events.size(); i > 0; --i) {
    if (events[i - 1].kind == BookEventKind::Snapshot) return i - 1;
  }
  return 0;
}

std::optional<BookTop> final_book_top(std::span<const BookEvent> events) {
  BestPrice<std::greater<>> bid;  // the highest bid
  BestPrice<std::less<>> ask;     // the lowest ask
  const std::size_t first = replay_start(events);
  CancelPoll cancel;
  for (std::size_t e = events.size(); e > first; --e) {
    if (cancel.due()) return std::nullopt;
    const BookEvent& event = events[e - 1];
    // Within an event too the later level for a price wins.
    for (auto level = event.bids.rbegin(); level != event.bids.rend(); ++level) {
      bid.meet(total_order_key(level->price), level->qty);
    }
    for (auto level = event.asks.rbegin(); level != event.asks.rend(); ++level) {
      ask.meet(total_order_key(level->price), level->qty);
    }
  }
  if (!bid.best() || !ask.best()) return std::nullopt;
  return BookTop{*bid.best(), *ask.best()};
}

}  // namespace xray
