// src/protocol/frame_encode.cpp: the frame and bounds texts, written in one pass.
#include "protocol/frame_encode.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <string_view>

#include "core/cancel.h"
#include "json/json_writer.h"
#include "json/number_writer.h"

namespace xray {
namespace {

// Typical widths, for the up-front reservation only: a price or volume with a
// few decimals and its comma, a millisecond timestamp and its comma.
constexpr std::size_t kNumberWidth = 10;
constexpr std::size_t kIntegerWidth = 15;
constexpr std::size_t kEventWidth = 64;
constexpr std::size_t kPanelOverhead = 96;

// Appends into one string whose size runs a little ahead of the text, so
// values are formatted straight into place. The estimate is only reserved,
// not written, so memory is touched once, by the text itself. Lists poll
// for cancellation once per block of values; once cancelled, they write
// nothing more.
class TextWriter {
 public:
  explicit TextWriter(std::size_t estimate) { text_.reserve(std::max<std::size_t>(estimate, 128)); }

  void raw(std::string_view part) {
    std::memcpy(room(part.size()), part.data(), part.size());
    used_ += part.size();
  }
  void byte(char c) { *room(1) = c, ++used_; }

  void number(double value) { used_ = end_at(write_json_number(value, room(kNumberTextMax))); }
  void integer(int64_t value) { used_ = end_at(write_json_integer(value, room(kIntegerTextMax))); }
  void unsigned_integer(uint64_t value) {
    used_ = end_at(write_json_integer(value, room(kIntegerTextMax)));
  }
  void string(std::string_view value) {
    text_.resize(used_);
    write_json_string(value, text_);
    used_ = text_.size();
  }

  // The member `key` (its leading comma and colon included) with the list
  // [a,b,c] ("[]" when empty) by the number rule or the integer rule.
  void member(std::string_view key, std::span<const double> values) {
    raw(key);
    list<kNumberTextMax>(values, write_json_number);
  }
  void member(std::string_view key, std::span<const int64_t> values) {
    raw(key);
    list<kIntegerTextMax>(values, [](int64_t v, char* at) { return write_json_integer(v, at); });
  }
  void numbers(std::span<const double> values) { list<kNumberTextMax>(values, write_json_number); }

  // True once the command was cancelled: the text is cut short.
  bool stopped() {
    stopped_ = stopped_ || cancel_.due();
    return stopped_;
  }

  // Ends a list whose elements were each followed by a comma.
  void close_list() {
    if (text_[used_ - 1] == ',') {
      text_[used_ - 1] = ']';
    } else {
      byte(']');
    }
  }

  std::string finish() && {
    text_.resize(used_);
    return std::move(text_);
  }

 private:
  static constexpr std::size_t kBlock = 64;
  // Written ahead of the text at a time: small enough to stay in cache
  // between being cleared by resize and overwritten.
  static constexpr std::size_t kAhead = 16384;

  char* room(std::size_t n) {
    if (text_.size() - used_ < n) text_.resize(used_ + std::max(n, kAhead));
    return text_.data() + used_;
  }
  std::size_t end_at(const char* at) const { return static_cast<std::size_t>(at - text_.data()); }

  // Room is checked once per block of values, not per value.
  template <std::size_t kWidth, class T, class Write>
  void list(std::span<const T> values, Write write) {
    byte('[');
    for (std::size_t i = 0; i < values.size(); i += kBlock) {
      if (stopped()) return;
      const std::span<const T> block = values.subspan(i, std::min(values.size() - i, kBlock));
      char* at = room(block.size() * (kWidth + 1));
      for (const T v : block) {
        at = write(v, at);
        *at++ = ',';
      }
      used_ = end_at(at);
    }
    close_list();
  }

  std::string text_;
  std::size_t used_ = 0;
  CancelPoll cancel_;
  bool stopped_ = false;
};

std::size_t estimate_size(const PanelData& panel) {
  struct Estimator {
    std::size_t operator()(const PanelData::Footprint& p) const {
      return (p.price_bins.size() + p.buy_vol.size() + p.sell_vol.size()) * kNumberWidth;
    }
    std::size_t operator()(const PanelData::BookHeatmap& p) const {
      return p.time.size() * kIntegerWidth + (p.price.size() + p.intensity.size()) * kNumberWidth +
             p.time.size() * 2;
    }
    std::size_t operator()(const PanelData::LiquidationMap& p) const {
      return p.events.size() * kEventWidth;
    }
    std::size_t operator()(const PanelData::FundingOiDivergence& p) const {
      return p.time.size() * kIntegerWidth +
             (p.funding.size() + p.oi.size() + p.price.size()) * kNumberWidth;
    }
  };
  return kPanelOverhead + std::visit(Estimator{}, panel.data);
}

struct PanelEncoder {
  TextWriter& out;

  void operator()(const PanelData::Footprint& p) const {
    out.member(R"({"kind":"footprint","price_bins":)", p.price_bins);
    out.member(R"(,"buy_vol":)", p.buy_vol);
    out.member(R"(,"sell_vol":)", p.sell_vol);
    out.byte('}');
  }

  void operator()(const PanelData::BookHeatmap& p) const {
    out.member(R"({"kind":"book_heatmap","time":)", p.time);
    out.member(R"(,"price":)", p.price);
    out.raw(R"(,"intensity":[)");
    const std::size_t width = p.price.size();
    const std::span<const double> cells(p.intensity);
    XRAY_ASSERT(cells.size() == p.time.size() * width, "one intensity row per time");
    for (std::size_t row = 0; row < p.time.size() && !out.stopped(); ++row) {
      out.numbers(cells.subspan(row * width, width));
      out.byte(',');
    }
    out.close_list();
    out.byte('}');
  }

  void operator()(const PanelData::LiquidationMap& p) const {
    out.raw(R"({"kind":"liquidation_map","events":[)");
    for (const BinnedLiquidation& e : p.events) {
      if (out.stopped()) return;
      out.raw(R"({"ts":)");
      out.integer(e.ts);
      out.raw(R"(,"price_bin":)");
      out.number(e.price_bin);
      out.raw(R"(,"qty":)");
      out.number(e.qty);
      out.raw(e.side == LiquidationSide::Long ? R"(,"side":"long"},)" : R"(,"side":"short"},)");
    }
    out.close_list();
    out.byte('}');
  }

  void operator()(const PanelData::FundingOiDivergence& p) const {
    out.member(R"({"kind":"funding_oi_divergence","time":)", p.time);
    out.member(R"(,"funding":)", p.funding);
    out.member(R"(,"oi":)", p.oi);
    out.member(R"(,"price":)", p.price);
    out.byte('}');
  }
};

}  // namespace

std::string encode_frame(const Frame& frame) {
  // The symbol can grow sixfold when every byte is a \u00XX escape.
  std::size_t estimate = 64 + frame.symbol.size() * 6;
  for (const PanelData& panel : frame.panels) estimate += estimate_size(panel);
  TextWriter out(estimate);
  out.raw(R"({"symbol":)");
  out.string(frame.symbol);
  out.raw(R"(,"cursor_ts":)");
  out.integer(frame.cursor_ts);
  out.raw(R"(,"panels":[)");
  for (const PanelData& panel : frame.panels) {
    std::visit(PanelEncoder{out}, panel.data);
    out.byte(',');
  }
  out.close_list();
  out.byte('}');
  return std::move(out).finish();
}

std::string encode_bounds(int64_t from_ts, int64_t to_ts, uint64_t count) {
  TextWriter out(128);
  out.raw(R"({"from_ts":)");
  out.integer(from_ts);
  out.raw(R"(,"to_ts":)");
  out.integer(to_ts);
  out.raw(R"(,"count":)");
  out.unsigned_integer(count);
  out.byte('}');
  return std::move(out).finish();
}

}  // namespace xray
