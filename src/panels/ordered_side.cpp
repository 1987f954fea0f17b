// src/panels/ordered_side.cpp: the quantities and the ordered runs of a book side.
#include "panels/ordered_side.h"

namespace xray {

std::size_t OrderedSide::run_of(uint64_t key) const {
  const auto after = std::upper_bound(firsts_.begin(), firsts_.end(), key);
  return after == firsts_.begin() ? 0 : static_cast<std::size_t>(after - firsts_.begin()) - 1;
}

bool OrderedSide::set(uint64_t key, double qty) {
  const std::size_t pos = table_.locate(key);
  if (table_.is_free_at(pos)) {
    if (qty == 0.0) return false;  // removing an absent key changes nothing
    table_.fill(pos, Entry{key, qty});
    insert_key(key);
    return true;
  }
  double& held = table_.at(pos).qty;
  if (qty == 0.0) {
    table_.erase(pos);
    erase_key(key);
    return true;
  }
  if (std::bit_cast<uint64_t>(held) == std::bit_cast<uint64_t>(qty)) return false;
  held = qty;
  return true;
}

void OrderedSide::insert_key(uint64_t key) {
  if (runs_.empty()) {
    runs_.push_back({key});
    firsts_.push_back(key);
    return;
  }
  const std::size_t r = run_of(key);
  std::vector<uint64_t>& run = runs_[r];
  run.insert(run.begin() + static_cast<std::ptrdiff_t>(first_not_below(run, key)), key);
  firsts_[r] = run.front();  // a key below every other lands in the first run
  if (run.size() > kRunMax) split(r);
}

void OrderedSide::erase_key(uint64_t key) {
  const std::size_t r = run_of(key);
  std::vector<uint64_t>& run = runs_[r];
  run.erase(run.begin() + static_cast<std::ptrdiff_t>(first_not_below(run, key)));
  if (run.empty()) {
    runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(r));
    firsts_.erase(firsts_.begin() + static_cast<std::ptrdiff_t>(r));
  } else {
    firsts_[r] = run.front();
  }
}

void OrderedSide::split(std::size_t r) {
  std::vector<uint64_t>& run = runs_[r];
  const auto half = run.begin() + static_cast<std::ptrdiff_t>(run.size() / 2);
  std::vector<uint64_t> upper(half, run.end());
  run.erase(half, run.end());
  firsts_.insert(firsts_.begin() + static_cast<std::ptrdiff_t>(r + 1), upper.front());
  runs_.insert(runs_.begin() + static_cast<std::ptrdiff_t>(r + 1), std::move(upper));
}

void OrderedSide::set_many(std::vector<Entry>& levels) {
  // Stable, so that among equal keys the last level given stays last.
  std::stable_sort(levels.begin(), levels.end(),
                   [](const Entry& a, const Entry& b) { return a.key < b.key; });
  // The last level of each key decides it; the keys it adds or removes
  // come out in ascending order.
  std::vector<uint64_t> added;
  std::vector<uint64_t> removed;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (i + 1 < levels.size() && levels[i + 1].key == levels[i].key) continue;
    const Entry& level = levels[i];
    const std::size_t pos = table_.locate(level.key);
    if (table_.is_free_at(pos)) {
      if (level.qty == 0.0) continue;
      table_.fill(pos, level);
      added.push_back(level.key);
    } else if (level.qty == 0.0) {
      table_.erase(pos);
      removed.push_back(level.key);
    } else {
      table_.at(pos).qty = level.qty;
    }
  }
  if (added.empty() && removed.empty()) return;
  std::vector<uint64_t> keys;
  keys.reserve(table_.size());
  auto next_added = added.begin();
  auto next_removed = removed.begin();
  for (const std::vector<uint64_t>& run : runs_) {
    for (const uint64_t key : run) {
      while (next_added != added.end() && *next_added < key) keys.push_back(*next_added++);
      if (next_removed != removed.end() && *next_removed == key) {
        ++next_removed;
      } else {
        keys.push_back(key);
      }
    }
  }
  keys.insert(keys.end(), next_added, added.end());
  // Runs start half full, so the next insertions do not split at once.
  std::vector<std::vector<uint64_t>>().swap(runs_);
  std::vector<uint64_t>().swap(firsts_);
  constexpr std::size_t kFill = kRunMax / 2;
  for (std::size_t i = 0; i < keys.size(); i += kFill) {
    const std::size_t end = std::min(keys.size(), i + kFill);
    runs_.emplace_back(keys.begin() + static_cast<std::ptrdiff_t>(i),
                       keys.begin() + static_cast<std::ptrdiff_t>(end));
    firsts_.push_back(keys[i]);
  }
}

void OrderedSide::clear() {
  table_.clear();
  std::vector<std::vector<uint64_t>>().swap(runs_);
  std::vector<uint64_t>().swap(firsts_);
}

}  // namespace xray
