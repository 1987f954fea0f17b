// src/panels/book_state.cpp: hashed book sides and the event replay.
#include "panels/book_state.h"

#include <algorithm>
#include <bit>

namespace xray {
namespace {

constexpr std::size_t kInitialSlots = 64;
// Books of ordinary size keep their table a quarter full at most: nearly
// every update then finds its slot on the first probe and the probe loop
// rarely mispredicts. Very large sides settle for half full, to bound memory.
constexpr std::size_t kQuarterFullUpTo = std::size_t{1} << 16;


bool is_free(const BookSide::Entry& slot) { return std::bit_cast<uint64_t>(slot.qty) == 0; }

}  // namespace

std::size_t BookSide::max_fill_ratio() const {
  return slots_.size() <= kQuarterFullUpTo ? 4 : 2;
}

void BookSide::set_key(uint64_t key, double qty) {
  if (slots_.empty()) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = home(key);; slot = (slot + 1) & mask) {
    Entry& entry = slots_[slot];
    if (is_free(entry)) {
      if (qty == 0.0) return;  // removing an absent price changes nothing
      entry = Entry{key, qty};
      ++count_;
      note_change(key);
      if (count_ * max_fill_ratio() > slots_.size()) grow();
      return;
    }
    if (entry.key == key) {
      if (qty == 0.0) {
        erase_slot(slot);
      } else if (std::bit_cast<uint64_t>(entry.qty) == std::bit_cast<uint64_t>(qty)) {
        return;  // the same quantity again changes nothing
      } else {
        entry.qty = qty;
      }
      note_change(key);
      return;
    }
  }
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

const BookSide::Entry* BookSide::find(uint64_t key) const {
  if (slots_.empty()) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = home(key);; slot = (slot + 1) & mask) {
    const Entry& entry = slots_[slot];
    if (is_free(entry)) return nullptr;
    if (entry.key == key) return &entry;
  }
}

void BookSide::erase_slot(std::size_t slot) {
  // Backward-shift deletion: later members of the probe run move up into the
  // hole when their home slot allows it, so lookups never need tombstones.
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & mask; !is_free(slots_[next]); next = (next + 1) & mask) {
    const std::size_t wanted = home(slots_[next].key);
    // The entry may fill the hole unless its home lies cyclically in (hole, next].
    const bool stays = hole <= next ? (hole < wanted && wanted <= next)
                                    : (hole < wanted || wanted <= next);
    if (!stays) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = Entry{0, 0.0};
  --count_;
}

void BookSide::grow() {
  std::vector<Entry> old(std::max(kInitialSlots, slots_.size() * 2), Entry{0, 0.0});
  old.swap(slots_);
  shift_ = 64 - std::countr_zero(slots_.size());
  const std::size_t mask = slots_.size() - 1;
  for (const Entry& entry : old) {
    if (is_free(entry)) continue;
    std::size_t slot = home(entry.key);
    while (!is_free(slots_[slot])) slot = (slot + 1) & mask;
    slots_[slot] = entry;
  }
}

void BookSide::clear() {
  if (count_ == 0) return;
  std::fill(slots_.begin(), slots_.end(), Entry{0, 0.0});
  count_ = 0;
  ++changes_;
  sorted_.clear();
  pending_.clear();
  sort_all_ = false;
}

void BookSide::sort_all() const {
  sorted_.clear();
  for (const Entry& entry : slots_) {
    if (!is_free(entry)) sorted_.push_back(entry);
  }
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
    if (const Entry* now = find(key)) merged_.push_back(*now);
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

void apply_levels(BookSide& side, std::span<const PriceLevel> levels) {
  apply_levels_kept(side, levels, [](uint64_t) { return true; });
}

void apply_book_event(BookState& state, const BookEvent& event) {
  apply_event_kept(state, event, [](uint64_t) { return true; });
}

void apply_book_event_within(BookState& state, const BookEvent& event, uint64_t lo_key,
                             uint64_t hi_key) {
  apply_event_kept(state, event,
                   [&](uint64_t key) { return lo_key <= key && key < hi_key; });
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
