// src/panels/funding_oi_divergence.cpp: funding rate, open interest and candle
// close carried forward onto one time grid.
#include <optional>
#include <span>

#include "core/cancel.h"
#include "panels/panel_common.h"
#include "panels/panel_limits.h"
#include "panels/panels.h"
#include "panels/time_buckets.h"

namespace xray {
namespace {

// A forward cursor over one series holding the value of the latest record
// before the current bucket's end, 0.0 before the first one. The value is
// rounded when it changes rather than once per bucket.
template <class Record, double Record::*Field>
class CarriedValue {
 public:
  explicit CarriedValue(std::span<const Record> records) : records_(records) {}

  // Polls for every record passed: one bucket may hold them all.
  std::optional<double> advance(const BucketWalk& walk, CancelPoll& cancel) {
    const std::size_t from = next_;
    while (next_ < records_.size() && walk.before_end(records_[next_].ts)) {
      if (cancel.due()) return std::nullopt;
      ++next_;
    }
    if (next_ != from) rounded_ = round8(records_[next_ - 1].*Field);
    return rounded_;
  }

 private:
  std::span<const Record> records_;
  std::size_t next_ = 0;
  double rounded_ = 0.0;
};

}  // namespace

PanelData compute_funding_oi_divergence(const XrayPanel::FundingOiDivergence& config,
                                        const DatasetWindow& window) {
  PanelData::FundingOiDivergence out;
  const std::optional<TimeBuckets> buckets = series_buckets(window, config.bucket_ms);
  if (!buckets) return PanelData{std::move(out)};
  XRAY_ASSERT(series_within_limits(*buckets),
              "funding panel size is checked before the panel runs");
  const auto count = static_cast<std::size_t>(buckets->count);
  out.time.resize(count);
  out.funding.resize(count);
  out.oi.resize(count);
  out.price.resize(count);

  CarriedValue<FundingEvent, &FundingEvent::rate> funding(window.funding);
  CarriedValue<OiEvent, &OiEvent::oi> oi(window.oi);
  CarriedValue<Candle, &Candle::close> close(window.candles);
  BucketWalk walk(*buckets);
  CancelPoll cancel;
  for (std::size_t k = 0; k < count; ++k, walk.next()) {
    if (cancel.due()) return {};
    out.time[k] = walk.start();
    const std::optional<double> rate = funding.advance(walk, cancel);
    const std::optional<double> interest = oi.advance(walk, cancel);
    const std::optional<double> price = close.advance(walk, cancel);
    if (!rate || !interest || !price) return {};
    out.funding[k] = *rate;
    out.oi[k] = *interest;
    out.price[k] = *price;
  }
  return PanelData{std::move(out)};
}

}  // namespace xray
