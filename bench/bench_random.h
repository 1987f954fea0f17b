// bench/bench_random.h: the benchmarks' random numbers, the same everywhere.
#pragma once

#include <cstdint>

namespace xray::bench {

// splitmix64: a small generator whose output is the same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int64_t below(int64_t n) { return static_cast<int64_t>(next() % static_cast<uint64_t>(n)); }
  double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1)

 private:
  uint64_t state_;
};

}  // namespace xray::bench
