// src/panels/bit_pattern_table.h: the hash table keyed by 64-bit patterns that
// holds the footprint's bins and the sides of the replayed book.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace xray {

// A random value drawn once per process: it seeds the tables' hash, so no
// input can be prepared to land its keys in one probe run.
uint64_t process_hash_seed();

// Keys compare as 64-bit integers: keyed by a double's bit pattern (or its
// total_order_key), -0.0 and 0.0 stay apart and every NaN is an ordinary key.
// Open addressing with linear probing from a seeded hash; a deletion
// shifts later members of its probe run back, so lookups never meet
// tombstones.
//
// The caller lays out the slots, so each keeps only what it needs in the
// probed array: a book side its (key, quantity) pairs, the footprint an
// index into its own list of bins, whose key is read from there. Layout has
//   static bool is_free(const Slot&)       true for Slot{} and for no held slot
//   uint64_t key(const Slot&) const        the key of a held slot
// Whatever reads keys takes the layout with each call rather than holding
// it: a layout that refers to the caller's data then costs no extra load
// per probe (a held pointer cost the footprint a tenth of its time).
//
// Positions from locate() stay valid until the next fill() or erase().
template <class Slot, class Layout>
class BitPatternTable {
 public:
  std::size_t size() const { return count_; }

  // The position of key's slot, or of the free slot where key would go.
  std::size_t locate(uint64_t key, const Layout& layout = Layout{}) {
    if (slots_.empty()) grow(layout);
    const std::size_t mask = slots_.size() - 1;
    std::size_t pos = home(key);
    while (!Layout::is_free(slots_[pos]) && layout.key(slots_[pos]) != key) {
      pos = (pos + 1) & mask;
    }
    return pos;
  }

  bool is_free_at(std::size_t pos) const { return Layout::is_free(slots_[pos]); }
  // A held slot, to change what it holds besides its key.
  Slot& at(std::size_t pos) { return slots_[pos]; }

  // Puts slot, held and with the key given to locate(), into the free slot
  // pos that locate() returned.
  void fill(std::size_t pos, const Slot& slot, const Layout& layout = Layout{}) {
    slots_[pos] = slot;
    ++count_;
    if (count_ * max_fill_ratio() > slots_.size()) grow(layout);
  }

  // Empties the held slot pos. Erasing and growing stay out of line, so the
  // probe loops of callers keep to a few registers.
  [[gnu::noinline]] void erase(std::size_t pos, const Layout& layout = Layout{}) {
    // Backward-shift deletion: later members of the probe run move up into
    // the hole when their home slot allows it.
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = pos;
    for (std::size_t next = (hole + 1) & mask; !Layout::is_free(slots_[next]);
         next = (next + 1) & mask) {
      const std::size_t wanted = home(layout.key(slots_[next]));
      // The entry may fill the hole unless its home lies cyclically in (hole, next].
      const bool stays =
          hole <= next ? (hole < wanted && wanted <= next) : (hole < wanted || wanted <= next);
      if (!stays) {
        slots_[hole] = slots_[next];
        hole = next;
      }
    }
    slots_[hole] = Slot{};
    --count_;
  }

  // The slot holding key, or nullptr.
  const Slot* find(uint64_t key, const Layout& layout = Layout{}) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t pos = home(key);; pos = (pos + 1) & mask) {
      const Slot& slot = slots_[pos];
      if (Layout::is_free(slot)) return nullptr;
      if (layout.key(slot) == key) return &slot;
    }
  }

  // Calls visit(slot) for every held slot, in no particular order.
  template <class Visit>
  void for_each(Visit visit) const {
    for (const Slot& slot : slots_) {
      if (!Layout::is_free(slot)) visit(slot);
    }
  }

  // Empties every slot. A large table mostly free is released instead of
  // swept, so clearing costs what was held (or a small constant) rather than
  // the largest size reached; a small one keeps its room, so a table
  // cleared and refilled over and over does not grow again each time.
  void clear() {
    if (count_ * 8 < slots_.size() && slots_.size() > kAlwaysSwept) {
      std::vector<Slot>().swap(slots_);
    } else {
      std::fill(slots_.begin(), slots_.end(), Slot{});
    }
    count_ = 0;
  }

  // The probes that finding every held key takes, in all: size() when each
  // sits in its home slot. Walks the whole table; for tests.
  std::size_t probes_to_find_all(const Layout& layout = Layout{}) const {
    std::size_t probes = 0;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t pos = 0; pos < slots_.size(); ++pos) {
      if (!Layout::is_free(slots_[pos]))
        probes += ((pos - home(layout.key(slots_[pos]))) & mask) + 1;
    }
    return probes;
  }

 private:
  static constexpr std::size_t kInitialSlots = 64;
  static constexpr std::size_t kAlwaysSwept = 4096;
  // Tables of ordinary size stay a quarter full at most: nearly every lookup
  // then ends on the first probe and the probe loop rarely mispredicts. Very
  // large tables settle for half full, to bound memory.
  static constexpr std::size_t kQuarterFullUpTo = std::size_t{1} << 16;

  // A multiplicative hash alone sends keys in arithmetic progression with a
  // stride near a multiple of its inverse to one slot; the finaliser mixes
  // every bit of the seeded key into the top bits taken as the home.
  std::size_t home(uint64_t key) const {
    uint64_t x = key ^ seed_;
    x = (x ^ (x >> 33)) * 0xFF51AFD7ED558CCDull;
    x = (x ^ (x >> 33)) * 0xC4CEB9FE1A85EC53ull;
    return static_cast<std::size_t>((x ^ (x >> 33)) >> shift_);
  }

  // The table grows when count * max_fill_ratio() exceeds its slots.
  std::size_t max_fill_ratio() const { return slots_.size() <= kQuarterFullUpTo ? 4 : 2; }

  [[gnu::noinline]] void grow(const Layout& layout) {
    std::vector<Slot> old(std::max(kInitialSlots, slots_.size() * 2), Slot{});
    old.swap(slots_);
    shift_ = 64 - std::countr_zero(slots_.size());
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (Layout::is_free(slot)) continue;
      std::size_t pos = home(layout.key(slot));
      while (!Layout::is_free(slots_[pos])) pos = (pos + 1) & mask;
      slots_[pos] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  uint64_t seed_ = process_hash_seed();
  int shift_ = 64;  // set by grow(), which runs before the first probe
};

}  // namespace xray
