// bench/bench_frame.cpp: scrubbing cost against window size, encode_frame
// throughput, and a four-panel frame on one and two worker threads.
//
//   bench_frame [--hours H] [--dump DIR]
//
// --dump writes the large frame texts to DIR for bench/bench_frame_json.py.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/evaluate_frame.h"
#include "engine/window.h"
#include "engine/worker_pool.h"
#include "market_data.h"
#include "model/frame.h"
#include "model/spec.h"
#include "protocol/frame_encode.h"

namespace xray::bench {
namespace {

constexpr int64_t kHourMs = 3'600'000;

XraySpec footprint_only(std::optional<int64_t> from_ts) {
  return XraySpec{"bench", "BTCUSDT", from_ts, std::nullopt, {{XrayPanel::Footprint{0.5, 60000}}}};
}

XraySpec four_panels(std::optional<int64_t> from_ts = std::nullopt) {
  return XraySpec{"bench",
                  "BTCUSDT",
                  from_ts,
                  std::nullopt,
                  {{XrayPanel::Footprint{0.5, 60000}},
                   {XrayPanel::BookHeatmap{0.5, 1000, 40}},
                   {XrayPanel::LiquidationMap{5.0}},
                   {XrayPanel::FundingOiDivergence{60000}}}};
}

Frame must(Result<Frame> frame) {
  if (!frame) {
    std::fprintf(stderr, "frame failed: %s\n", display_text(frame.error()).c_str());
    std::exit(1);
  }
  return std::move(frame).value();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct ScrubResult {
  double ms_per_frame;
  double window_records;  // mean records per frame
  double text_bytes;      // mean frame text size
};

// `frames` evaluations plus encodings at cursors spread evenly over the data,
// each over [cursor - window_ms, cursor] (the whole prefix when window_ms < 0).
ScrubResult scrub(const Dataset& d, int64_t first_ts, int64_t last_ts, int64_t window_ms,
                  int frames, XraySpec (*make_spec)(std::optional<int64_t>) = four_panels) {
  double records = 0;
  double bytes = 0;
  const double start = now_seconds();
  for (int i = 0; i < frames; ++i) {
    const int64_t cursor = first_ts + (last_ts - first_ts) * (i + 1) / frames;
    const std::optional<int64_t> from =
        window_ms < 0 ? std::nullopt : std::optional<int64_t>(cursor - window_ms);
    const XraySpec spec = make_spec(from);
    const Frame frame = must(evaluate_frame(d, spec, cursor));
    const std::string text = encode_frame(frame);
    bytes += static_cast<double>(text.size());
    const DatasetWindow w = cut_window(d, from, cursor);
    records += static_cast<double>(w.candles.size() + w.trades.size() + w.book.size() +
                                   w.funding.size() + w.oi.size() + w.liquidations.size());
  }
  const double elapsed = now_seconds() - start;
  return {elapsed * 1000.0 / frames, records / frames, bytes / frames};
}

// What a copying window costs per frame: every list walked and filtered.
double copied_window_ms(const Dataset& d, int64_t from, int64_t cursor, int repeats) {
  const auto keep = [&](const auto& list) {
    std::decay_t<decltype(list)> out;
    for (const auto& r : list) {
      if (r.ts >= from && r.ts <= cursor) out.push_back(r);
    }
    return out;
  };
  std::size_t sink = 0;
  const double start = now_seconds();
  for (int i = 0; i < repeats; ++i) {
    sink += keep(d.candles).size() + keep(d.trades).size() + keep(d.book).size() +
            keep(d.funding).size() + keep(d.oi).size() + keep(d.liquidations).size();
  }
  const double ms = (now_seconds() - start) * 1000.0 / repeats;
  if (sink == 42) std::puts("");
  return ms;
}

void report_scrubbing(const Dataset& big, const Dataset& small, int64_t start_ts, int hours) {
  const int64_t span = hours * kHourMs;
  const int64_t one_percent = span / 100;
  std::printf("## scrubbing: 100 x (evaluate_frame + encode_frame), four panels\n");
  std::printf("%-44s %10s %14s %12s\n", "case", "ms/frame", "records/frame", "KB text");
  const auto row = [](const char* name, const ScrubResult& r) {
    std::printf("%-44s %10.3f %14.0f %12.1f\n", name, r.ms_per_frame, r.window_records,
                r.text_bytes / 1024.0);
  };
  row("1% window, moving cursor",
      scrub(big, start_ts + one_percent, start_ts + span, one_percent, 100));
  row("same window length, dataset 1/4 as long",
      scrub(small, start_ts + one_percent, start_ts + span / 4, one_percent, 100));
  row("window = prefix up to a moving cursor", scrub(big, start_ts, start_ts + span, -1, 100));
  row("window = whole data (10 frames)", scrub(big, start_ts + span, start_ts + span, -1, 10));
  row("footprint only, 1% window",
      scrub(big, start_ts + one_percent, start_ts + span, one_percent, 100, footprint_only));
  row("footprint only, whole data (10 frames)",
      scrub(big, start_ts + span, start_ts + span, -1, 10, footprint_only));
  const int64_t mid = start_ts + span / 2;
  std::printf("window cut per frame: binary search (all six lists) vs copying filter\n");
  const double cut_start = now_seconds();
  std::size_t sink = 0;
  for (int i = 0; i < 1000; ++i)
    sink += cut_window(big, mid - one_percent + i, mid + i).trades.size();
  const double cut_us = (now_seconds() - cut_start) * 1e6 / 1000;
  std::printf("  cut_window %.2f us, copying filter of the 1%% window %.2f ms (sink %zu)\n\n",
              cut_us, copied_window_ms(big, mid - one_percent, mid, 5), sink % 10);
}

void report_encoding(const Dataset& d, int64_t start_ts, int hours, const char* dump_dir) {
  const int64_t end = start_ts + hours * kHourMs;
  struct Case {
    const char* name;
    XrayPanel panel;
  };
  const Case cases[] = {
      {"book_heatmap 1 s x 50 levels", {XrayPanel::BookHeatmap{0.5, 1000, 50}}},
      {"footprint price_bin 0.1", {XrayPanel::Footprint{0.1, 60000}}},
      {"liquidation_map", {XrayPanel::LiquidationMap{1.0}}},
      {"funding_oi_divergence 1 s", {XrayPanel::FundingOiDivergence{1000}}},
  };
  std::printf("## encode_frame throughput (whole data window)\n");
  std::printf("%-32s %12s %10s %10s\n", "frame", "MB text", "ms", "MB/s");
  for (const Case& c : cases) {
    const XraySpec spec{"bench", "BTCUSDT", std::nullopt, std::nullopt, {c.panel}};
    const Frame frame = must(evaluate_frame(d, spec, end));
    std::vector<double> times;
    std::size_t size = 0;
    for (int i = 0; i < 7; ++i) {
      const double t0 = now_seconds();
      const std::string text = encode_frame(frame);
      times.push_back(now_seconds() - t0);
      size = text.size();
      if (i == 0 && dump_dir != nullptr) {
        std::string path = std::string(dump_dir) + "/" + std::string(c.name).substr(0, 4) + ".json";
        std::ofstream(path, std::ios::binary) << text;
      }
    }
    const double secs = median(times);
    std::printf("%-32s %12.2f %10.2f %10.0f\n", c.name, size / 1e6, secs * 1000, size / 1e6 / secs);
  }
  std::printf("\n");
}

// One frame on pools of 1 and 2 workers (and each panel alone on the calling
// thread): the frame costs about its slowest run of panels.
void report_threads(const Dataset& d, int64_t end, const char* label, const XraySpec& spec) {
  std::printf("## %s, whole data window\n", label);
  for (const XrayPanel& panel : spec.panels) {
    const XraySpec alone{"bench", "BTCUSDT", std::nullopt, std::nullopt, {panel}};
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
      const double t0 = now_seconds();
      must(evaluate_frame(d, alone, end));
      times.push_back(now_seconds() - t0);
    }
    static const char* const kKinds[] = {"footprint", "book_heatmap", "liquidation_map",
                                         "funding_oi_divergence"};
    std::printf("  %-22s alone %8.2f ms\n", kKinds[panel.config.index()], median(times) * 1000);
  }
  WorkerPool one(1);
  WorkerPool two(2);
  std::string reference;
  for (auto [name, pool] : {std::pair{"1 worker", &one}, std::pair{"2 workers", &two}}) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
      const double t0 = now_seconds();
      const Frame frame = must(evaluate_frame_on(*pool, d, spec, end));
      times.push_back(now_seconds() - t0);
      const std::string text = encode_frame(frame);
      if (reference.empty()) reference = text;
      if (text != reference) {
        std::fprintf(stderr, "frames differ between pools\n");
        std::exit(1);
      }
    }
    std::printf("  frame on %-10s median %8.2f ms (min %8.2f)\n", name, median(times) * 1000,
                *std::min_element(times.begin(), times.end()) * 1000);
  }
  std::printf("  (frame texts identical)\n\n");
}

}  // namespace
}  // namespace xray::bench

int main(int argc, char** argv) {
  using namespace xray::bench;
  int hours = 24;
  const char* dump_dir = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--hours") == 0) hours = std::max(4, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--dump") == 0) dump_dir = argv[i + 1];
  }
  MarketShape shape;
  shape.duration_ms = hours * kHourMs;
  const double t0 = now_seconds();
  const xray::Dataset big = make_market(shape);
  shape.duration_ms /= 4;
  const xray::Dataset small = make_market(shape);
  std::printf(
      "dataset: %d h, %zu trades, %zu book events, %zu candles, %zu liquidations "
      "(generated in %.1f s)\n\n",
      hours, big.trades.size(), big.book.size(), big.candles.size(), big.liquidations.size(),
      now_seconds() - t0);
  report_scrubbing(big, small, shape.start_ts, hours);
  report_encoding(big, shape.start_ts, hours, dump_dir);
  const int64_t end = shape.start_ts + hours * kHourMs;
  report_threads(big, end, "the four kinds", four_panels());
  const xray::XraySpec balanced{"bench",
                                "BTCUSDT",
                                std::nullopt,
                                std::nullopt,
                                {{xray::XrayPanel::Footprint{0.5, 60000}},
                                 {xray::XrayPanel::BookHeatmap{0.5, 60000, 40}},
                                 {xray::XrayPanel::Footprint{0.1, 60000}},
                                 {xray::XrayPanel::BookHeatmap{1.0, 60000, 40}}}};
  report_threads(big, end, "two footprints and two heatmaps", balanced);
  return 0;
}
