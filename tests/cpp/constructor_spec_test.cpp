// Trimming of the constructor's spec text.
#include <gtest/gtest.h>

#include "xray.h"

namespace xray {
namespace {

TEST(TrimUnicodeWhitespace, StripsEveryWhiteSpaceCodePointAtBothEnds) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const Case cases[] = {
      {"", ""},
      {" \t\n\r\v\f", ""},
      {"\xc2\xa0{}\xe3\x80\x80", "{}"},                 // U+00A0, U+3000
      {"\xc2\x85x\xe2\x80\xa8", "x"},                   // U+0085, U+2028
      {"\xe1\x9a\x80\xe2\x80\x80x\xe2\x80\x8a", "x"},   // U+1680, U+2000, U+200A
      {"\xe2\x80\xa9\xe2\x80\xafx\xe2\x81\x9f", "x"},   // U+2029, U+202F, U+205F
      {"\xe2\x80\x8bx", "\xe2\x80\x8bx"},               // U+200B is no white space
      {"x\xef\xbb\xbf", "x\xef\xbb\xbf"},               // nor is U+FEFF
      {"a b", "a b"},
      {"\xf0\x9f\x98\x80 ", "\xf0\x9f\x98\x80"},        // four-byte character kept
      {" \xc3\xa9", "\xc3\xa9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trim_unicode_whitespace(c.in), c.out) << c.in;
  }
}

TEST(SpecFromConstructorText, EmptyAndBracesGiveNoSpec) {
  for (std::string_view text : {"", "   \n", "{}", "\xc2\xa0{}\xe3\x80\x80"}) {
    Result<std::optional<XraySpec>> r = spec_from_constructor_text(text);
    ASSERT_TRUE(r) << text;
    EXPECT_FALSE(r->has_value()) << text;
  }
}

}  // namespace
}  // namespace xray
