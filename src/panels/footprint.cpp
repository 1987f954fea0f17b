// src/panels/footprint.cpp: buy and sell volume per price bin over the window.
#include <algorithm>
#include <bit>
#include <vector>

#include "core/cancel.h"
#include "panels/bit_pattern_table.h"
#include "panels/panel_common.h"
#include "panels/panels.h"

namespace xray {
namespace {

struct BinTotals {
  uint64_t bits;  // bit pattern of the bin price
  double buy;
  double sell;
};

// Bins keyed by the bit pattern of the bin price, so -0.0 and 0.0 stay apart
// and every NaN is an ordinary key. The bins stay in one dense list, put in
// total order once, at the end; the table's slots hold only an index + 1
// into it (0 when free) and read the key from the bin.
struct BinIndexLayout {
  const std::vector<BinTotals>& bins;

  static bool is_free(std::size_t slot) { return slot == 0; }
  uint64_t key(std::size_t slot) const { return bins[slot - 1].bits; }
};

class BinTable {
 public:
  // Index of the bin, created with (0.0, 0.0) when absent.
  std::size_t find_or_insert(uint64_t bits) {
    const BinIndexLayout layout{bins_};
    const std::size_t pos = index_.locate(bits, layout);
    if (!index_.is_free_at(pos)) return index_.at(pos) - 1;
    bins_.push_back(BinTotals{bits, 0.0, 0.0});
    index_.fill(pos, bins_.size(), layout);
    return bins_.size() - 1;
  }

  std::vector<BinTotals>& bins() { return bins_; }

 private:
  BitPatternTable<std::size_t, BinIndexLayout> index_;
  std::vector<BinTotals> bins_;
};

}  // namespace

uint64_t footprint_bin_count(const XrayPanel::Footprint& config, const DatasetWindow& window) {
  BinTable table;
  uint64_t last_price_bits = 0;
  bool first = true;
  for (const Trade& trade : window.trades) {
    const auto price_bits = std::bit_cast<uint64_t>(trade.price);
    if (price_bits == last_price_bits && !first) continue;
    table.find_or_insert(std::bit_cast<uint64_t>(bin_price(trade.price, config.price_bin)));
    last_price_bits = price_bits;
    first = false;
  }
  return table.bins().size();
}

PanelData compute_footprint(const XrayPanel::Footprint& config, const DatasetWindow& window) {
  BinTable table;
  std::vector<BinTotals>& bins = table.bins();
  // Runs of trades at one price are common: they reuse the previous bin.
  uint64_t last_price_bits = 0;
  std::size_t last_bin = SIZE_MAX;
  CancelPoll cancel;
  for (const Trade& trade : window.trades) {
    if (cancel.due()) return {};
    const auto price_bits = std::bit_cast<uint64_t>(trade.price);
    if (price_bits != last_price_bits || last_bin == SIZE_MAX) {
      const double key = bin_price(trade.price, config.price_bin);
      last_bin = table.find_or_insert(std::bit_cast<uint64_t>(key));
      last_price_bits = price_bits;
    }
    BinTotals& bin = bins[last_bin];
    if (trade.side == TradeSide::Buy) {
      bin.buy += trade.qty;
    } else {
      bin.sell += trade.qty;
    }
  }

  std::sort(bins.begin(), bins.end(), [](const BinTotals& a, const BinTotals& b) {
    return total_order_key(std::bit_cast<double>(a.bits)) <
           total_order_key(std::bit_cast<double>(b.bits));
  });
  PanelData::Footprint out;
  out.price_bins.reserve(bins.size());
  out.buy_vol.reserve(bins.size());
  out.sell_vol.reserve(bins.size());
  for (const BinTotals& bin : bins) {
    out.price_bins.push_back(round8(std::bit_cast<double>(bin.bits)));
    out.buy_vol.push_back(round8(bin.buy));
    out.sell_vol.push_back(round8(bin.sell));
  }
  return PanelData{std::move(out)};
}

}  // namespace xray
