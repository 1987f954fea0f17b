// The frame and bounds texts, from hand-built frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "model/frame.h"
#include "json/json_writer.h"
#include "protocol/frame_encode.h"

namespace xray {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Frame frame_of(std::string symbol, int64_t cursor_ts, std::vector<PanelData> panels) {
  return Frame{std::move(symbol), cursor_ts, std::move(panels)};
}

std::string panel_text(PanelData panel) {
  const std::string frame = encode_frame(frame_of("S", 0, {std::move(panel)}));
  const std::string head = R"({"symbol":"S","cursor_ts":0,"panels":[)";
  EXPECT_EQ(frame.substr(0, head.size()), head);
  EXPECT_EQ(frame.substr(frame.size() - 2), "]}");
  return frame.substr(head.size(), frame.size() - head.size() - 2);
}

// The number rule is tabled with format_double; here a few values in every
// number position of every panel kind.
TEST(EncodeFrame, NumbersInEveryPosition) {
  const std::pair<double, std::string> cases[] = {
      {-0.0, "-0.0"}, {0.000001, "1e-6"}, {1e16, "1e+16"}, {-kNaN, "null"}, {kInf, "null"}};
  for (const auto& [v, t] : cases) {
    SCOPED_TRACE(t);
    EXPECT_EQ(panel_text(PanelData{PanelData::Footprint{{v}, {v}, {v}}}),
              R"({"kind":"footprint","price_bins":[)" + t + R"(],"buy_vol":[)" + t +
                  R"(],"sell_vol":[)" + t + "]}");
    EXPECT_EQ(panel_text(PanelData{PanelData::BookHeatmap{{7}, {v}, {v}}}),
              R"({"kind":"book_heatmap","time":[7],"price":[)" + t + R"(],"intensity":[[)" + t +
                  "]]}");
    EXPECT_EQ(panel_text(PanelData{PanelData::LiquidationMap{{{1, v, v, LiquidationSide::Short}}}}),
              R"({"kind":"liquidation_map","events":[{"ts":1,"price_bin":)" + t + R"(,"qty":)" +
                  t + R"(,"side":"short"}]})");
    EXPECT_EQ(panel_text(PanelData{PanelData::FundingOiDivergence{{2}, {v}, {v}, {v}}}),
              R"({"kind":"funding_oi_divergence","time":[2],"funding":[)" + t + R"(],"oi":[)" + t +
                  R"(],"price":[)" + t + "]}");
  }
}

TEST(EncodeFrame, IntegersAtTheExtremesAndSymbolEscapes) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(encode_bounds(kMin, kMax, std::numeric_limits<uint64_t>::max()),
            R"({"from_ts":-9223372036854775808,"to_ts":9223372036854775807,)"
            R"("count":18446744073709551615})");
  EXPECT_EQ(panel_text(PanelData{PanelData::FundingOiDivergence{{kMin, -1, 0, kMax}, {}, {}, {}}}),
            R"({"kind":"funding_oi_divergence","time":[-9223372036854775808,-1,0,)"
            R"(9223372036854775807],"funding":[],"oi":[],"price":[]})");
  EXPECT_EQ(encode_frame(frame_of(std::string("a\\\"\x01\0\xC3\xA9/\x7F", 9), kMin, {})),
            "{\"symbol\":\"a\\\\\\\"\\u0001\\u0000\xC3\xA9/\x7F\",\"cursor_ts\":-9223372036854775808,"
            "\"panels\":[]}");
}

TEST(EncodeFrame, HeatmapRowsAndPanelOrder) {
  PanelData::BookHeatmap heat{{0, 60000}, {99.5, 100.0, 100.5}, {1.0, -0.0, 2.5, -0.0, -0.0, 3.0}};
  PanelData::BookHeatmap no_levels{{0, 1}, {}, {}};
  const Frame frame = frame_of(
      "S", 60000,
      {PanelData{PanelData::LiquidationMap{{{5, 1.0, 2.0, LiquidationSide::Short},
                                            {6, 1.5, kNaN, LiquidationSide::Long}}}},
       PanelData{heat}, PanelData{no_levels},
       PanelData{PanelData::Footprint{{100.0, 101.0}, {1.5, 0.0}, {0.0, 2.25}}}});
  EXPECT_EQ(encode_frame(frame),
            R"({"symbol":"S","cursor_ts":60000,"panels":[)"
            R"({"kind":"liquidation_map","events":[)"
            R"({"ts":5,"price_bin":1.0,"qty":2.0,"side":"short"},)"
            R"({"ts":6,"price_bin":1.5,"qty":null,"side":"long"}]},)"
            R"({"kind":"book_heatmap","time":[0,60000],"price":[99.5,100.0,100.5],)"
            R"("intensity":[[1.0,-0.0,2.5],[-0.0,-0.0,3.0]]},)"
            R"({"kind":"book_heatmap","time":[0,1],"price":[],"intensity":[[],[]]},)"
            R"({"kind":"footprint","price_bins":[100.0,101.0],"buy_vol":[1.5,0.0],)"
            R"("sell_vol":[0.0,2.25]}]})");
}

// Straightforward concatenation with the shared helpers: the oracle for the
// one-pass writer on frames whose text outgrows every size estimate.
std::string concatenated(const Frame& frame) {
  std::string out = R"({"symbol":)";
  write_json_string(frame.symbol, out);
  out += R"(,"cursor_ts":)";
  append_i64(frame.cursor_ts, out);
  out += R"(,"panels":[)";
  for (std::size_t i = 0; i < frame.panels.size(); ++i) {
    const auto& fp = std::get<PanelData::Footprint>(frame.panels[i].data);
    out += i ? "," : "";
    out += R"({"kind":"footprint")";
    for (const auto& [key, list] : {std::pair{"price_bins", &fp.price_bins},
                                    std::pair{"buy_vol", &fp.buy_vol},
                                    std::pair{"sell_vol", &fp.sell_vol}}) {
      out += std::string(",\"") + key + "\":[";
      for (std::size_t k = 0; k < list->size(); ++k) {
        if (k) out += ',';
        append_number((*list)[k], out);
      }
      out += ']';
    }
    out += '}';
  }
  out += "]}";
  return out;
}

TEST(EncodeFrame, LongTextsMatchPlainConcatenation) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    Frame frame = frame_of(std::string(static_cast<std::size_t>(round) * 50, '\x02'), round, {});
    for (int p = 0; p < 3; ++p) {
      PanelData::Footprint fp;
      const std::size_t n = rng() % 3000;
      for (std::size_t k = 0; k < n; ++k) {
        uint64_t bits = rng();  // any bit pattern: long exponent forms, NaNs, subnormals
        double v;
        std::memcpy(&v, &bits, sizeof v);
        fp.price_bins.push_back(v);
        fp.buy_vol.push_back(-v);
        fp.sell_vol.push_back(static_cast<double>(bits % 100000) / 8.0);
      }
      frame.panels.push_back(PanelData{std::move(fp)});
    }
    EXPECT_EQ(encode_frame(frame), concatenated(frame));
  }
}

}  // namespace
}  // namespace xray
