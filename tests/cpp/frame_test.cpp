// Frame evaluation: validation, cursor, window, panel order on any pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "model/frame.h"
#include "panels/panels.h"
#include "engine/worker_pool.h"
#include "protocol/frame_encode.h"
#include "engine/evaluate_frame.h"

namespace xray {
namespace {

XrayPanel footprint(double price_bin) { return {XrayPanel::Footprint{price_bin, 60000}}; }
XrayPanel heatmap(double price_bin, int64_t bucket_ms, uint32_t depth) {
  return {XrayPanel::BookHeatmap{price_bin, bucket_ms, depth}};
}
XrayPanel liquidations(double price_bin) { return {XrayPanel::LiquidationMap{price_bin}}; }
XrayPanel series(int64_t bucket_ms) { return {XrayPanel::FundingOiDivergence{bucket_ms}}; }

XraySpec spec_of(std::vector<XrayPanel> panels, std::optional<int64_t> from_ts = std::nullopt,
                 std::optional<int64_t> to_ts = std::nullopt) {
  return XraySpec{"ref", "BTCUSDT", from_ts, to_ts, std::move(panels)};
}

// Every kind of record at each of the given times; values vary with the
// position so that dropped, added or reordered records change the output.
Dataset records_at(const std::vector<int64_t>& times) {
  Dataset d;
  for (std::size_t i = 0; i < times.size(); ++i) {
    const int64_t ts = times[i];
    const double k = static_cast<double>(i);
    d.candles.push_back({ts, 100 + k, 101 + k, 99 + k, 100.5 + k, 3 + k});
    d.trades.push_back({ts, 100 + 0.3 * k, 0.1 + k, i % 2 ? TradeSide::Sell : TradeSide::Buy});
    d.book.push_back({ts, i == 0 ? BookEventKind::Snapshot : BookEventKind::Diff,
                      {{99.5 - 0.1 * k, 1 + k}, {99.0, 2.0}},
                      {{100.5 + 0.1 * k, 1.5 + k}, {101.0, 2.5}}});
    d.funding.push_back({ts, 0.0001 * (k + 1)});
    d.oi.push_back({ts, 1000 + 7 * k});
    d.liquidations.push_back(
        {ts, 100 + 0.7 * k, 0.25 + k, i % 2 ? LiquidationSide::Short : LiquidationSide::Long});
  }
  return d;
}

// The frame computed the plain way: the copying window, then each panel in turn.
std::string copied_frame_text(const Dataset& d, const XraySpec& spec, int64_t cursor_ts) {
  const auto keep = [&](auto list) {
    std::erase_if(list, [&](const auto& r) {
      return (spec.from_ts && r.ts < *spec.from_ts) || r.ts > cursor_ts;
    });
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.ts < b.ts; });
    return list;
  };
  const Dataset copy{keep(d.candles), keep(d.trades),  keep(d.book),
                     keep(d.funding), keep(d.oi),      keep(d.liquidations)};
  const DatasetWindow window{copy.candles, copy.trades, copy.book,
                             copy.funding, copy.oi,     copy.liquidations};
  Frame frame{spec.symbol, cursor_ts, {}};
  for (const XrayPanel& panel : spec.panels) frame.panels.push_back(compute_panel(panel, window));
  return encode_frame(frame);
}

std::string frame_text(const Dataset& d, const XraySpec& spec, int64_t cursor) {
  Result<Frame> frame = evaluate_frame(d, spec, cursor);
  EXPECT_TRUE(frame) << display_text(frame.error());
  return frame ? encode_frame(*frame) : std::string();
}

std::vector<XrayPanel> all_kinds() {
  return {liquidations(0.5), footprint(0.5), heatmap(0.5, 1000, 6), series(1000), footprint(2.0)};
}

TEST(EvaluateFrame, ValidationComesFirst) {
  Result<Frame> frame = evaluate_frame(records_at({1000}), spec_of({footprint(1)}, 5, 4), 1000);
  ASSERT_FALSE(frame);
  EXPECT_EQ(display_text(frame.error()), "bad spec: from_ts must be <= to_ts");
}

// The cursor clamped to to_ts; windows without to_ts are compared at random below.
TEST(EvaluateFrame, CursorClamping) {
  const Dataset d = records_at({999, 1000, 2000, 3000, 3000, 3001, 5000, 5001, 9000});
  struct Case {
    std::optional<int64_t> from_ts;
    std::optional<int64_t> to_ts;
    int64_t cursor;
    int64_t cursor_ts;
  };
  const Case cases[] = {{std::nullopt, 5000, 9000, 5000}, {std::nullopt, 5000, 3000, 3000},
                        {3000, 3000, 9000, 3000}, {INT64_MIN, INT64_MAX, INT64_MAX, INT64_MAX}};
  for (const Case& c : cases) {
    const XraySpec spec = spec_of(all_kinds(), c.from_ts, c.to_ts);
    Result<Frame> frame = evaluate_frame(d, spec, c.cursor);
    ASSERT_TRUE(frame) << display_text(frame.error());
    EXPECT_EQ(frame->cursor_ts, c.cursor_ts);
    EXPECT_EQ(encode_frame(*frame), copied_frame_text(d, spec, c.cursor_ts));
  }
}

TEST(EvaluateFrame, EmptyWindowGivesEveryPanelEmpty) {
  const Dataset d = records_at({3000, 4000});
  Result<Frame> frame = evaluate_frame(d, spec_of(all_kinds(), 2000), 1000);
  ASSERT_TRUE(frame);
  EXPECT_EQ(encode_frame(*frame),
            R"({"symbol":"BTCUSDT","cursor_ts":1000,"panels":[)"
            R"({"kind":"liquidation_map","events":[]},)"
            R"({"kind":"footprint","price_bins":[],"buy_vol":[],"sell_vol":[]},)"
            R"({"kind":"book_heatmap","time":[],"price":[],"intensity":[]},)"
            R"({"kind":"funding_oi_divergence","time":[],"funding":[],"oi":[],"price":[]},)"
            R"({"kind":"footprint","price_bins":[],"buy_vol":[],"sell_vol":[]}]})");
}

// Random data with many equal timestamps, random windows, on pools of
// several sizes: always the plain copying evaluation, byte for byte.
TEST(EvaluateFrame, MatchesCopyingEvaluationOnEveryPool) {
  std::mt19937_64 rng(99);
  WorkerPool one(1);
  WorkerPool two(2);
  WorkerPool five(5);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    std::vector<int64_t> times(rng() % 60);
    for (int64_t& t : times) t = static_cast<int64_t>(rng() % 40) * 250;
    std::sort(times.begin(), times.end());
    const Dataset d = records_at(times);
    std::vector<XrayPanel> panels = all_kinds();
    std::shuffle(panels.begin(), panels.end(), rng);
    panels.erase(panels.begin() + static_cast<std::ptrdiff_t>(1 + rng() % panels.size()), panels.end());
    const auto pick = [&] { return static_cast<int64_t>(rng() % 44) * 250 - 500; };
    const std::optional<int64_t> from_ts = rng() % 3 ? std::optional(pick()) : std::nullopt;
    const int64_t cursor = pick();
    const XraySpec spec = spec_of(panels, from_ts);
    const std::string expected = copied_frame_text(d, spec, cursor);
    for (WorkerPool* pool : {&one, &two, &five}) {
      Result<Frame> frame = evaluate_frame_on(*pool, d, spec, cursor);
      ASSERT_TRUE(frame);
      EXPECT_EQ(encode_frame(*frame), expected) << pool->size() << " workers";
    }
    EXPECT_EQ(frame_text(d, spec, cursor), expected);
  }
}

TEST(EvaluateFrame, FirstOversizedPanelFailsTheFrame) {
  const Dataset d = records_at({0, 1'000'000'000});
  const XraySpec spec =
      spec_of({footprint(1), series(1), heatmap(1, 1, 1000), heatmap(1, 1, 2000)});
  Result<Frame> frame = evaluate_frame(d, spec, 1'000'000'000);
  ASSERT_FALSE(frame);
  EXPECT_EQ(frame.error().kind, ErrorKind::Data);
  EXPECT_EQ(frame.error().message.rfind("funding_oi_divergence would produce", 0), 0u)
      << frame.error().message;
}

}  // namespace
}  // namespace xray
