// src/panels/frame_budget.cpp: the bound on the output of a whole frame.
#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/cancel.h"
#include "panels/panel_common.h"
#include "panels/panel_limits.h"
#include "panels/panels.h"
#include "panels/time_buckets.h"

namespace xray {
namespace {

// What one element of each kind's output counts for.
constexpr uint64_t kNumbersPerBin = 3;          // price, buy and sell volume
constexpr uint64_t kNumbersPerLiquidation = 8;  // four values, four member names

// Indices of the kinds in XrayPanel's variant, the order they are named in.
constexpr std::size_t kFootprint = 0;
constexpr std::size_t kLiquidationMap = 2;
constexpr std::array<const char*, 4> kKindNames = {"footprint", "book_heatmap", "liquidation_map",
                                                   "funding_oi_divergence"};

using KindNumbers = std::array<UInt128, 4>;

UInt128 total(const KindNumbers& numbers) {
  UInt128 sum = 0;
  for (const UInt128 n : numbers) sum += n;
  return sum;
}

// Footprints counted by their bins rather than their trades; panels with
// the same bin width share one count. Absent when cancelled.
std::optional<UInt128> footprint_bins(const std::vector<XrayPanel>& panels,
                                      const DatasetWindow& window) {
  std::vector<std::pair<uint64_t, uint64_t>> counted;  // bit pattern of price_bin, bins
  UInt128 numbers = 0;
  for (const XrayPanel& panel : panels) {
    const auto* footprint = std::get_if<XrayPanel::Footprint>(&panel.config);
    if (footprint == nullptr) continue;
    const auto width = std::bit_cast<uint64_t>(footprint->price_bin);
    auto known = std::find_if(counted.begin(), counted.end(),
                              [&](const auto& c) { return c.first == width; });
    if (known == counted.end()) {
      const std::optional<uint64_t> bins = footprint_bin_count(*footprint, window);
      if (!bins) return std::nullopt;
      counted.emplace_back(width, *bins);
      known = counted.end() - 1;
    }
    numbers += UInt128{known->second} * kNumbersPerBin;
  }
  return numbers;
}

XrayError over_budget(const KindNumbers& numbers) {
  const std::string limit =
      ", more than the limit of " + std::to_string(kMaxFrameNumbers) + " numbers";
  // Frames of bucketed panels alone keep the message they always had.
  if (numbers[kFootprint] == 0 && numbers[kLiquidationMap] == 0) {
    return XrayError::data("frame would hold " + u128_text(total(numbers)) +
                           " numbers in its book_heatmap and funding_oi_divergence panels" + limit);
  }
  std::vector<std::string> kinds;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (numbers[i] != 0) kinds.emplace_back(kKindNames[i]);
  }
  std::string named = kinds.front();
  for (std::size_t i = 1; i < kinds.size(); ++i) {
    named += (i + 1 == kinds.size() ? " and " : ", ") + kinds[i];
  }
  return XrayError::data("frame would hold " + u128_text(total(numbers)) + " numbers in its " +
                         named + " panels" + limit +
                         " (a footprint bin counts as 3 numbers, a liquidation event as 8)");
}

}  // namespace

uint64_t panel_output_numbers(const XrayPanel& panel, const DatasetWindow& window) {
  if (const auto* heatmap = std::get_if<XrayPanel::BookHeatmap>(&panel.config)) {
    const std::optional<TimeBuckets> grid = book_buckets(window, heatmap->bucket_ms);
    // Past the limit the panel only passed because its output is empty.
    if (!grid || !heatmap_within_limits(*grid, heatmap->depth_levels)) return 0;
    const auto rows = static_cast<uint64_t>(grid->count);
    return rows * heatmap->depth_levels + rows + heatmap->depth_levels;
  }
  if (const auto* series = std::get_if<XrayPanel::FundingOiDivergence>(&panel.config)) {
    const std::optional<TimeBuckets> grid = series_buckets(window, series->bucket_ms);
    return grid ? 4 * static_cast<uint64_t>(grid->count) : 0;
  }
  if (std::holds_alternative<XrayPanel::Footprint>(panel.config)) {
    return kNumbersPerBin * window.trades.size();
  }
  return kNumbersPerLiquidation * window.liquidations.size();
}

Status check_frame_size(const std::vector<XrayPanel>& panels, const DatasetWindow& window) {
  KindNumbers numbers{};
  for (const XrayPanel& panel : panels) {
    numbers[panel.config.index()] += panel_output_numbers(panel, window);
  }
  if (total(numbers) <= kMaxFrameNumbers) return {};
  // Trades that share bins make a shorter footprint than the bound says.
  if (numbers[kFootprint] != 0) {
    const std::optional<UInt128> bins = footprint_bins(panels, window);
    if (!bins) return cancelled_error();
    numbers[kFootprint] = *bins;
  }
  if (total(numbers) <= kMaxFrameNumbers) return {};
  return over_budget(numbers);
}

}  // namespace xray
