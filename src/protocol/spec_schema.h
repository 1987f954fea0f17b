// src/protocol/spec_schema.h: the JSON form of the spec, for typed decoding.
#pragma once

#include "decode/decode_schema.h"
#include "model/spec.h"

namespace xray::decoding {

template <>
struct Schema<XraySpec> {
  using S = XraySpec;
  static constexpr auto desc =
      record<S>("XraySpec", required("dataset_ref", &S::dataset_ref),
                required("symbol", &S::symbol), defaulted("from_ts", &S::from_ts),
                defaulted("to_ts", &S::to_ts), required("panels", &S::panels));
};

// The variants' defaults are the initial values of their members.
template <>
struct Schema<XrayPanel> {
  static constexpr auto desc =
      tagged_union("XrayPanel", "kind", &XrayPanel::config, "footprint", "book_heatmap",
                   "liquidation_map", "funding_oi_divergence");
};

template <>
struct Schema<XrayPanel::Footprint> {
  using P = XrayPanel::Footprint;
  static constexpr auto desc = record<P>("Footprint", defaulted("price_bin", &P::price_bin),
                                         defaulted("bucket_ms", &P::bucket_ms));
};

template <>
struct Schema<XrayPanel::BookHeatmap> {
  using P = XrayPanel::BookHeatmap;
  static constexpr auto desc =
      record<P>("BookHeatmap", defaulted("price_bin", &P::price_bin),
                defaulted("bucket_ms", &P::bucket_ms), defaulted("depth_levels", &P::depth_levels));
};

template <>
struct Schema<XrayPanel::LiquidationMap> {
  using P = XrayPanel::LiquidationMap;
  static constexpr auto desc = record<P>("LiquidationMap", defaulted("price_bin", &P::price_bin));
};

template <>
struct Schema<XrayPanel::FundingOiDivergence> {
  using P = XrayPanel::FundingOiDivergence;
  static constexpr auto desc =
      record<P>("FundingOiDivergence", defaulted("bucket_ms", &P::bucket_ms));
};

}  // namespace xray::decoding
