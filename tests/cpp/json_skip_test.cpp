// Skipping a container of checked text: the end and the element count must
// be exact whatever the strings hold (escaped quotes and backslashes at every
// offset within a word) and however deep the nesting.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "json/json_reader.h"
#include "json/json_skip.h"

namespace xray {
namespace {

class ValueWriter {
 public:
  explicit ValueWriter(uint64_t seed) : rng_(seed) {}

  // A container with exactly `count` elements.
  std::string container(std::size_t count, int depth) {
    std::string out;
    const bool object = pick(2) == 0;
    out += object ? '{' : '[';
    space(out);
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) {
        out += ',';
        space(out);
      }
      if (object) {
        out += string();
        space(out);
        out += ':';
        space(out);
      }
      out += value(depth + 1);
      space(out);
    }
    out += object ? '}' : ']';
    return out;
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  void space(std::string& out) {
    if (pick(4) == 0) out += std::string(pick(3) + 1, " \n\t\r"[pick(4)]);
  }
  std::string string() {
    static const char* const kPieces[] = {"a", "[", "]", "{", "}", ",", "\\\"", "\\\\", "\\n",
                                          "\\u005b", "x y", "\xC3\xA9", "\\/", "\\\\\\\""};
    std::string out = "\"";
    for (std::size_t n = pick(6); n > 0; --n) out += kPieces[pick(std::size(kPieces))];
    return out + "\"";
  }
  std::string value(int depth) {
    switch (depth < 6 ? pick(7) : pick(4)) {
      case 0: return string();
      case 1: return "-12.5e3";
      case 2: return pick(2) ? "true" : "null";
      case 3: return "0";
      default: return container(pick(5), depth);
    }
  }
  std::mt19937_64 rng_;
};

TEST(JsonSkip, EndAndCountOfRandomContainers) {
  ValueWriter writer(99);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t count = static_cast<std::size_t>(round % 7);
    const std::string inner = writer.container(count, 0);
    // Offsets 0..15 before the container move it across word boundaries.
    const std::string prefix = std::string("[\"pad\",") + std::string(static_cast<std::size_t>(round % 16), ' ');
    const std::string text = prefix + inner + "]";
    ASSERT_TRUE(check_json_syntax(text).ok()) << text;
    for (auto skip : {&skip_checked_container, &skip_checked_container_by_words}) {
      std::size_t got_count = 99;
      const std::size_t end = skip(text, prefix.size(), got_count);
      ASSERT_EQ(end, prefix.size() + inner.size()) << inner;
      ASSERT_EQ(got_count, count) << inner;
    }
  }
}

}  // namespace
}  // namespace xray
