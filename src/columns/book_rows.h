// src/columns/book_rows.h: order-book L2 rows (one price level a row)
// grouped into book events, as flat level columns with per-event offsets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/errors.h"

namespace xray::columns {

// n rows: ts (ms), kind code (0 snapshot, 1 diff), side code (0 bid, 1 ask),
// price, qty. Caller-owned, read only.
struct BookRows {
  const int64_t* ts;
  const uint8_t* kind;
  const uint8_t* side;
  const double* price;
  const double* qty;
  std::size_t n;
};

// Room for the events: each array holds n rows (the offsets n + 1), enough
// whatever the grouping.
struct BookEventColumns {
  int64_t* ts;
  uint8_t* kind;
  int64_t* bid_offsets;
  double* bid_price;
  double* bid_qty;
  int64_t* ask_offsets;
  double* ask_price;
  double* ask_qty;
};

struct BookEventCounts {
  std::size_t events = 0;
  std::size_t bids = 0;
  std::size_t asks = 0;
};

// Rows of one ts and kind become one event. Events come in ts order (rows
// out of order are ordered stably by ts first); at one ts, the kind met
// first comes first. Within an event, bids before asks, each side in the
// rows' order, since a later level for a price replaces an earlier one.
// A code other than 0 or 1 reads as 1. Stops when the command is cancelled.
[[nodiscard]] Result<BookEventCounts> group_book_rows(const BookRows& rows, BookEventColumns out);

}  // namespace xray::columns
