// src/panels/footprint.cpp: buy and sell volume per price bin over the window.
#include <algorithm>
#include <bit>
#include <vector>

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
// and every NaN is an ordinary key. Open addressing with linear probing; the
// distinct bins are put in total order once, at the end.
class BinTable {
 public:
  BinTable() : slots_(kInitialSlots, 0), shift_(64 - std::countr_zero(kInitialSlots)) {}

  // Index of the bin, created with (0.0, 0.0) when absent.
  std::size_t find_or_insert(uint64_t bits) {
    for (std::size_t slot = home(bits);; slot = (slot + 1) & (slots_.size() - 1)) {
      const std::size_t held = slots_[slot];
      if (held == 0) {
        bins_.push_back(BinTotals{bits, 0.0, 0.0});
        slots_[slot] = bins_.size();
        if (bins_.size() * 2 > slots_.size()) grow();
        return bins_.size() - 1;
      }
      if (bins_[held - 1].bits == bits) return held - 1;
    }
  }

  std::vector<BinTotals>& bins() { return bins_; }

 private:
  static constexpr std::size_t kInitialSlots = 64;

  std::size_t home(uint64_t bits) const {
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void grow() {
    slots_.assign(slots_.size() * 2, 0);
    --shift_;
    for (std::size_t i = 0; i < bins_.size(); ++i) {
      std::size_t slot = home(bins_[i].bits);
      while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
      slots_[slot] = i + 1;
    }
  }

  std::vector<std::size_t> slots_;  // index + 1 into bins_, 0 when free
  std::vector<BinTotals> bins_;
  int shift_;
};

}  // namespace

PanelData compute_footprint(const XrayPanel::Footprint& config, const DatasetWindow& window) {
  BinTable table;
  std::vector<BinTotals>& bins = table.bins();
  // Runs of trades at one price are common: they reuse the previous bin.
  uint64_t last_price_bits = 0;
  std::size_t last_bin = SIZE_MAX;
  for (const Trade& trade : window.trades) {
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
