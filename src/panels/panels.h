// src/panels/panels.h: the four panel computations. None of them fails.
#pragma once

#include "core/errors.h"
#include "model/frame.h"
#include "model/spec.h"

namespace xray {

PanelData compute_footprint(const XrayPanel::Footprint& config, const DatasetWindow& window);
PanelData compute_book_heatmap(const XrayPanel::BookHeatmap& config, const DatasetWindow& window);
PanelData compute_liquidation_map(const XrayPanel::LiquidationMap& config,
                                  const DatasetWindow& window);
PanelData compute_funding_oi_divergence(const XrayPanel::FundingOiDivergence& config,
                                        const DatasetWindow& window);

// Dispatches on the panel's kind.
PanelData compute_panel(const XrayPanel& panel, const DatasetWindow& window);

// Checked for every panel before any is computed: a panel whose output would
// exceed the size limit fails the frame with a Data error naming the kind,
// the bucket count and the limit. Allocates nothing.
[[nodiscard]] Status check_panel_size(const XrayPanel& panel, const DatasetWindow& window);

// For a panel that passed check_panel_size: at most how many numbers its
// output will hold. Footprints count three per trade of the window (each
// trade could open a bin of its own), liquidation maps eight per
// liquidation: an event's text carries four values and four member names.
uint64_t panel_output_numbers(const XrayPanel& panel, const DatasetWindow& window);

// The distinct bins of the window's trades: the footprint's exact length.
uint64_t footprint_bin_count(const XrayPanel::Footprint& config, const DatasetWindow& window);

// The frame-wide bound on the numbers of all panels together, checked
// before any panel is computed. Footprints are counted by their trades
// first; only when that bound is over the limit are their bins counted.
[[nodiscard]] Status check_frame_size(const std::vector<XrayPanel>& panels,
                                      const DatasetWindow& window);

}  // namespace xray
