// "load" benchmark: generates a realistic market dataset as one "load"
// command (one instrument, a random walk around 30000 with tick 0.1: trades,
// 1-minute candles, a 50-level book with a snapshot per minute and diffs
// every 100 ms, funding, open interest, liquidations), then measures the
// command end to end (MB/s of command text, peak extra resident memory
// against the text size), its phases, and the tree path for comparison.
//
// Usage: bench_load <target MB> [file to write the command text to]
//        bench_load --file <load command file> [loads]
// bench/bench_load.py runs it and compares with json.loads + numpy.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_random.h"
#include "instance.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "model/dataset.h"
#include "protocol/command_decode.h"
#include "protocol/model_decode.h"

namespace {

using xray::bench::Random;

// Price in ticks of 0.1 ("30012.3"), quantity in thousandths ("1.25").
void ticks_text(std::string& out, int64_t ticks) {
  xray::append_i64(ticks / 10, out);
  out += '.';
  out += static_cast<char>('0' + ticks % 10);
}
void qty_text(std::string& out, int64_t thousandths) {
  xray::append_i64(thousandths / 1000, out);
  out += '.';
  const int64_t frac = thousandths % 1000;
  out += static_cast<char>('0' + frac / 100);
  if (frac % 100 != 0) out += static_cast<char>('0' + frac / 10 % 10);
  if (frac % 10 != 0) out += static_cast<char>('0' + frac % 10);
}

class MarketWriter {
 public:
  std::string command(std::size_t target_bytes) {
    while (size() < target_bytes) step();
    std::string out = R"({"cmd":"load","dataset":{)";
    const std::pair<const char*, std::string*> lists[] = {
        {"candles", &candles_}, {"trades", &trades_}, {"book", &book_},
        {"funding", &funding_}, {"oi", &oi_},         {"liquidations", &liquidations_}};
    out.reserve(size() + 128);
    for (std::size_t i = 0; i < 6; ++i) {
      out.append(i ? R"(],")" : "\"").append(lists[i].first).append(R"(":[)");
      if (!lists[i].second->empty()) out.append(*lists[i].second, 1);  // drop the first ","
      std::string().swap(*lists[i].second);
    }
    out += "]}}";
    return out;
  }

 private:
  std::size_t size() const {
    return candles_.size() + trades_.size() + book_.size() + funding_.size() + oi_.size() +
           liquidations_.size();
  }

  // 100 ms of market.
  void step() {
    ts_ += 100;
    mid_ = std::max<int64_t>(1000, mid_ + rng_.below(5) - 2);
    high_ = std::max(high_, mid_);
    low_ = std::min(low_, mid_);
    for (int64_t n = rng_.below(7); n > 0; --n) trade();
    if (rng_.below(50) == 0) liquidation();
    book_event(steps_ % 600 == 0);
    if (++steps_ % 600 == 0) minute();
    if (steps_ % 100 == 0) {
      oi_ += R"(,{"ts":)";
      xray::append_i64(ts_, oi_);
      oi_ += R"(,"oi":)";
      open_interest_ += static_cast<double>(rng_.below(2001) - 1000) * 0.5;
      xray::append_number(open_interest_, oi_);
      oi_ += '}';
    }
  }

  void trade() {
    const bool buy = rng_.below(2) == 0;
    const int64_t qty = 1 + rng_.below(2000);
    volume_ += qty;
    trades_ += R"(,{"ts":)";
    xray::append_i64(ts_ + rng_.below(100), trades_);
    trades_ += R"(,"price":)";
    ticks_text(trades_, mid_ + (buy ? 1 : 0));
    trades_ += R"(,"qty":)";
    qty_text(trades_, qty);
    trades_ += buy ? R"(,"side":"buy"})" : R"(,"side":"sell"})";
  }

  void liquidation() {
    liquidations_ += R"(,{"ts":)";
    xray::append_i64(ts_, liquidations_);
    liquidations_ += R"(,"price":)";
    ticks_text(liquidations_, mid_ + rng_.below(21) - 10);
    liquidations_ += R"(,"qty":)";
    qty_text(liquidations_, 1 + rng_.below(20000));
    liquidations_ += rng_.below(2) ? R"(,"side":"long"})" : R"(,"side":"short"})";
  }

  void levels(int64_t from, int64_t dir, int count, bool snapshot) {
    book_ += '[';
    for (int i = 0; i < count; ++i) {
      if (i) book_ += ',';
      book_ += '[';
      ticks_text(book_, from + dir * (snapshot ? i : rng_.below(50)));
      book_ += ',';
      // A diff removes a level now and then (quantity 0).
      qty_text(book_, !snapshot && rng_.below(5) == 0 ? 0 : 1 + rng_.below(9000));
      book_ += ']';
    }
    book_ += ']';
  }

  void book_event(bool snapshot) {
    book_ += R"(,{"ts":)";
    xray::append_i64(ts_, book_);
    book_ += snapshot ? R"(,"kind":"snapshot","bids":)" : R"(,"kind":"diff","bids":)";
    const int n = snapshot ? 50 : 1 + static_cast<int>(rng_.below(4));
    levels(mid_, -1, n, snapshot);
    book_ += R"(,"asks":)";
    levels(mid_ + 1, 1, snapshot ? 50 : 1 + static_cast<int>(rng_.below(4)), snapshot);
    book_ += '}';
  }

  void minute() {
    candles_ += R"(,{"ts":)";
    xray::append_i64(ts_ - 60000, candles_);
    const int64_t prices[] = {open_, high_, low_, mid_};
    const char* keys[] = {R"(,"open":)", R"(,"high":)", R"(,"low":)", R"(,"close":)"};
    for (int i = 0; i < 4; ++i) {
      candles_ += keys[i];
      ticks_text(candles_, prices[i]);
    }
    candles_ += R"(,"volume":)";
    qty_text(candles_, volume_);
    candles_ += '}';
    open_ = high_ = low_ = mid_;
    volume_ = 0;
    funding_ += R"(,{"ts":)";
    xray::append_i64(ts_, funding_);
    funding_ += R"(,"rate":)";
    xray::append_number(std::round((0.0001 + (rng_.unit() - 0.5) * 0.0002) * 1e8) / 1e8, funding_);
    funding_ += '}';
  }

  Random rng_{20240611};
  int64_t ts_ = 1700000000000;
  int64_t steps_ = 0;
  int64_t mid_ = 300000;  // ticks of 0.1
  int64_t open_ = mid_, high_ = mid_, low_ = mid_, volume_ = 0;
  double open_interest_ = 512345678.0;
  std::string candles_, trades_, book_, funding_, oi_, liquidations_;
};

// Resident set now, and the peak since the last reset, in bytes.
std::size_t status_kb(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  std::size_t kb = 0;
  const std::size_t n = std::strlen(field);
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0) kb = std::strtoull(line + n + 1, nullptr, 10);
  }
  if (f != nullptr) std::fclose(f);
  return kb * 1024;
}
void reset_peak() {
  malloc_trim(0);
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f != nullptr) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

double wall_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
// The machines are shared: CPU time of this process is the steadier measure.
double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Measure {
  double wall = 1e300;  // best of the runs, seconds
  double cpu = 1e300;
  double peak_extra = 0;  // bytes above the resident set before the first run
};

// The first run is measured for memory (its result is kept until the peak
// has been read); times are the best of `runs`.
template <class F>
Measure measure(int runs, F&& run) {
  Measure m;
  for (int i = 0; i < runs; ++i) {
    reset_peak();
    const std::size_t before = status_kb("VmRSS:");
    const double wall = wall_now();
    const double cpu = cpu_now();
    auto kept = run();
    m.cpu = std::min(m.cpu, cpu_now() - cpu);
    m.wall = std::min(m.wall, wall_now() - wall);
    if (i == 0) {
      m.peak_extra = static_cast<double>(status_kb("VmHWM:")) - static_cast<double>(before);
    }
  }
  return m;
}

// A load command read from a file, loaded `runs` times into a fresh
// instance (dropped outside the timing): median and spread of MB/s by CPU
// time and by wall clock. With one run it is a steady target for profilers.
int load_file(const char* path, int runs) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "bench_load: cannot read %s\n", path);
    return 2;
  }
  in.seekg(0, std::ios::end);
  std::string text(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0).read(text.data(), static_cast<std::streamsize>(text.size()));
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::vector<double> cpu;
  std::vector<double> wall;
  std::string response;
  for (int i = 0; i < runs; ++i) {
    auto x = std::make_unique<xray::XrayInstance>();
    const double w = wall_now();
    const double c = cpu_now();
    response = x->command(text);
    cpu.push_back(mb / (cpu_now() - c));
    wall.push_back(mb / (wall_now() - w));
  }
  std::printf("text %.1f MB, response %s\n", mb, response.c_str());
  for (auto [what, v] : {std::pair{"CPU time", &cpu}, std::pair{"wall clock", &wall}}) {
    std::sort(v->begin(), v->end());
    std::printf("%-10s median %5.0f MB/s, %5.0f-%5.0f over %d loads\n", what, (*v)[v->size() / 2],
                v->front(), v->back(), runs);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--file") == 0) {
    return load_file(argv[2], argc > 3 ? std::max(1, std::atoi(argv[3])) : 11);
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_load <target MB> [output file]\n");
    std::fprintf(stderr, "       bench_load --file <load command file> [loads, 11]\n");
    return 2;
  }
  const double target_mb = std::atof(argv[1]);
  std::string text = MarketWriter().command(static_cast<std::size_t>(target_mb * 1e6));
  if (argc > 2) {
    std::ofstream(argv[2], std::ios::binary)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  const double mb = static_cast<double>(text.size()) / 1e6;
  const int runs = target_mb > 500 ? 2 : 5;

  std::string response;
  const Measure load = measure(runs, [&] {
    auto x = std::make_unique<xray::XrayInstance>();
    response = x->command(text);
    return x;
  });
  const Measure syntax = measure(runs, [&] { return xray::check_json_syntax(text).ok(); });
  const Measure one_pass = measure(runs, [&] { return xray::decode_load_in_one_pass(text); });
  const Measure decode = measure(runs, [&] { return xray::read_checked_command(text); });
  const Measure tree = measure(runs, [&] {
    auto doc = xray::read_json_value(text);
    const xray::JsonValue* d = doc->root().find("dataset");
    auto dataset = xray::decode_dataset_value(*d);
    xray::sort_by_ts(*dataset);
    return std::make_pair(std::move(doc), std::move(dataset));
  });

  std::printf("text %.1f MB, response %s\n", mb, response.c_str());
  std::printf("%-34s %14s %14s\n", "", "CPU time", "wall clock");
  const auto row = [&](const char* what, const Measure& m, bool memory) {
    std::printf("%-34s %7.0f MB/s   %7.0f MB/s", what, mb / m.cpu, mb / m.wall);
    if (memory) std::printf("  peak extra RSS %.2fx text", m.peak_extra / 1e6 / mb);
    std::printf("\n");
  };
  row("load command, end to end", load, true);
  row("  of which one pass (check, decode)", one_pass, true);
  row("exact path: check_json_syntax", syntax, false);
  row("  then decoding from spans", decode, true);
  row("tree path (read + decode + sort)", tree, true);
  return 0;
}
