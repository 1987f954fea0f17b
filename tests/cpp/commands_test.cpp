// Replays tests/cases/commands.txt through the constructor's spec path and
// XrayInstance::command.
#include <gtest/gtest.h>

#include <memory>

#include "constructor_spec.h"
#include "instance.h"
#include "support.h"

namespace xray {
namespace {

TEST(Commands, Cases) {
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

}  // namespace
}  // namespace xray
