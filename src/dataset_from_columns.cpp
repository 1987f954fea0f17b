// src/dataset_from_columns.cpp: the columns walk's sink that fills a dataset.
#include "dataset_from_columns.h"

#include <memory_resource>
#include <utility>
#include <vector>

#include "columns/columns_walk.h"

namespace xray {
namespace {

struct DatasetSink {
  Dataset& d;
  LevelList* side = nullptr;  // the book side being filled
  bool asks_next = false;

  void open_list(std::string_view key, std::size_t rows) {
    if (key == "candles") d.candles.reserve(rows);
    if (key == "trades") d.trades.reserve(rows);
    if (key == "book") d.book.reserve(rows);
    if (key == "funding") d.funding.reserve(rows);
    if (key == "oi") d.oi.reserve(rows);
    if (key == "liquidations") d.liquidations.reserve(rows);
  }
  void close_list(std::size_t /*rows*/) {}

  void candle(int64_t ts, double open, double high, double low, double close, double volume) {
    d.candles.push_back(Candle{ts, open, high, low, close, volume});
  }
  void trade(int64_t ts, double price, double qty, uint8_t side_code) {
    d.trades.push_back(Trade{ts, price, qty, static_cast<TradeSide>(side_code)});
  }
  void liquidation(int64_t ts, double price, double qty, uint8_t side_code) {
    d.liquidations.push_back(
        LiquidationEvent{ts, price, qty, static_cast<LiquidationSide>(side_code)});
  }
  void book_event(int64_t ts, uint8_t kind) {
    std::pmr::memory_resource* arena = d.level_arena.get();
    d.book.emplace_back(ts, static_cast<BookEventKind>(kind), LevelList(arena), LevelList(arena));
    asks_next = false;
  }
  // Bids come first, then asks; each side is sized once.
  void book_side(std::size_t levels) {
    side = asks_next ? &d.book.back().asks : &d.book.back().bids;
    asks_next = true;
    side->reserve(levels);
  }
  void level(double price, double qty) { side->push_back(PriceLevel{price, qty}); }
  void end_book_side(std::size_t /*levels*/) {}
  void end_book_event() {}
  void funding(int64_t ts, double rate) { d.funding.push_back(FundingEvent{ts, rate}); }
  void oi(int64_t ts, double oi) { d.oi.push_back(OiEvent{ts, oi}); }
};

}  // namespace

Result<Dataset> dataset_from_columns(const columns::DatasetColumns& columns) {
  if (Status shapes = columns::check_column_shapes(columns); !shapes) {
    return std::move(shapes).error();
  }
  Dataset dataset;
  DatasetSink sink{dataset};
  if (Status walked = columns::walk_columns(columns, sink); !walked) {
    return std::move(walked).error();
  }
  return dataset;
}

}  // namespace xray
