// Lists of a one-pass "load" are allocated near their length, never grown by
// doubling (which holds the old and the new block at once), in one thread or
// split into chunks.
#include <gtest/gtest.h>

#include <string>

#include "decode/list_chunks.h"
#include "engine/pool_tasks.h"
#include "engine/worker_pool.h"
#include "protocol/command_decode.h"

namespace xray {
namespace {

// A load of one list: `long_records` records of long_text, then
// `short_records` of short_text, then `after` (more lists, or nothing).
std::string load_text(const char* list, int long_records, const std::string& long_text,
                      int short_records, const std::string& short_text, const std::string& after) {
  std::string text = std::string(R"({"cmd":"load","dataset":{")") + list + "\":[";
  for (int i = 0; i < long_records + short_records; ++i) {
    if (i > 0) text += ',';
    text += i < long_records ? long_text : short_text;
  }
  return text + "]" + after + "}}";
}

TEST(LoadMemory, ListsAreAllocatedNearTheirLength) {
  const std::string far_trades = R"(,"trades":[)" + std::string(3'000'000, ' ') + "]";
  struct Case {
    const char* name;
    std::string text;
    double most;  // capacity / size
  };
  // 70,000 records: doubling from 128 would end at 131,072 slots (1.87x).
  const Case cases[] = {
      {"empty diffs", load_text("book", 70'000, R"([0,"diff",[],[]])", 0, "", ""), 1.15},
      {"candle objects",
       load_text("candles", 70'000,
                 R"({"ts":1700000000000,"open":1.5,"high":2,"low":1,"close":1.5,"volume":3})", 0,
                 "", ""),
       1.15},
      // The first records are long, so the first estimate falls short; the
      // next one is made from the mean so far.
      {"records that get shorter",
       load_text("trades", 64, R"([1700000000000,30000.12345678,0.12345678,"sell"])", 69'936,
                 R"([0,1,1,"buy"])", ""),
       1.2},
      // Text after the list counts as more of it; the room left over goes back.
      {"a list followed by a longer one",
       load_text("funding", 70'000, R"([1700000000000,0.0001])", 0, "", far_trades), 2.01},
      {"objects followed by a longer list",
       load_text("oi", 70'000, R"({"ts":1700000000000,"oi":12345.5})", 0, "", far_trades), 2.01},
  };
  // Split into chunks on two threads, the lists of objects are held alike.
  WorkerPool pool(2);
  PoolTasks tasks(pool);
  const decoding::ListSplitting in_chunks{&tasks, 1 << 14, 64};
  for (std::size_t n = 0; n < 2 * std::size(cases); ++n) {
    const Case& c = cases[n / 2];
    SCOPED_TRACE(std::string(c.name) + (n % 2 ? ", in chunks" : ""));
    const std::optional<Dataset> d = decode_load_in_one_pass(c.text, n % 2 ? &in_chunks : nullptr);
    ASSERT_TRUE(d);
    std::size_t size = 0;
    std::size_t capacity = 0;
    for_each_list(*d, [&](const auto& list) {
      if (list.size() <= size) return;
      size = list.size();
      capacity = list.capacity();
    });
    ASSERT_EQ(size, 70'000u);
    EXPECT_LE(static_cast<double>(capacity), c.most * static_cast<double>(size));
  }
}

}  // namespace
}  // namespace xray
