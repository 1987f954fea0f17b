// src/panels/footprint.cpp: buy and sell volume per price bin over the window.
#include <algorithm>
#include <bit>
#include <optional>
#include <vector>

#include "core/cancel.h"
#include "panels/bit_pattern_table.h"
#include "panels/panel_common.h"
#include "panels/panels.h"

namespace xray {
namespace {

struct BinTotals {
  uint64_t bits;     // bit pattern of the bin price
  double volume[2];  // by TradeSide: buy, sell
};
static_assert(static_cast<int>(TradeSide::Buy) == 0 && static_cast<int>(TradeSide::Sell) == 1);

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
    bins_.push_back(BinTotals{bits, {0.0, 0.0}});
    index_.fill(pos, bins_.size(), layout);
    return bins_.size() - 1;
  }

  std::vector<BinTotals>& bins() { return bins_; }

 private:
  BitPatternTable<std::size_t, BinIndexLayout> index_;
  std::vector<BinTotals> bins_;
};

// The bin of a trade price. A window holds few distinct prices against its
// trades, so the bin index is remembered per price bit pattern in a
// direct-mapped cache of 4,096 slots (64 KB, a few thousand prices on
// ticks seldom share one): a hit costs a multiply and a compare instead of the
// divide, floor, multiply, rounding and hash lookup of bin_price. Every slot
// starts out holding the first price asked for, so no slot needs a "free"
// mark. A miss (any price, whatever its slot) takes the full path, so the
// cache changes the cost, never the bin.
class PriceToBin {
 public:
  explicit PriceToBin(double price_bin) : price_bin_(price_bin) {}

  std::size_t bin_of(double price) {
    const auto bits = std::bit_cast<uint64_t>(price);
    if (!primed_) prime(bits);
    Memo& memo = memo_[slot(bits)];
    if (memo.price_bits == bits) return memo.bin;
    memo = Memo{bits, table_.find_or_insert(std::bit_cast<uint64_t>(bin_price(price, price_bin_)))};
    return memo.bin;
  }

  std::vector<BinTotals>& bins() { return table_.bins(); }

 private:
  static constexpr int kSlotBits = 12;
  struct Memo {
    uint64_t price_bits;
    std::size_t bin;
  };

  // Prices of one instrument differ in their low mantissa bits: a
  // multiplicative hash carries those to the top bits taken as the slot.
  static std::size_t slot(uint64_t bits) {
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
  }

  [[gnu::noinline]] void prime(uint64_t bits) {
    const double key = bin_price(std::bit_cast<double>(bits), price_bin_);
    std::fill(std::begin(memo_), std::end(memo_),
              Memo{bits, table_.find_or_insert(std::bit_cast<uint64_t>(key))});
    primed_ = true;
  }

  double price_bin_;
  bool primed_ = false;
  Memo memo_[std::size_t{1} << kSlotBits];
  BinTable table_;
};

}  // namespace

std::optional<uint64_t> footprint_bin_count(const XrayPanel::Footprint& config,
                                            const DatasetWindow& window) {
  PriceToBin bins(config.price_bin);
  CancelPoll cancel;
  for (const Trade& trade : window.trades) {
    if (cancel.due()) return std::nullopt;
    bins.bin_of(trade.price);
  }
  return bins.bins().size();
}

PanelData compute_footprint(const XrayPanel::Footprint& config, const DatasetWindow& window) {
  PriceToBin price_to_bin(config.price_bin);
  std::vector<BinTotals>& bins = price_to_bin.bins();
  // Each bin's buy and sell sums take their trades in window order; the
  // side picks the sum by index rather than by a branch it cannot predict.
  CancelPoll cancel;
  for (const Trade& trade : window.trades) {
    if (cancel.due()) return {};
    BinTotals& bin = bins[price_to_bin.bin_of(trade.price)];
    bin.volume[static_cast<std::size_t>(trade.side)] += trade.qty;
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
    out.buy_vol.push_back(round8(bin.volume[0]));
    out.sell_vol.push_back(round8(bin.volume[1]));
  }
  return PanelData{std::move(out)};
}

}  // namespace xray
