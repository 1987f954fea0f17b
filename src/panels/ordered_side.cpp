// src/panels/ordered_side.cpp: the runs of an ordered book side.
#include "panels/ordered_side.h"

#include <bit>

namespace xray {

std::size_t OrderedSide::run_of(uint64_t key) const {
  const auto after = std::upper_bound(firsts_.begin(), firsts_.end(), key);
  return after == firsts_.begin() ? 0 : static_cast<std::size_t>(after - firsts_.begin()) - 1;
}

bool OrderedSide::set(uint64_t key, double qty) {
  if (runs_.empty()) {
    if (qty == 0.0) return false;
    runs_.push_back({Entry{key, qty}});
    firsts_.push_back(key);
    size_ = 1;
    return true;
  }
  const std::size_t r = run_of(key);
  std::vector<Entry>& run = runs_[r];
  const auto at = run.begin() + static_cast<std::ptrdiff_t>(first_not_below(run, key));
  if (at != run.end() && at->key == key) {
    if (qty == 0.0) {
      run.erase(at);
      --size_;
      if (run.empty()) {
        runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(r));
        firsts_.erase(firsts_.begin() + static_cast<std::ptrdiff_t>(r));
      } else {
        firsts_[r] = run.front().key;
      }
      return true;
    }
    if (std::bit_cast<uint64_t>(at->qty) == std::bit_cast<uint64_t>(qty)) return false;
    at->qty = qty;
    return true;
  }
  if (qty == 0.0) return false;  // removing an absent key changes nothing
  run.insert(at, Entry{key, qty});
  ++size_;
  firsts_[r] = run.front().key;  // a key below every other lands in the first run
  if (run.size() > kRunMax) split(r);
  return true;
}

void OrderedSide::split(std::size_t r) {
  std::vector<Entry>& run = runs_[r];
  const auto half = run.begin() + static_cast<std::ptrdiff_t>(run.size() / 2);
  std::vector<Entry> upper(half, run.end());
  run.erase(half, run.end());
  firsts_.insert(firsts_.begin() + static_cast<std::ptrdiff_t>(r + 1), upper.front().key);
  runs_.insert(runs_.begin() + static_cast<std::ptrdiff_t>(r + 1), std::move(upper));
}

void OrderedSide::set_many(std::vector<Entry>& levels) {
  // Stable, so that among equal keys the last level given stays last.
  std::stable_sort(levels.begin(), levels.end(),
                   [](const Entry& a, const Entry& b) { return a.key < b.key; });
  std::vector<Entry> merged;
  merged.reserve(size_ + levels.size());
  std::size_t next = 0;
  // The last level of the run of one key decides it; a zero removes it.
  const auto take_level = [&] {
    std::size_t last = next;
    while (last + 1 < levels.size() && levels[last + 1].key == levels[next].key) ++last;
    if (levels[last].qty != 0.0) merged.push_back(levels[last]);
    next = last + 1;
  };
  for (const std::vector<Entry>& run : runs_) {
    for (const Entry& held : run) {
      while (next < levels.size() && levels[next].key < held.key) take_level();
      if (next < levels.size() && levels[next].key == held.key) {
        take_level();
      } else {
        merged.push_back(held);
      }
    }
  }
  while (next < levels.size()) take_level();
  assign(merged);
}

void OrderedSide::assign(const std::vector<Entry>& sorted) {
  clear();
  // Runs start half full, so the next insertions do not split at once.
  constexpr std::size_t kFill = kRunMax / 2;
  for (std::size_t i = 0; i < sorted.size(); i += kFill) {
    const std::size_t end = std::min(sorted.size(), i + kFill);
    runs_.emplace_back(sorted.begin() + static_cast<std::ptrdiff_t>(i),
                       sorted.begin() + static_cast<std::ptrdiff_t>(end));
    firsts_.push_back(sorted[i].key);
  }
  size_ = sorted.size();
}

void OrderedSide::clear() {
  std::vector<std::vector<Entry>>().swap(runs_);
  std::vector<uint64_t>().swap(firsts_);
  size_ = 0;
}

}  // namespace xray
