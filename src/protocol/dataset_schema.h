// src/protocol/dataset_schema.h: the JSON form of the dataset, for typed decoding.
#pragma once

#include "decode/decode_schema.h"
#include "model/dataset.h"

namespace xray::decoding {

template <>
struct Schema<Dataset> {
  using D = Dataset;
  static constexpr auto desc =
      record<D>("Dataset", defaulted("candles", &D::candles), defaulted("trades", &D::trades),
                defaulted("book", &D::book), defaulted("funding", &D::funding),
                defaulted("oi", &D::oi), defaulted("liquidations", &D::liquidations));
};

template <>
struct Schema<Candle> {
  static constexpr auto desc =
      record<Candle>("Candle", required("ts", &Candle::ts), required("open", &Candle::open),
                     required("high", &Candle::high), required("low", &Candle::low),
                     required("close", &Candle::close), required("volume", &Candle::volume));
};

template <>
struct Schema<Trade> {
  static constexpr auto desc =
      record<Trade>("Trade", required("ts", &Trade::ts), required("price", &Trade::price),
                    required("qty", &Trade::qty), required("side", &Trade::side));
};

template <>
struct Schema<BookEvent> {
  static constexpr auto desc = record<BookEvent>(
      "BookEvent", required("ts", &BookEvent::ts), required("kind", &BookEvent::kind),
      required("bids", &BookEvent::bids), required("asks", &BookEvent::asks));
  // The key ranges of its levels, noted while they are in cache.
  static void finish(BookEvent& event) { note_level_key_ranges({&event, 1}); }
};

template <>
struct Schema<PriceLevel> {
  static constexpr auto desc = double_pair(&PriceLevel::price, &PriceLevel::qty);
};

template <>
struct Schema<FundingEvent> {
  static constexpr auto desc = record<FundingEvent>(
      "FundingEvent", required("ts", &FundingEvent::ts), required("rate", &FundingEvent::rate));
};

template <>
struct Schema<OiEvent> {
  static constexpr auto desc =
      record<OiEvent>("OiEvent", required("ts", &OiEvent::ts), required("oi", &OiEvent::oi));
};

template <>
struct Schema<LiquidationEvent> {
  using L = LiquidationEvent;
  static constexpr auto desc =
      record<L>("LiquidationEvent", required("ts", &L::ts), required("price", &L::price),
                required("qty", &L::qty), required("side", &L::side));
};

template <>
struct Schema<TradeSide> {
  static constexpr auto desc = enumeration<TradeSide>("buy", "sell");
};

template <>
struct Schema<BookEventKind> {
  static constexpr auto desc = enumeration<BookEventKind>("snapshot", "diff");
};

template <>
struct Schema<LiquidationSide> {
  static constexpr auto desc = enumeration<LiquidationSide>("long", "short");
};

}  // namespace xray::decoding
