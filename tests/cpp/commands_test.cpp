// Replays tests/cases/commands.txt through the constructor's spec path and
// XrayInstance::command, in one thread and with the lists of each load
// split into chunks.
#include <gtest/gtest.h>

#include <memory>

#include "constructor_spec.h"
#include "decode/list_chunks.h"
#include "engine/pool_tasks.h"
#include "engine/worker_pool.h"
#include "instance.h"
#include "support.h"

namespace xray {
namespace {

// With rules, every list of objects is split into chunks of a few bytes.
void replay_commands(const decoding::ListSplitting* rules) {
  std::unique_ptr<XrayInstance> x;
  std::string outcome;  // of the last `new` (its error) or `>` (the response)
  std::string last = "#";
  for (const testing::CaseLine& c : testing::read_cases("commands.txt")) {
    SCOPED_TRACE("commands.txt:" + std::to_string(c.line));
    if (c.tag == "raises" || c.tag == "<") {
      ASSERT_EQ(last, c.tag == "<" ? ">" : "new") << "nothing to compare with";
      EXPECT_EQ(outcome, c.text);
    } else {
      ASSERT_NE(last, ">") << "a response was not given";
      ASSERT_TRUE(last != "new" || outcome.empty()) << "the constructor failed: " << outcome;
      if (c.tag == "new") {
        Result<std::optional<XraySpec>> spec = spec_from_constructor_text(c.text);
        outcome = spec ? "" : display_text(spec.error());
        x = spec ? std::make_unique<XrayInstance>(std::move(spec).value()) : nullptr;
        if (x && rules) x->split_loads_with(rules);
      } else {
        ASSERT_EQ(c.tag, ">");
        ASSERT_TRUE(x) << "no instance";
        outcome = x->command(c.text);
      }
    }
    last = c.tag;
  }
  EXPECT_TRUE(last != ">" && (last != "new" || outcome.empty())) << "unchecked: " << outcome;
}

TEST(Commands, Cases) { replay_commands(nullptr); }

TEST(CommandsInChunks, Cases) {
  for (std::size_t threads : {1, 2}) {
    WorkerPool pool(threads);
    PoolTasks tasks(pool);
    const decoding::ListSplitting rules{&tasks, 1, 0};
    replay_commands(&rules);
  }
}

}  // namespace
}  // namespace xray
