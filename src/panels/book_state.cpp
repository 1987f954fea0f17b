// src/panels/book_state.cpp: hashed book sides and the event replay.
#include "panels/book_state.h"

#include <algorithm>
#include <bit>

namespace xray {

void BookSide::set_key(uint64_t key, double qty) {
  const std::size_t pos = table_.locate(key);
  if (table_.is_free_at(pos)) {
    if (qty == 0.0) return;  // removing an absent price changes nothing
    table_.fill(pos, Entry{key, qty});
    note_change(key);
    return;
  }
  double& held = table_.at(pos).qty;
  if (qty == 0.0) {
    table_.erase(pos);
  } else if (std::bit_cast<uint64_t>(held) == std::bit_cast<uint64_t>(qty)) {
    return;  // the same quantity again changes nothing
  } else {
    held = qty;
  }
  note_change(key);
}

void BookSide::note_change(uint64_t key) {
  ++changes_;
  if (sort_all_) return;
  // Past as many changes as entries, sorting the table anew costs no more.
  if (pending_.size() > sorted_.size()) {
    sort_all_ = true;
    pending_.clear();
    return;
  }
  pending_.push_back(key);
}

void BookSide::clear() {
  if (table_.size() == 0) return;
  table_.clear();
  ++changes_;
  sorted_.clear();
  pending_.clear();
  sort_all_ = false;
}

void BookSide::sort_all() const {
  sorted_.clear();
  table_.for_each([&](const Entry& entry) { sorted_.push_back(entry); });
  std::sort(sorted_.begin(), sorted_.end(),
            [](const Entry& a, const Entry& b) { return a.key < b.key; });
}

// One merge of the ordered entries with the changed keys, each taken with
// what the table holds for it now (nothing when it was removed).
void BookSide::merge_pending() const {
  std::sort(pending_.begin(), pending_.end());
  pending_.erase(std::unique(pending_.begin(), pending_.end()), pending_.end());
  merged_.clear();
  std::size_t i = 0;
  for (const uint64_t key : pending_) {
    while (i < sorted_.size() && sorted_[i].key < key) merged_.push_back(sorted_[i++]);
    if (i < sorted_.size() && sorted_[i].key == key) ++i;
    if (const Entry* now = table_.find(key)) merged_.push_back(*now);
  }
  merged_.insert(merged_.end(), sorted_.begin() + static_cast<std::ptrdiff_t>(i), sorted_.end());
  sorted_.swap(merged_);
}

std::span<const BookSide::Entry> BookSide::entries() const {
  if (sort_all_) {
    sort_all();
  } else if (!pending_.empty()) {
    merge_pending();
  }
  sort_all_ = false;
  pending_.clear();
  return sorted_;
}

namespace {

template <class Keep>
void apply_levels_kept(BookSide& side, std::span<const PriceLevel> levels, Keep keep) {
  for (const PriceLevel& level : levels) {
    const uint64_t key = total_order_key(level.price);
    if (keep(key)) side.set_key(key, level.qty);
  }
}

template <class Keep>
void apply_event_kept(BookState& state, const BookEvent& event, Keep keep) {
  if (event.kind == BookEventKind::Snapshot) {
    state.bids.clear();
    state.asks.clear();
  }
  apply_levels_kept(state.bids, event.bids, keep);
  apply_levels_kept(state.asks, event.asks, keep);
}

}  // namespace

void apply_book_event(BookState& state, const BookEvent& event) {
  apply_event_kept(state, event, [](uint64_t) { return true; });
}

void apply_book_event_within(BookState& state, const BookEvent& event, uint64_t lo_key,
                             uint64_t hi_key) {
  apply_event_kept(state, event, [&](uint64_t key) { return lo_key <= key && key < hi_key; });
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
