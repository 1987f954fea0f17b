// Helpers for the panel tests: windows over local vectors and exact double texts.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/frame.h"
#include "json/json_writer.h"

namespace xray::panel_testing {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Distinct doubles give distinct texts: -0.0 and 0.0 differ, and a NaN shows
// its bit pattern.
inline std::string exact_text(double x) {
  if (std::isnan(x)) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "nan:%016llx",
                  static_cast<unsigned long long>(std::bit_cast<uint64_t>(x)));
    return buf;
  }
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  return format_double(x);
}

// The whole panel as one text, to compare outputs bit for bit.
inline std::string panel_text(const PanelData& panel) {
  std::string text;
  const auto doubles = [&](const char* name, const std::vector<double>& values) {
    text += name;
    for (double x : values) {
      text += ' ';
      text += exact_text(x);
    }
    text += "\n";
  };
  const auto integers = [&](const char* name, const std::vector<int64_t>& values) {
    text += name;
    for (int64_t x : values) {
      text += ' ';
      text += std::to_string(x);
    }
    text += "\n";
  };
  if (const auto* f = std::get_if<PanelData::Footprint>(&panel.data)) {
    doubles("price_bins", f->price_bins);
    doubles("buy_vol", f->buy_vol);
    doubles("sell_vol", f->sell_vol);
  } else if (const auto* h = std::get_if<PanelData::BookHeatmap>(&panel.data)) {
    integers("time", h->time);
    doubles("price", h->price);
    doubles("intensity", h->intensity);
  } else if (const auto* l = std::get_if<PanelData::LiquidationMap>(&panel.data)) {
    for (const BinnedLiquidation& e : l->events) {
      text += std::to_string(e.ts);
      text += ' ';
      text += exact_text(e.price_bin);
      text += ' ';
      text += exact_text(e.qty);
      text += e.side == LiquidationSide::Long ? " long\n" : " short\n";
    }
  } else if (const auto* s = std::get_if<PanelData::FundingOiDivergence>(&panel.data)) {
    integers("time", s->time);
    doubles("funding", s->funding);
    doubles("oi", s->oi);
    doubles("price", s->price);
  }
  return text;
}

// A DatasetWindow over vectors owned by the test.
struct WindowData {
  std::vector<Candle> candles{};
  std::vector<Trade> trades{};
  std::vector<BookEvent> book{};
  std::vector<FundingEvent> funding{};
  std::vector<OiEvent> oi{};
  std::vector<LiquidationEvent> liquidations{};

  DatasetWindow window() const { return {candles, trades, book, funding, oi, liquidations}; }
};

// Ascending timestamps with repeats and gaps, starting at start.
inline std::vector<int64_t> random_times(std::mt19937_64& rng, std::size_t count, int64_t start,
                                         int64_t max_step) {
  std::vector<int64_t> times;
  int64_t ts = start;
  std::uniform_int_distribution<int64_t> step(0, max_step);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && rng() % 3 != 0) ts += step(rng);
    times.push_back(ts);
  }
  return times;
}

template <class T>
const T& pick(std::mt19937_64& rng, const std::vector<T>& values) {
  return values[rng() % values.size()];
}

}  // namespace xray::panel_testing
