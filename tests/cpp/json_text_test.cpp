// The number rule, the string rule and the error response.
#include "json/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/errors.h"
#include "protocol/responses.h"

namespace xray {
namespace {

TEST(FormatDouble, NumberRuleTable) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {100.0, "100.0"}, {-2.5, "-2.5"}, {0.1, "0.1"},
      {0.00001, "0.00001"}, {0.00001234, "0.00001234"}, {0.000001, "1e-6"},
      {0.000001234, "1.234e-6"}, {1.25e-7, "1.25e-7"}, {-1e-300, "-1e-300"},
      {999999999999999.9, "999999999999999.9"}, {1e15, "1000000000000000.0"}, {1e16, "1e+16"},
      {1.5e16, "1.5e+16"}, {123456789012345680.0, "1.2345678901234568e+17"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"}, {0.1 + 0.2, "0.30000000000000004"},
      {9007199254740993.0, "9007199254740992.0"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_double(value), text);
}

TEST(FormatDouble, RoundTripsRandomBitPatterns) {
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 200000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    double d;
    std::memcpy(&d, &state, sizeof d);
    if (!std::isfinite(d)) continue;
    const std::string text = format_double(d);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
  }
}

TEST(AppendNumbers, NonFiniteIsNullAndIntegerExtremes) {
  std::string out;
  append_number(std::nan(""), out);
  append_number(-std::numeric_limits<double>::infinity(), out);
  append_number(2.0, out);
  append_i64(std::numeric_limits<int64_t>::min(), out);
  append_u64(std::numeric_limits<uint64_t>::max(), out);
  EXPECT_EQ(out, "nullnull2.0-922337203685477580818446744073709551615");
}

TEST(WriteJsonString, EscapesOnlyWhatTheRuleSays) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", R"("")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string_view("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"/\x7f\xc3\xa9", "\"/\x7f\xc3\xa9\""},
      {"run\"\"end", R"("run\"\"end")"},
  };
  for (const auto& [in, expected] : cases) {
    std::string out;
    write_json_string(in, out);
    EXPECT_EQ(out, expected);
  }
}

TEST(ErrorResponse, PrefixByKindAndEscapedOnce) {
  EXPECT_EQ(display_text(XrayError::data("no dataset")), "data: no dataset");
  EXPECT_EQ(error_response(XrayError::bad_spec("unknown cmd: a\"b")),
            R"({"ok":false,"error":"bad spec: unknown cmd: a\"b"})");
  EXPECT_EQ(error_response(XrayError::parse("control (\\u0000) at line 1 column 2")),
            R"({"ok":false,"error":"parse: control (\\u0000) at line 1 column 2"})");
}

}  // namespace
}  // namespace xray
