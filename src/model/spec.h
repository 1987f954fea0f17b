// src/model/spec.h: the spec of an instance: symbol, window and panels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/errors.h"

namespace xray {

// The parameters of each panel kind. Defined outside XrayPanel so that the
// variant below sees them complete (with their default member values) and
// XrayPanel stays default-constructible.
namespace panel_config {
struct Footprint {
  double price_bin = 1.0;
  int64_t bucket_ms = 60000;  // ms; validated, not used by the computation
};
struct BookHeatmap {
  double price_bin = 1.0;
  int64_t bucket_ms = 60000;  // ms
  uint32_t depth_levels = 40;
};
struct LiquidationMap {
  double price_bin = 1.0;
};
struct FundingOiDivergence {
  int64_t bucket_ms = 60000;  // ms
};
}  // namespace panel_config

// One analysis panel of the spec; the variant order is the order of the
// names in the unknown-variant message.
struct XrayPanel {
  using Footprint = panel_config::Footprint;
  using BookHeatmap = panel_config::BookHeatmap;
  using LiquidationMap = panel_config::LiquidationMap;
  using FundingOiDivergence = panel_config::FundingOiDivergence;
  using Variant = std::variant<Footprint, BookHeatmap, LiquidationMap, FundingOiDivergence>;
  Variant config;
};

struct XraySpec {
  std::string dataset_ref;         // free-form, never examined
  std::string symbol;              // must not be empty
  std::optional<int64_t> from_ts;  // ms, inclusive lower bound of every window
  std::optional<int64_t> to_ts;    // ms, the cursor is clamped to it
  std::vector<XrayPanel> panels;   // evaluated and reported in this order
};

// BadSpec with the first failing check's message.
[[nodiscard]] Status validate_spec(const XraySpec& spec);

}  // namespace xray
