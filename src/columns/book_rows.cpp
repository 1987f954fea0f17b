// src/columns/book_rows.cpp: L2 rows grouped into events in a few linear
// passes (a sort only for rows out of ts order).
#include "columns/book_rows.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "core/cancel.h"

namespace xray::columns {

Result<BookEventCounts> group_book_rows(const BookRows& rows, BookEventColumns out) {
  const std::size_t n = rows.n;
  // The rows' order by ts; none is needed when they come sorted, as files do.
  std::vector<std::size_t> order;
  const bool sorted = std::is_sorted(rows.ts, rows.ts + n);
  if (!sorted) {
    order.resize(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return rows.ts[a] < rows.ts[b]; });
  }
  const auto row_at = [&](std::size_t i) { return sorted ? i : order[i]; };
  const auto kind_of = [&](std::size_t r) { return rows.kind[r] == 0 ? uint8_t{0} : uint8_t{1}; };
  const auto side_of = [&](std::size_t r) { return rows.side[r] == 0 ? uint8_t{0} : uint8_t{1}; };

  BookEventCounts c;
  out.bid_offsets[0] = 0;
  out.ask_offsets[0] = 0;
  CancelPoll poll;
  for (std::size_t start = 0; start < n;) {
    const int64_t ts = rows.ts[row_at(start)];
    std::size_t stop = start + 1;
    while (stop < n && rows.ts[row_at(stop)] == ts) ++stop;
    const uint8_t first_kind = kind_of(row_at(start));
    // The kind met first, then the other one when the run holds it.
    for (int rank = 0; rank < 2; ++rank) {
      const uint8_t kind = rank == 0 ? first_kind : static_cast<uint8_t>(1 - first_kind);
      bool present = rank == 0;
      for (std::size_t i = start; i < stop && !present; ++i) present = kind_of(row_at(i)) == kind;
      if (!present) continue;
      for (uint8_t side = 0; side < 2; ++side) {
        for (std::size_t i = start; i < stop; ++i) {
          if (poll.due()) return cancelled_error();
          const std::size_t r = row_at(i);
          if (kind_of(r) != kind || side_of(r) != side) continue;
          if (side == 0) {
            out.bid_price[c.bids] = rows.price[r];
            out.bid_qty[c.bids++] = rows.qty[r];
          } else {
            out.ask_price[c.asks] = rows.price[r];
            out.ask_qty[c.asks++] = rows.qty[r];
          }
        }
      }
      out.ts[c.events] = ts;
      out.kind[c.events] = kind;
      ++c.events;
      out.bid_offsets[c.events] = static_cast<int64_t>(c.bids);
      out.ask_offsets[c.events] = static_cast<int64_t>(c.asks);
    }
    start = stop;
  }
  return c;
}

}  // namespace xray::columns
