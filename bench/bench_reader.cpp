// Reader benchmark: generates a ~50 MB "load" command shaped like a market
// dataset (deterministic seed), writes it to a file for the Python
// comparison (bench_reader_json_loads.py), then measures read_json_value,
// the tree's heap bytes against the text, check_json_syntax and skip_value.
//
// Usage: bench_reader [output file, default bench_reader.json] [target MB, default 50]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "json_reader.h"

namespace {

// splitmix64: a small generator whose output is the same everywhere.
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

 private:
  uint64_t state_;
};

// A price in ticks of 0.1 as text, e.g. 300123 -> "30012.3".
void append_ticks(std::string& out, int64_t ticks) {
  out += std::to_string(ticks / 10);
  out += '.';
  out += static_cast<char>('0' + ticks % 10);
}

// A quantity in thousandths, e.g. 1250 -> "1.25", 7 -> "0.007".
void append_qty(std::string& out, int64_t thousandths) {
  out += std::to_string(thousandths / 1000);
  int64_t frac = thousandths % 1000;
  if (frac == 0) return;
  out += '.';
  char digits[4] = {static_cast<char>('0' + frac / 100), static_cast<char>('0' + frac / 10 % 10),
                    static_cast<char>('0' + frac % 10), 0};
  int len = 3;
  while (digits[len - 1] == '0') --len;
  out.append(digits, static_cast<std::size_t>(len));
}

void append_levels(std::string& out, Random& rng, int64_t from_ticks, int64_t step) {
  const int count = 5 + static_cast<int>(rng.below(16));
  out += '[';
  for (int i = 0; i < count; ++i) {
    if (i) out += ',';
    out += '[';
    append_ticks(out, from_ticks + step * (i + rng.below(2)));
    out += ',';
    append_qty(out, 1 + rng.below(5000));
    out += ']';
  }
  out += ']';
}

std::string market_command(std::size_t target_bytes) {
  Random rng(20240611);
  std::string out = R"({"cmd":"load","dataset":{"trades":[)";
  int64_t ts = 1700000000000;
  int64_t ticks = 300000;  // 30000.0
  const std::size_t trades_end = target_bytes * 6 / 10;
  for (bool first = true; out.size() < trades_end; first = false) {
    if (!first) out += ',';
    ts += rng.below(50);
    ticks = std::max<int64_t>(1, ticks + rng.below(7) - 3);
    out += R"({"ts":)";
    out += std::to_string(ts);
    out += R"(,"price":)";
    append_ticks(out, ticks);
    out += R"(,"qty":)";
    append_qty(out, 1 + rng.below(3000));
    out += rng.below(2) ? R"(,"side":"buy"})" : R"(,"side":"sell"})";
  }
  out += R"(],"book":[)";
  ts = 1700000000000;
  for (bool first = true; out.size() + 4 < target_bytes; first = false) {
    if (!first) out += ',';
    ts += 100 + rng.below(100);
    ticks = std::max<int64_t>(30, ticks + rng.below(7) - 3);
    out += R"({"ts":)";
    out += std::to_string(ts);
    out += R"(,"kind":)";
    out += rng.below(50) ? R"("diff")" : R"("snapshot")";
    out += R"(,"bids":)";
    append_levels(out, rng, ticks - 1, -1);
    out += R"(,"asks":)";
    append_levels(out, rng, ticks + 1, 1);
    out += '}';
  }
  out += "]}}";
  return out;
}

// Best time of several runs of f, in seconds.
template <class F>
double best_seconds(int runs, F&& f) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "bench_reader.json";
  const double target_mb = argc > 2 ? std::atof(argv[2]) : 50.0;
  const std::string text = market_command(static_cast<std::size_t>(target_mb * 1e6));
  std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("text: %.1f MB written to %s\n", mb, path.c_str());

  constexpr int kRuns = 7;
  std::size_t held = 0;
  const double read_s = best_seconds(kRuns, [&] {
    xray::Result<xray::JsonDocument> doc = xray::read_json_value(text);
    if (!doc) std::abort();
    held = doc->bytes_held();
  });
  const double check_s = best_seconds(kRuns, [&] {
    if (!xray::check_json_syntax(text)) std::abort();
  });
  const double skip_s = best_seconds(kRuns, [&] {
    xray::JsonLexer lex(text);
    if (!lex.skip_value() || !lex.finish()) std::abort();
  });
  std::printf("read_json_value:   %7.0f MB/s (best of %d, release of the tree included)\n",
              mb / read_s, kRuns);
  std::printf("tree bytes_held:   %7.1f MB = %.2f x text\n", static_cast<double>(held) / 1e6,
              static_cast<double>(held) / static_cast<double>(text.size()));
  std::printf("check_json_syntax: %7.0f MB/s\n", mb / check_s);
  std::printf("lexer skip_value:  %7.0f MB/s\n", mb / skip_s);
  return 0;
}
