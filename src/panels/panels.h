// src/panels/panels.h: the four panel computations. None of them fails.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/errors.h"
#include "model/frame.h"
#include "model/spec.h"
#include "panels/time_buckets.h"

namespace xray {

PanelData compute_footprint(const XrayPanel::Footprint& config, const DatasetWindow& window);
PanelData compute_book_heatmap(const XrayPanel::BookHeatmap& config, const DatasetWindow& window);
PanelData compute_liquidation_map(const XrayPanel::LiquidationMap& config,
                                  const DatasetWindow& window);
PanelData compute_funding_oi_divergence(const XrayPanel::FundingOiDivergence& config,
                                        const DatasetWindow& window);

class PriceGrid;

// A book heatmap in parts over ranges of its time buckets, which may run on
// different threads at once; the panel is the same for any number of parts.
// The constructor works out the price grid and the parts: at most
// max_parts, each of at least min_part_events book events.
class BookHeatmapJob {
 public:
  static constexpr std::size_t kMinPartEvents = 4000;

  BookHeatmapJob(const XrayPanel::BookHeatmap& config, const DatasetWindow& window,
                 std::size_t max_parts, std::size_t min_part_events = kMinPartEvents);
  ~BookHeatmapJob();
  BookHeatmapJob(const BookHeatmapJob&) = delete;
  BookHeatmapJob& operator=(const BookHeatmapJob&) = delete;

  // 0 when the panel is empty.
  std::size_t parts() const;
  // Fills the rows of one part; distinct parts may run concurrently.
  void run_part(std::size_t index);
  // The panel, once every part has run.
  PanelData take();
  // Quantities the parts run so far read to fold cells: the work that may
  // grow with the prices a level holds rather than with its changes.
  uint64_t folded() const;

 private:
  struct Part;
  // The first event from cursor on that is not before the end of walk's bucket.
  std::size_t bucket_end(std::size_t cursor, const BucketWalk& walk) const;

  std::span<const BookEvent> events_;
  std::span<const KeyRange> blocks_;  // of the stored book, if indexed
  std::size_t book_at_;               // the stored index of events_[0]
  std::size_t depth_;
  std::unique_ptr<PriceGrid> grid_;
  std::optional<TimeBuckets> buckets_;
  std::vector<Part> parts_;
  std::vector<uint64_t> folded_;  // per part
  PanelData::BookHeatmap out_;
};

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
// Absent when the command was cancelled while they were counted.
std::optional<uint64_t> footprint_bin_count(const XrayPanel::Footprint& config,
                                            const DatasetWindow& window);

// The frame-wide bound on the numbers of all panels together, checked
// before any panel is computed. Footprints are counted by their trades
// first; only when that bound is over the limit are their bins counted
// (and a cancelled count ends the check with cancelled_error()).
[[nodiscard]] Status check_frame_size(const std::vector<XrayPanel>& panels,
                                      const DatasetWindow& window);

}  // namespace xray
