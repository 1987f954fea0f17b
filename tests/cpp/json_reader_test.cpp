// Fault texts and positions of the reader, and the values it builds.
#include "json/json_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "json_dump.h"

namespace xray {
namespace {

using namespace std::string_view_literals;

struct FaultCase {
  std::string_view text;
  std::string_view message;  // with its position suffix
};

std::string nested(int levels, std::string_view open, std::string_view close,
                   std::string_view inner = "") {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  text += inner;
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

// One fault seen the same way by the tree reader, the syntax check, a full
// lexer walk and skip_value.
void expect_fault(std::string_view text, std::string_view message) {
  Result<JsonDocument> doc = read_json_value(text);
  ASSERT_FALSE(doc) << "read: " << testing::dump_tree(doc->root());
  EXPECT_EQ(doc.error().kind, ErrorKind::Parse);
  EXPECT_EQ(doc.error().message, message);
  Status checked = check_json_syntax(text);
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().message, message);
  Result<std::string> walked = testing::dump_text_with_lexer(text);
  ASSERT_FALSE(walked) << *walked;
  EXPECT_EQ(walked.error().message, message);
  Status skipped = testing::skip_text_with_lexer(text);
  ASSERT_FALSE(skipped);
  EXPECT_EQ(skipped.error().message, message);
}

#define CTRL "control character (\\u0000-\\u001F) found while parsing a string"

const FaultCase kFaults[] = {
    // Where a value must come.
    {"", "EOF while parsing a value at line 1 column 0"},
    {" \t\r\n", "EOF while parsing a value at line 2 column 0"},
    {"{\"a\":  ", "EOF while parsing a value at line 1 column 7"},
    {"  \n\n  x", "expected value at line 3 column 3"},
    {"{\"cmd\":}", "expected value at line 1 column 8"},
    {"+1", "expected value at line 1 column 1"},
    {"[,1]", "expected value at line 1 column 2"},
    {"\f1", "expected value at line 1 column 1"},
    {"\xc2\xa0" "1", "expected value at line 1 column 1"},
    {"[1,\0]"sv, "expected value at line 1 column 4"},
    // Literals.
    {"tru", "EOF while parsing a value at line 1 column 3"},
    {"nulL", "expected ident at line 1 column 4"},
    {"[tRue]", "expected ident at line 1 column 3"},
    {"truefalse", "trailing characters at line 1 column 5"},
    // Numbers.
    {"01", "invalid number at line 1 column 2"},
    {"-01", "invalid number at line 1 column 3"},
    {"[-", "EOF while parsing a value at line 1 column 2"},
    {"-.5", "invalid number at line 1 column 2"},
    {"1.", "EOF while parsing a value at line 1 column 2"},
    {"1.e5", "invalid number at line 1 column 3"},
    {"[1.]", "invalid number at line 1 column 4"},
    {"1E+", "EOF while parsing a value at line 1 column 3"},
    {"1e+x", "invalid number at line 1 column 4"},
    {"1ex", "invalid number at line 1 column 3"},
    {"[1.5.3]", "expected `,` or `]` at line 1 column 5"},
    {"0x10", "trailing characters at line 1 column 2"},
    {"-1e400", "number out of range at line 1 column 6"},
    {"1.8e308", "number out of range at line 1 column 7"},
    {"0.1e310", "number out of range at line 1 column 7"},
    // The written exponent fits 32 bits, the sum leaves the table: found at the end.
    {"1e2147483647", "number out of range at line 1 column 12"},
    // The written exponent leaves 32 bits at a digit: found just past that digit.
    {"1e21474836470", "number out of range at line 1 column 13"},
    {"[5E+99999999999999,1]", "number out of range at line 1 column 14"},
    // Strings and escapes.
    {"\"abc", "EOF while parsing a string at line 1 column 4"},
    {"\"\\", "EOF while parsing a string at line 1 column 2"},
    {"\"\\x\"", "invalid escape at line 1 column 3"},
    {"\"\\\n\"", "invalid escape at line 2 column 0"},
    {"\"\\u12\"", "invalid escape at line 1 column 6"},
    {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
    {"\"\\u1x34\"", "invalid escape at line 1 column 5"},
    {"\"\\ude00\"", "lone leading surrogate in hex escape at line 1 column 7"},
    {"\"\\ud83dx\"", "unexpected end of hex escape at line 1 column 8"},
    {"\"\\ud83d\\", "EOF while parsing a string at line 1 column 8"},
    {"\"\\ud83d\\n\"", "unexpected end of hex escape at line 1 column 9"},
    {"\"\\ud83d\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
    {"\"\\ud83d\\ud83d\"", "lone leading surrogate in hex escape at line 1 column 13"},
    {"\"\\ud83d\\uzz\"", "invalid escape at line 1 column 10"},
    // Raw control bytes inside strings (every byte below 0x20 is tried below).
    {"\"\0\""sv, CTRL " at line 1 column 2"},
    {"\"long enough to pass a word\r\"", CTRL " at line 1 column 28"},
    {"{\"k\x02\":1}", CTRL " at line 1 column 4"},
    // Arrays.
    {"[", "EOF while parsing a list at line 1 column 1"},
    {"[1 ", "EOF while parsing a list at line 1 column 3"},
    {"[1, ", "EOF while parsing a value at line 1 column 4"},
    {"[1,\n]", "trailing comma at line 2 column 1"},
    {"[1 2]", "expected `,` or `]` at line 1 column 4"},
    {"[1}", "expected `,` or `]` at line 1 column 3"},
    // Objects.
    {"{", "EOF while parsing an object at line 1 column 1"},
    {"{\"a\" ", "EOF while parsing an object at line 1 column 5"},
    {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
    {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
    {"{\"a\" 1}", "expected `:` at line 1 column 6"},
    {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
    {"{\"a\":1 , }", "trailing comma at line 1 column 10"},
    {"{a:1}", "key must be a string at line 1 column 2"},
    {"{\"a\":1,2}", "key must be a string at line 1 column 8"},
    {"{\"a\":1,]", "key must be a string at line 1 column 8"},
    // Line counting: a carriage return belongs to its line.
    {"[1,\r\n2,\r\n]", "trailing comma at line 3 column 1"},
    {"\r\r\rx", "expected value at line 1 column 4"},
    // After the value.
    {"1 2", "trailing characters at line 1 column 3"},
    {"null\n\n,", "trailing characters at line 3 column 1"},
    {"1\0"sv, "trailing characters at line 1 column 2"},
};

#undef CTRL

TEST(JsonReaderFaults, EveryFaultTextAndPosition) {
  for (const FaultCase& c : kFaults) {
    SCOPED_TRACE(testing::dump_string(c.text));
    expect_fault(c.text, c.message);
  }
  // An empty view without any data behind it.
  expect_fault(std::string_view(), "EOF while parsing a value at line 1 column 0");
}

TEST(JsonReaderFaults, NestingBudgetAllowsExactly127Levels) {
  struct Case {
    std::string text;
    bool ok;
    std::string_view message;
  };
  const Case cases[] = {
      {nested(127, "[", "]"), true, ""},
      {nested(127, "{\"a\":", "}", "0"), true, ""},
      {nested(63, "[{\"k\":", "}]", "[]"), true, ""},
      {nested(128, "[", "]"), false, "recursion limit exceeded at line 1 column 128"},
      {nested(128, "{\"a\":", "}", "0"), false, "recursion limit exceeded at line 1 column 636"},
      {nested(64, "[{\"k\":", "}]", "0"), false, "recursion limit exceeded at line 1 column 380"},
      // The fault comes from opening, whatever follows.
      {std::string(128, '['), false, "recursion limit exceeded at line 1 column 128"},
      {std::string(10 << 20, '['), false, "recursion limit exceeded at line 1 column 128"},
      {std::string(5'000'000, '{'), false, "key must be a string at line 1 column 2"},
      // Closing gives the budget back: many siblings at depth 127.
      {testing::cat("[", nested(126, "[", "]"), ",", nested(126, "[", "]"), "]"), true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    if (c.ok) {
      EXPECT_TRUE(read_json_value(c.text));
      EXPECT_TRUE(check_json_syntax(c.text));
      EXPECT_TRUE(testing::skip_text_with_lexer(c.text));
    } else {
      expect_fault(c.text, c.message);
    }
  }
}

TEST(JsonReaderFaults, ControlBytesInsideAndOutsideStrings) {
  for (int b = 0; b < 0x20; ++b) {
    const char byte = static_cast<char>(b);
    SCOPED_TRACE(b);
    const std::string in_string = std::string("[\"ab") + byte + "\"]";
    expect_fault(in_string,
                 b == '\n' ? "control character (\\u0000-\\u001F) found while parsing a string at "
                             "line 2 column 0"
                           : "control character (\\u0000-\\u001F) found while parsing a string at "
                             "line 1 column 5");
    const bool whitespace = b == ' ' || b == '\t' || b == '\n' || b == '\r';
    const std::string between = std::string("[1,") + byte + "2]";
    if (whitespace) {
      EXPECT_TRUE(read_json_value(between));
    } else {
      expect_fault(between, "expected value at line 1 column 4");
    }
  }
}

// Every proper prefix of a valid text ends early: an EOF fault at its end.
TEST(JsonReaderFaults, EveryTruncationIsAnEofFaultAtTheEnd) {
  const std::string text =
      "{\"a\":[1,-2,3.5e-2,true,false,null,\"x\\\"y\\u00e9\\ud83d\\ude00\"],\r\n"
      " \"long key that is not inline\":{\"n\":-0.0E+12,\"s\":\"\"},\"z\":[[],{}]}";
  ASSERT_TRUE(read_json_value(text));
  for (std::size_t n = 0; n < text.size(); ++n) {
    const std::string_view prefix(text.data(), n);
    SCOPED_TRACE(prefix);
    Result<JsonDocument> doc = read_json_value(prefix);
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().message.rfind("EOF while parsing ", 0), 0u) << doc.error().message;
    EXPECT_NE(doc.error().message.find(position_suffix(prefix, n)), std::string::npos);
    EXPECT_EQ(check_json_syntax(prefix).error().message, doc.error().message);
  }
}

TEST(JsonReaderPositions, SuffixCountsLinesAndBytes) {
  EXPECT_EQ(position_suffix("", 0), " at line 1 column 0");
  EXPECT_EQ(position_suffix("a\r\nbc", 5), " at line 2 column 2");
  EXPECT_EQ(position_suffix("\n\n\n", 3), " at line 4 column 0");
  EXPECT_EQ(position_suffix("\xc3\xa9x", 3), " at line 1 column 3");  // columns count bytes
  EXPECT_EQ(position_suffix("ab", 99), " at line 1 column 2");
}

}  // namespace
}  // namespace xray
