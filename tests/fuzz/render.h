// tests/fuzz/render.h: datasets and specs as texts with every double's bits,
// so that equal texts mean equal values (-0.0, 0.0 and NaNs apart); a
// cancel check that trips at a chosen poll; the fuzz targets' failure.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "model/dataset.h"
#include "model/spec.h"

namespace xray::testing {

class Renderer {
 public:
  template <class... Values>
  Renderer& put(Values... values) {
    (one(values), ...);
    out_ += ";";
    return *this;
  }
  std::string take() { return std::move(out_); }

 private:
  template <class V>
  void one(V v) {
    if constexpr (std::is_same_v<V, double>) {
      out_ += std::to_string(std::bit_cast<uint64_t>(v)) + ",";
    } else if constexpr (std::is_same_v<V, std::string>) {
      out_ += std::to_string(v.size()) + ":" + v + ",";
    } else {
      out_ += std::to_string(v) + ",";
    }
  }
  std::string out_;
};

inline std::string render(const Dataset& d) {
  Renderer r;
  for (const Candle& c : d.candles) r.put(c.ts, c.open, c.high, c.low, c.close, c.volume);
  for (const Trade& t : d.trades) r.put(t.ts, t.price, t.qty, static_cast<int>(t.side));
  for (const BookEvent& b : d.book) {
    r.put(b.ts, static_cast<int>(b.kind), b.bids.size(), b.asks.size());
    for (const PriceLevel& l : b.bids) r.put(l.price, l.qty);
    for (const PriceLevel& l : b.asks) r.put(l.price, l.qty);
  }
  for (const FundingEvent& f : d.funding) r.put(f.ts, f.rate);
  for (const OiEvent& o : d.oi) r.put(o.ts, o.oi);
  for (const LiquidationEvent& l : d.liquidations) {
    r.put(l.ts, l.price, l.qty, static_cast<int>(l.side));
  }
  return r.take();
}

inline std::string render(const XraySpec& s) {
  Renderer r;
  r.put(s.dataset_ref, s.symbol, s.from_ts.has_value(), s.from_ts.value_or(0), s.to_ts.has_value(),
        s.to_ts.value_or(0));
  for (const XrayPanel& p : s.panels) {
    std::visit(
        [&](const auto& c) {
          using C = std::decay_t<decltype(c)>;
          if constexpr (std::is_same_v<C, XrayPanel::Footprint>) {
            r.put(0, c.price_bin, c.bucket_ms);
          } else if constexpr (std::is_same_v<C, XrayPanel::BookHeatmap>) {
            r.put(1, c.price_bin, c.bucket_ms, c.depth_levels);
          } else if constexpr (std::is_same_v<C, XrayPanel::LiquidationMap>) {
            r.put(2, c.price_bin);
          } else {
            r.put(3, c.bucket_ms);
          }
        },
        p.config);
  }
  return r.take();
}

inline std::string render(const std::optional<XraySpec>& s) { return s ? render(*s) : "none"; }

// A cancel check that says "stop" from its trip-th call on (never when trip is 0).
struct TripAt {
  int trip = 0;
  int calls = 0;
  static bool check(void* self) {
    auto* t = static_cast<TripAt*>(self);
    return ++t->calls >= t->trip && t->trip > 0;
  }
};

// Aborts, naming what failed, the input and the two sides, unless condition.
inline void require(bool condition, const char* what, std::string_view input, std::string_view a,
                    std::string_view b = "") {
  if (condition) return;
  std::fprintf(stderr, "%s\ninput: %.*s\n  %.*s\n  %.*s\n", what, static_cast<int>(input.size()),
               input.data(), static_cast<int>(a.size()), a.data(), static_cast<int>(b.size()),
               b.data());
  std::abort();
}

}  // namespace xray::testing
