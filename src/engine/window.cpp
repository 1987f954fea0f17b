// src/engine/window.cpp: the window of a frame as ranges of the stored lists.
#include "engine/window.h"

#include <algorithm>
#include <span>
#include <vector>

namespace xray {
namespace {

// The records of a ts-sorted list with lower <= ts <= cursor_ts: equal-ts
// runs are kept whole and in stored order, and the range is empty when the
// cursor lies before the lower bound.
template <class Record>
std::span<const Record> ts_range(const std::vector<Record>& list, std::optional<int64_t> lower,
                                 int64_t cursor_ts) {
  XRAY_ASSERT(std::is_sorted(list.begin(), list.end(),
                             [](const Record& a, const Record& b) { return a.ts < b.ts; }),
              "stored lists are sorted by ts");
  const auto first = lower ? std::lower_bound(list.begin(), list.end(), *lower,
                                              [](const Record& r, int64_t ts) { return r.ts < ts; })
                           : list.begin();
  const auto last = std::upper_bound(first, list.end(), cursor_ts,
                                     [](int64_t ts, const Record& r) { return ts < r.ts; });
  return {first, last};
}

}  // namespace

FrameWindow frame_window(std::optional<int64_t> from_ts, std::optional<int64_t> to_ts,
                         int64_t cursor, std::optional<int64_t> window_ms) {
  XRAY_ASSERT(!window_ms || *window_ms > 0, "a window holds at least one millisecond");
  const int64_t cursor_ts = to_ts ? std::min(*to_ts, cursor) : cursor;
  if (!window_ms) return {from_ts, cursor_ts};
  // Saturated: a window reaching past the earliest representable time has
  // no lower bound to add.
  int64_t start = 0;
  if (__builtin_sub_overflow(cursor_ts, *window_ms - 1, &start)) return {from_ts, cursor_ts};
  return {from_ts ? std::max(*from_ts, start) : start, cursor_ts};
}

DatasetWindow cut_window(const Dataset& dataset, std::optional<int64_t> from_ts,
                         int64_t cursor_ts) {
  const std::span<const BookEvent> book = ts_range(dataset.book, from_ts, cursor_ts);
  return DatasetWindow{
      ts_range(dataset.candles, from_ts, cursor_ts),
      ts_range(dataset.trades, from_ts, cursor_ts),
      book,
      ts_range(dataset.funding, from_ts, cursor_ts),
      ts_range(dataset.oi, from_ts, cursor_ts),
      ts_range(dataset.liquidations, from_ts, cursor_ts),
      dataset.book_blocks,
      static_cast<std::size_t>(book.data() - dataset.book.data()),
  };
}

}  // namespace xray
