// src/panels/hash_seed.cpp: the per-process seed of the hashed tables.
#include <sys/random.h>

#include <chrono>
#include <cstdint>

#include "panels/bit_pattern_table.h"

namespace xray {
namespace {

uint64_t draw_seed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) {
    return seed;
  }
  // Without the kernel's entropy (very early boot), the clock and where this
  // library was mapped still differ from run to run.
  static const int anchor = 0;
  const auto ticks =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return ticks * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(&anchor);
}

}  // namespace

uint64_t process_hash_seed() {
  static const uint64_t seed = draw_seed();
  return seed;
}

}  // namespace xray
