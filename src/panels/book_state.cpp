// src/panels/book_state.cpp: flat sorted book sides and the event replay.
#include "book_state.h"

#include <algorithm>
#include <cstring>

#include "panel_common.h"

namespace xray {

std::size_t BookSide::lower_bound(uint64_t key) const {
  // Branch-free halving: the comparison feeds a conditional move, so a book
  // of a few dozen levels is searched without mispredictions.
  const Entry* base = buf_.data() + head_;
  std::size_t len = tail_ - head_;
  if (len == 0) return 0;
  while (len > 1) {
    const std::size_t half = len / 2;
    base = (base[half - 1].key < key) ? base + half : base;
    len -= half;
  }
  const std::size_t index = static_cast<std::size_t>(base - (buf_.data() + head_));
  return index + (base->key < key ? 1 : 0);
}

void BookSide::set(double price, double qty) {
  const uint64_t key = total_order_key(price);
  const std::size_t pos = head_ + lower_bound(key);
  const bool found = pos < tail_ && buf_[pos].key == key;
  if (qty == 0.0) {
    if (found) erase_at(pos);
  } else if (found) {
    buf_[pos].qty = qty;
  } else {
    insert_at(pos, Entry{key, qty});
  }
}

void BookSide::clear() {
  head_ = tail_ = buf_.size() / 2;
}

void BookSide::insert_at(std::size_t pos, Entry entry) {
  Entry* data = buf_.data();
  const std::size_t left = pos - head_;
  const std::size_t right = tail_ - pos;
  if (head_ > 0 && (left <= right || tail_ == buf_.size())) {
    std::memmove(data + head_ - 1, data + head_, left * sizeof(Entry));
    --head_;
    data[pos - 1] = entry;
    return;
  }
  if (tail_ < buf_.size()) {
    std::memmove(data + pos + 1, data + pos, right * sizeof(Entry));
    ++tail_;
    data[pos] = entry;
    return;
  }
  // Full: regrow with the entries centred, leaving room at both ends.
  const std::size_t count = size() + 1;
  std::vector<Entry> grown(std::max<std::size_t>(32, count * 2));
  const std::size_t new_head = (grown.size() - count) / 2;
  std::copy(data + head_, data + pos, grown.data() + new_head);
  grown[new_head + left] = entry;
  std::copy(data + pos, data + tail_, grown.data() + new_head + left + 1);
  buf_.swap(grown);
  head_ = new_head;
  tail_ = new_head + count;
}

void BookSide::erase_at(std::size_t pos) {
  Entry* data = buf_.data();
  const std::size_t left = pos - head_;
  const std::size_t right = tail_ - pos - 1;
  if (left < right) {
    std::memmove(data + head_ + 1, data + head_, left * sizeof(Entry));
    ++head_;
  } else {
    std::memmove(data + pos, data + pos + 1, right * sizeof(Entry));
    --tail_;
  }
}

void apply_levels(BookSide& side, std::span<const PriceLevel> levels) {
  for (const PriceLevel& level : levels) side.set(level.price, level.qty);
}

void apply_book_event(BookState& state, const BookEvent& event) {
  if (event.kind == BookEventKind::Snapshot) {
    state.bids.clear();
    state.asks.clear();
  }
  apply_levels(state.bids, event.bids);
  apply_levels(state.asks, event.asks);
}

std::size_t replay_start(std::span<const BookEvent> events) {
  for (std::size_t i = events.size(); i > 0; --i) {
    if (events[i - 1].kind == BookEventKind::Snapshot) return i - 1;
  }
  return 0;
}

}  // namespace xray
