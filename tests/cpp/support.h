// tests/cpp/support.h: case files, a plain frame text and random market data
// shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "json/json_writer.h"
#include "model/frame.h"

namespace xray::testing {

// One line of a case file in tests/cases: "<tag> <text>". Blank lines and
// lines starting with '#' are comments; a tag ending in '%' has %XX escapes in
// its text (for control bytes, trailing blanks and line breaks), and the '%'
// is dropped from the tag.
struct CaseLine {
  std::string tag;
  std::string text;
  int line;
};

inline std::vector<CaseLine> read_cases(const std::string& name) {
  std::ifstream in(std::string(XRAY_TEST_CASES) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << name;
  std::vector<CaseLine> out;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.find(' ');
    CaseLine c{line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1),
               number};
    if (c.tag.ends_with('%')) {
      c.tag.pop_back();
      std::string decoded;
      for (std::size_t i = 0; i < c.text.size(); ++i) {
        const bool escape = c.text[i] == '%' && i + 2 < c.text.size();
        decoded +=
            escape ? static_cast<char>(std::stoi(c.text.substr(i + 1, 2), nullptr, 16)) : c.text[i];
        if (escape) i += 2;
      }
      c.text = decoded;
    }
    out.push_back(std::move(c));
  }
  EXPECT_FALSE(out.empty()) << name << " holds no case";
  return out;
}

// A frame as plain concatenation with the general number formatter, the
// oracle of the one-pass frame writer.
inline std::string frame_json(const Frame& frame) {
  std::string out = R"({"symbol":)";
  write_json_string(frame.symbol, out);
  out += R"(,"cursor_ts":)" + std::to_string(frame.cursor_ts) + R"(,"panels":[)";
  const auto number = [&](double x) { out += std::isfinite(x) ? format_double(x) : "null"; };
  const auto list = [&](const char* key, const auto& values, std::size_t from, std::size_t n) {
    out += key;
    out += '[';
    for (std::size_t i = from; i < from + n; ++i) {
      if (i > from) out += ',';
      if constexpr (std::is_same_v<std::decay_t<decltype(values[i])>, int64_t>) {
        out += std::to_string(values[i]);
      } else {
        number(values[i]);
      }
    }
    out += ']';
  };
  const auto all = [&](const char* key, const auto& values) {
    list(key, values, 0, values.size());
  };
  for (const PanelData& panel : frame.panels) {
    if (&panel != frame.panels.data()) out += ',';
    if (const auto* f = std::get_if<PanelData::Footprint>(&panel.data)) {
      all(R"({"kind":"footprint","price_bins":)", f->price_bins);
      all(R"(,"buy_vol":)", f->buy_vol);
      all(R"(,"sell_vol":)", f->sell_vol);
    } else if (const auto* h = std::get_if<PanelData::BookHeatmap>(&panel.data)) {
      all(R"({"kind":"book_heatmap","time":)", h->time);
      all(R"(,"price":)", h->price);
      out += R"(,"intensity":[)";
      for (std::size_t row = 0; row < h->time.size(); ++row) {
        list(row ? "," : "", h->intensity, row * h->price.size(), h->price.size());
      }
      out += ']';
    } else if (const auto* l = std::get_if<PanelData::LiquidationMap>(&panel.data)) {
      out += R"({"kind":"liquidation_map","events":[)";
      for (const BinnedLiquidation& e : l->events) {
        if (&e != l->events.data()) out += ',';
        out += R"({"ts":)" + std::to_string(e.ts) + R"(,"price_bin":)";
        number(e.price_bin);
        out += R"(,"qty":)";
        number(e.qty);
        out += e.side == LiquidationSide::Long ? R"(,"side":"long"})" : R"(,"side":"short"})";
      }
      out += ']';
    } else if (const auto* s = std::get_if<PanelData::FundingOiDivergence>(&panel.data)) {
      all(R"({"kind":"funding_oi_divergence","time":)", s->time);
      all(R"(,"funding":)", s->funding);
      all(R"(,"oi":)", s->oi);
      all(R"(,"price":)", s->price);
    }
    out += '}';
  }
  return out + "]}";
}

// Ascending timestamps from start with repeats and gaps of up to max_step.
inline std::vector<int64_t> random_times(std::mt19937_64& rng, std::size_t count, int64_t start,
                                         int64_t max_step) {
  std::vector<int64_t> times;
  std::uniform_int_distribution<int64_t> step(0, max_step);
  for (int64_t ts = start; times.size() < count; times.push_back(ts)) {
    if (!times.empty() && rng() % 3 != 0) ts += step(rng);
  }
  return times;
}

template <class T>
const T& pick(std::mt19937_64& rng, const std::vector<T>& values) {
  return values[rng() % values.size()];
}

}  // namespace xray::testing
