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
#include <ctime>
#include <fstream>
#include <string>

#include "bench_random.h"
#include "json/json_lexer.h"
#include "json/json_reader.h"

namespace {

using xray::bench::Random;

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

struct Timing {
  double wall_s = 1e300;  // best wall-clock time of one run
  double cpu_s = 1e300;   // best processor time of one run (less hurt by other load)
};

// Best times of several runs of f.
template <class F>
Timing best_of(int runs, F&& f) {
  Timing best;
  for (int i = 0; i < runs; ++i) {
    const std::clock_t cpu_start = std::clock();
    const auto start = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best.wall_s = std::min(best.wall_s, took.count());
    best.cpu_s =
        std::min(best.cpu_s, static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC);
  }
  return best;
}

void report(const char* what, double mb, const Timing& t) {
  std::printf("%-18s %6.0f MB/s wall, %6.0f MB/s processor time\n", what, mb / t.wall_s,
              mb / t.cpu_s);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "bench_reader.json";
  const double target_mb = argc > 2 ? std::atof(argv[2]) : 50.0;
  const std::string text = market_command(static_cast<std::size_t>(target_mb * 1e6));
  std::ofstream(path, std::ios::binary)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("text: %.1f MB written to %s\n", mb, path.c_str());

  constexpr int kRuns = 9;
  std::size_t held = 0;
  const Timing read = best_of(kRuns, [&] {
    xray::Result<xray::JsonDocument> doc = xray::read_json_value(text);
    if (!doc) std::abort();
    held = doc->bytes_held();
  });
  const Timing check = best_of(kRuns, [&] {
    if (!xray::check_json_syntax(text)) std::abort();
  });
  const Timing skip = best_of(kRuns, [&] {
    xray::JsonLexer lex(text);
    if (!lex.skip_value() || !lex.finish()) std::abort();
  });
  std::printf("best of %d runs; a read includes releasing its tree\n", kRuns);
  report("read_json_value", mb, read);
  report("check_json_syntax", mb, check);
  report("lexer skip_value", mb, skip);
  std::printf("tree bytes_held:   %6.1f MB = %.2f x text\n", static_cast<double>(held) / 1e6,
              static_cast<double>(held) / static_cast<double>(text.size()));
  return 0;
}
