// src/panels/level_side.cpp: changes to the levels of one side.
#include "panels/level_side.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace xray {
namespace {

// The place of key among a few ascending keys, counted rather than searched:
// which way a search turns is as good as random for the keys a book
// changes, and a short count has no turns to mispredict.
std::size_t keys_below(const std::vector<LevelSide::Entry>& few, uint64_t key) {
  std::size_t below = 0;
  for (const LevelSide::Entry& entry : few) below += entry.key < key ? 1 : 0;
  return below;
}

}  // namespace

bool LevelSide::set(std::size_t level, uint64_t key, double qty) {
  const std::size_t pos = slots_.locate(level + 1);
  if (slots_.is_free_at(pos)) {
    if (qty == 0.0) return false;  // removing from an empty level changes nothing
    slots_.fill(pos, Slot{level + 1, levels_.size()});
    levels_.emplace_back();
    level_of_.push_back(level);
    levels_.back().few.push_back(Entry{key, qty});
    return true;
  }
  Level& held = levels_[slots_.at(pos).index];
  if (held.many) return held.many->set(key, qty);
  if (held.few.size() < kFewMax || qty == 0.0) return set_few(held, key, qty);
  // A full array takes a change to a price it holds; a new price moves the
  // level into an ordered side for good (until the side is cleared).
  const auto at = held.few.begin() + static_cast<std::ptrdiff_t>(keys_below(held.few, key));
  if (at != held.few.end() && at->key == key) return set_few(held, key, qty);
  held.many = std::make_unique<OrderedSide>();
  for (const Entry& entry : held.few) held.many->set(entry.key, entry.qty);
  std::vector<Entry>().swap(held.few);
  return held.many->set(key, qty);
}

bool LevelSide::set_few(Level& level, uint64_t key, double qty) {
  std::vector<Entry>& few = level.few;
  const auto at = few.begin() + static_cast<std::ptrdiff_t>(keys_below(few, key));
  const bool held = at != few.end() && at->key == key;
  if (qty == 0.0) {
    if (!held) return false;
    few.erase(at);
    return true;
  }
  if (!held) {
    few.insert(at, Entry{key, qty});
    return true;
  }
  if (std::bit_cast<uint64_t>(at->qty) == std::bit_cast<uint64_t>(qty)) return false;
  at->qty = qty;
  return true;
}

}  // namespace xray
