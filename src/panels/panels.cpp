// src/panels/panels.cpp: dispatch on the panel kind, and the size check that
// runs before any panel is computed.
#include "panels/panels.h"

#include <string>

#include "panels/book_state.h"
#include "panels/panel_common.h"
#include "panels/panel_limits.h"

namespace xray {
namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

XrayError start_out_of_range(const char* kind, const TimeBuckets& buckets) {
  return XrayError::data(std::string(kind) + " would start its first bucket at " +
                         i128_text(buckets.first_start) + " ms, before the smallest 64-bit time");
}

// The heatmap is empty whenever the book ends with a side empty; then no
// size can be exceeded. Only consulted when the grid would be too large.
bool heatmap_comes_out_empty(std::span<const BookEvent> events) {
  return !final_book_top(events).has_value();
}

Status check_heatmap(const XrayPanel::BookHeatmap& config, const DatasetWindow& window) {
  const std::optional<TimeBuckets> grid = book_buckets(window, config.bucket_ms);
  if (!grid || heatmap_within_limits(*grid, config.depth_levels)) return {};
  if (heatmap_comes_out_empty(window.book)) return {};
  const TimeBuckets& buckets = *grid;
  const UInt128 cells = buckets.count * config.depth_levels;
  if (cells > kMaxHeatmapCells) {
    return XrayError::data("book_heatmap would produce " + u128_text(buckets.count) +
                           " buckets of " + std::to_string(config.depth_levels) + " levels (" +
                           u128_text(cells) + " cells), more than the limit of " +
                           std::to_string(kMaxHeatmapCells) + " cells");
  }
  return start_out_of_range("book_heatmap", buckets);
}

Status check_series(const XrayPanel::FundingOiDivergence& config, const DatasetWindow& window) {
  const std::optional<TimeBuckets> grid = series_buckets(window, config.bucket_ms);
  if (!grid || series_within_limits(*grid)) return {};
  const TimeBuckets& buckets = *grid;
  if (buckets.count > kMaxSeriesBuckets) {
    return XrayError::data("funding_oi_divergence would produce " + u128_text(buckets.count) +
                           " buckets, more than the limit of " + std::to_string(kMaxSeriesBuckets) +
                           " buckets");
  }
  return start_out_of_range("funding_oi_divergence", buckets);
}

}  // namespace

PanelData compute_panel(const XrayPanel& panel, const DatasetWindow& window) {
  return std::visit(
      Overloaded{
          [&](const XrayPanel::Footprint& c) { return compute_footprint(c, window); },
          [&](const XrayPanel::BookHeatmap& c) { return compute_book_heatmap(c, window); },
          [&](const XrayPanel::LiquidationMap& c) { return compute_liquidation_map(c, window); },
          [&](const XrayPanel::FundingOiDivergence& c) {
            return compute_funding_oi_divergence(c, window);
          },
      },
      panel.config);
}

Status check_panel_size(const XrayPanel& panel, const DatasetWindow& window) {
  // Footprints and liquidation maps are never longer than their input lists.
  if (const auto* heatmap = std::get_if<XrayPanel::BookHeatmap>(&panel.config)) {
    return check_heatmap(*heatmap, window);
  }
  if (const auto* series = std::get_if<XrayPanel::FundingOiDivergence>(&panel.config)) {
    return check_series(*series, window);
  }
  return {};
}

}  // namespace xray
