// src/model/spec.cpp: validation of the spec.
#include "model/spec.h"

#include <cmath>
#include <string>

namespace xray {
namespace {

Status price_bin_check(double price_bin, const char* label) {
  // NaN fails the comparison, so it is rejected with zero and the negatives.
  if (price_bin > 0.0 && std::isfinite(price_bin)) return {};
  return XrayError::bad_spec(std::string(label) + " must be a positive number");
}

Status bucket_check(int64_t bucket_ms, const char* message) {
  if (bucket_ms > 0) return {};
  return XrayError::bad_spec(message);
}

Status validate_panel(const XrayPanel& panel) {
  struct Check {
    Status operator()(const XrayPanel::Footprint& p) const {
      if (Status s = price_bin_check(p.price_bin, "footprint price_bin"); !s) return s;
      return bucket_check(p.bucket_ms, "footprint bucket_ms must be > 0");
    }
    Status operator()(const XrayPanel::BookHeatmap& p) const {
      if (Status s = price_bin_check(p.price_bin, "book_heatmap price_bin"); !s) return s;
      if (Status s = bucket_check(p.bucket_ms, "book_heatmap bucket_ms must be > 0"); !s) return s;
      if (p.depth_levels == 0) return XrayError::bad_spec("book_heatmap depth_levels must be > 0");
      return {};
    }
    Status operator()(const XrayPanel::LiquidationMap& p) const {
      return price_bin_check(p.price_bin, "liquidation_map price_bin");
    }
    Status operator()(const XrayPanel::FundingOiDivergence& p) const {
      return bucket_check(p.bucket_ms, "funding_oi_divergence bucket_ms must be > 0");
    }
  };
  return std::visit(Check{}, panel.config);
}

}  // namespace

Status validate_spec(const XraySpec& spec) {
  if (spec.symbol.empty()) return XrayError::bad_spec("symbol must not be empty");
  if (spec.panels.empty()) return XrayError::bad_spec("panels must not be empty");
  if (spec.from_ts && spec.to_ts && *spec.from_ts > *spec.to_ts) {
    return XrayError::bad_spec("from_ts must be <= to_ts");
  }
  for (const XrayPanel& panel : spec.panels) {
    if (Status s = validate_panel(panel); !s) return s;
  }
  return {};
}

}  // namespace xray
