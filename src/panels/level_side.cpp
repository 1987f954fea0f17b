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
  held.many = std::make_unique<Crowded>();
  for (const Entry& entry : held.few) held.many->set(entry.key, entry.qty);
  std::vector<Entry>().swap(held.few);
  return held.many->set(key, qty);
}

bool LevelSide::Crowded::set(uint64_t key, double qty) {
  double replaced = 0.0;
  if (!side.set(key, qty, &replaced)) return false;
  if (replaced != 0.0) count(replaced, -1.0);
  if (qty != 0.0) count(qty, 1.0);
  return true;
}

LevelSide::Level* LevelSide::held(std::size_t level) {
  const Slot* slot = slots_.find(level + 1);
  return slot == nullptr ? nullptr : &levels_[slot->index];
}

const LevelSide::Level* LevelSide::held(std::size_t level) const {
  const Slot* slot = slots_.find(level + 1);
  return slot == nullptr ? nullptr : &levels_[slot->index];
}

FoldBounds LevelSide::fold_bounds(std::size_t level) {
  Level* at = held(level);
  // Sides hold fewer than 2^30 prices: the memory limits see to it.
  if (at != nullptr && at->many && at->many->wild == 0 && !at->many->side.empty() &&
      at->many->side.size() < (std::size_t{1} << 30)) {
    Crowded& crowded = *at->many;
    // Drift past the slack the bounds leave anyway (only huge quantities
    // cancelling make it grow that fast) is ended by adding up again.
    if (crowded.sum.drift() > std::fabs(crowded.sum.hi()) * 0x1p-50 + 0x1p-1000 ||
        crowded.abs.drift() > crowded.abs.hi() * 0x1p-50 + 0x1p-1000) {
      crowded.sum = RunningSum{};
      crowded.abs = RunningSum{};
      crowded.side.visit([&](const Entry& entry) { crowded.count(entry.qty, 1.0); });
      folded_ += crowded.side.size();
    }
    return xray::fold_bounds(crowded.sum, crowded.abs, crowded.side.size());
  }
  const double exact = fold(level);
  return {exact, exact};
}

double LevelSide::fold(std::size_t level) const {
  double total = -0.0;
  const Level* at = held(level);
  if (at == nullptr) return total;
  if (!at->many) {
    for (const Entry& entry : at->few) total += entry.qty;
    folded_ += at->few.size();
    return total;
  }
  at->many->side.visit([&](const Entry& entry) { total += entry.qty; });
  folded_ += at->many->side.size();
  return total;
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
