// src/panels/ordered_side.cpp: the quantities and the ordered runs of a book side.
#include "panels/ordered_side.h"

namespace xray {

std::size_t OrderedSide::run_of(uint64_t key) const {
  const auto after = std::upper_bound(firsts_.begin(), firsts_.end(), key);
  return after == firsts_.begin() ? 0 : static_cast<std::size_t>(after - firsts_.begin()) - 1;
}

bool OrderedSide::set(uint64_t key, double qty, double* replaced) {
  const std::size_t pos = table_.locate(key);
  if (table_.is_free_at(pos)) {
    if (qty == 0.0) return false;  // removing an absent key changes nothing
    table_.fill(pos, Entry{key, qty});
    insert_key(key);
    return true;
  }
  double& held = table_.at(pos).qty;
  if (replaced != nullptr) *replaced = held;
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

void OrderedSide::clear() {
  table_.clear();
  std::vector<std::vector<uint64_t>>().swap(runs_);
  std::vector<uint64_t>().swap(firsts_);
}

}  // namespace xray
