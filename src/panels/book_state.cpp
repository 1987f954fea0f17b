// src/panels/book_state.cpp: the event replay.
#include "panels/book_state.h"

namespace xray {

void apply_book_event(BookState& state, const BookEvent& event) {
  if (event.kind == BookEventKind::Snapshot) {
    state.bids.clear();
    state.asks.clear();
  }
  const auto all = [](uint64_t) { return true; };
  const auto ignore = [](uint64_t) {};
  apply_levels(state.bids, event.bids, all, ignore);
  apply_levels(state.asks, event.asks, all, ignore);
}

std::size_t replay_start(std::span<const BookEvent> events) {
  for (std::size_t i = events.size(); i > 0; --i) {
    if (events[i - 1].kind == BookEventKind::Snapshot) return i - 1;
  }
  return 0;
}

BookState final_book(std::span<const BookEvent> events) {
  BookState book;
  for (const BookEvent& event : events.subspan(replay_start(events))) {
    apply_book_event(book, event);
  }
  return book;
}

}  // namespace xray
