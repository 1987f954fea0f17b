// tests/cpp/dataset_render.h: a dataset as one line of text, for comparing
// whole datasets (doubles by the number rule, so -0.0 and 0.0 differ).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/dataset.h"
#include "json/json_writer.h"

namespace xray::testing {

class DatasetRenderer {
 public:
  std::string run(const Dataset& d) {
    out_ += "c";
    for (const Candle& c : d.candles) record(c.ts, {c.open, c.high, c.low, c.close, c.volume}, -1);
    out_ += " t";
    for (const Trade& t : d.trades) record(t.ts, {t.price, t.qty}, static_cast<int>(t.side));
    out_ += " b";
    for (const BookEvent& b : d.book) {
      out_ += "(";
      append_i64(b.ts, out_);
      out_ += ",";
      out_ += std::to_string(static_cast<int>(b.kind));
      out_ += ",";
      levels(b.bids);
      levels(b.asks);
      out_ += ")";
    }
    out_ += " f";
    for (const FundingEvent& f : d.funding) record(f.ts, {f.rate}, -1);
    out_ += " o";
    for (const OiEvent& o : d.oi) record(o.ts, {o.oi}, -1);
    out_ += " l";
    for (const LiquidationEvent& l : d.liquidations) {
      record(l.ts, {l.price, l.qty}, static_cast<int>(l.side));
    }
    return out_;
  }

 private:
  // (ts,v1,v2,...,code) with the code left out when negative.
  void record(int64_t ts, std::initializer_list<double> values, int code) {
    out_ += "(";
    append_i64(ts, out_);
    out_ += ",";
    for (double v : values) {
      out_ += format_double(v);
      out_ += ",";
    }
    if (code >= 0) out_ += std::to_string(code);
    out_ += ")";
  }
  void levels(const std::vector<PriceLevel>& levels) {
    out_ += "[";
    for (const PriceLevel& l : levels) {
      out_ += format_double(l.price);
      out_ += ":";
      out_ += format_double(l.qty);
      out_ += ",";
    }
    out_ += "]";
  }
  std::string out_;
};

inline std::string render(const Dataset& d) { return DatasetRenderer().run(d); }

}  // namespace xray::testing
