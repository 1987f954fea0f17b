// What the reader builds: number classes and conversions, strings, member
// order and duplicates, look-up, and the size of the tree.
#include "json/json_value.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "json_dump.h"
#include "json/json_reader.h"

namespace xray {
namespace {

JsonDocument read_ok(std::string_view text) {
  Result<JsonDocument> doc = read_json_value(text);
  EXPECT_TRUE(doc) << text << ": " << (doc ? "" : doc.error().message);
  return doc ? std::move(doc).value() : JsonDocument{};
}

struct NumberCase {
  const char* text;
  NumberClass cls;
  uint64_t bits;  // the unsigned value, the signed value's bits or the double's bits
};

uint64_t bits_of(double d) { return std::bit_cast<uint64_t>(d); }
uint64_t bits_of(int64_t i) { return static_cast<uint64_t>(i); }

// Expected doubles come from an independent evaluation of the fixed
// conversion (significand to double, then one step by a power of ten).
const NumberCase kNumbers[] = {
    {"0", NumberClass::Unsigned, 0},
    {"18446744073709551615", NumberClass::Unsigned, UINT64_MAX},
    {"18446744073709551616", NumberClass::Float, bits_of(0x1p+64)},
    {"-1", NumberClass::Signed, bits_of(int64_t{-1})},
    {"-9223372036854775808", NumberClass::Signed, bits_of(INT64_MIN)},
    {"-9223372036854775809", NumberClass::Float, bits_of(-0x1p+63)},
    {"-0", NumberClass::Float, bits_of(-0.0)},
    {"-0.0", NumberClass::Float, bits_of(-0.0)},
    {"1E+2", NumberClass::Float, bits_of(100.0)},
    {"-0e400", NumberClass::Float, bits_of(-0.0)},
    {"0.000e99999999999999999", NumberClass::Float, bits_of(0.0)},
    {"1e-400", NumberClass::Float, bits_of(0.0)},
    {"-1e-400", NumberClass::Float, bits_of(-0.0)},
    {"-7.5e-2147483648", NumberClass::Float, bits_of(-0.0)},
    {"0.1", NumberClass::Float, bits_of(0x1.999999999999ap-4)},
    {"30012.3", NumberClass::Float, bits_of(0x1.d4f1333333333p+14)},
    {"1e23", NumberClass::Float, bits_of(0x1.52d02c7e14af6p+76)},
    {"1.7976931348623157e308", NumberClass::Float, bits_of(0x1.fffffffffffffp+1023)},
    {"2.2250738585072014e-308", NumberClass::Float, bits_of(0x1p-1022)},
    {"5e-324", NumberClass::Float, bits_of(0x0.0000000000001p-1022)},
    {"1e-320", NumberClass::Float, bits_of(0x0.00000000007e8p-1022)},
    // Not the correctly rounded results: the conversion is fixed, not exact.
    {"9007199254740993.0", NumberClass::Float, bits_of(0x1.0000000000001p+53)},
    {"2.2250738585072011e-308", NumberClass::Float, bits_of(0x1p-1022)},
    // Integer digits past the significand raise the exponent.
    {"123456789012345678901234567890", NumberClass::Float, bits_of(0x1.8ee90ff6c373ep+96)},
    // Fraction digits past the significand are ignored.
    {"1.2345678901234567890123", NumberClass::Float, bits_of(0x1.3c0ca428c59fbp+0)},
    // Once the integer part overflowed, no fraction digit is tried again
    // (trying the 0 would give ...29fp-36).
    {"18446744073709551616.0e-30", NumberClass::Float, bits_of(0x1.4484bfeebc2a0p-36)},
};

TEST(JsonNumbers, ClassesAndConversions) {
  for (const NumberCase& c : kNumbers) {
    SCOPED_TRACE(c.text);
    const JsonDocument doc = read_ok(c.text);
    ASSERT_TRUE(doc.root().is_number());
    const JsonNumber n = doc.root().as_number();
    EXPECT_EQ(n.cls, c.cls);
    EXPECT_EQ(n.cls == NumberClass::Float ? bits_of(n.d) : n.u, c.bits);
    // Inside containers the same number is read the same way.
    const JsonDocument wrapped = read_ok(testing::cat("[{\"n\":", c.text, "}]"));
    EXPECT_EQ(testing::dump_tree(wrapped.root().elements()[0].members()[0].value),
              testing::dump_tree(doc.root()));
  }
}

TEST(JsonNumbers, TenThousandDigits) {
  std::string digits;
  for (int i = 0; i < 1000; ++i) digits += "1234567890";
  EXPECT_EQ(read_json_value(digits).error().message, "number out of range at line 1 column 10000");
  const std::pair<std::string, double> cases[] = {
      {digits + "e-9990", 0x1.26580b487e6b7p+30},
      {testing::cat("0.", digits), 0x1.f9add3746f65fp-4},
      {testing::cat("0.", std::string(10000, '0'), "1"), 0.0},
      {testing::cat("-1", std::string(9999, '0'), "e-10000"), -0x1.999999999999ap-4},
  };
  for (const auto& [text, expected] : cases) {
    const JsonNumber n = read_ok(text).root().as_number();
    EXPECT_EQ(n.cls, NumberClass::Float);
    EXPECT_EQ(bits_of(n.d), bits_of(expected)) << text.substr(0, 30);
  }
}

TEST(JsonStrings, EscapesAndStorage) {
  struct Case {
    std::string_view text;
    std::string_view decoded;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {R"("")", ""},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC")", "A\xc3\xa9\xe2\x82\xac"},
      {R"("\u0000")", "\0"sv},
      {R"("a\u0000b")", "a\0b"sv},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {R"("\uDBFF\uDFFF")", "\xf4\x8f\xbf\xbf"},
      {"\"\xc3\xa9 \x7f /\"", "\xc3\xa9 \x7f /"},           // copied unchanged
      {R"("fourteen bytes")", "fourteen bytes"},             // longest inline
      {R"("fifteen bytes!!")", "fifteen bytes!!"},           // first in the arena
      {R"("escaped\tand longer than fourteen")", "escaped\tand longer than fourteen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const JsonDocument doc = read_ok(c.text);
    ASSERT_TRUE(doc.root().is_string());
    EXPECT_EQ(doc.root().as_string(), c.decoded);
    // The same string as a member name and inside an array.
    const JsonDocument obj = read_ok(testing::cat("{", c.text, ":[", c.text, "]}"));
    ASSERT_EQ(obj.root().members().size(), 1u);
    EXPECT_EQ(obj.root().members()[0].key(), c.decoded);
    EXPECT_EQ(obj.root().members()[0].value.elements()[0].as_string(), c.decoded);
  }
}

TEST(JsonObjects, MembersSortedByNameBytesLaterDuplicateWins) {
  struct Case {
    std::string_view text;
    std::string_view dump;
  };
  const Case cases[] = {
      {R"({})", "{}"},
      {R"({"a":1,"a":2})", R"({"a":u2,})"},
      {R"({"b":1,"a":2})", R"({"a":u2,"b":u1,})"},
      {R"({"b":1,"a":2,"c":3,"a":4,"b":5})", R"({"a":u4,"b":u5,"c":u3,})"},
      {R"({"ab":1,"a":2,"a\u0000":3,"B":4})", R"({"B":u4,"a":u2,"a\x00":u3,"ab":u1,})"},
      {R"({"\u00e9":1,"z":2})", R"({"z":u2,"\xc3\xa9":u1,})"},
      {R"({"a long name, not inline":1,"a long name, not inline!":2,"a long name, not inline":3})",
       R"({"a long name, not inline":u3,"a long name, not inline!":u2,})"},
      {R"({"x":{"b":[],"a":{}},"x":null})", R"({"x":null,})"},
      // Objects in a row: equal names in another order, repeats, other names.
      {R"([{"b":1,"a":2},{"b":3,"a":4},{"a":5,"b":6},{"b":7,"a":8,"b":9},{"b":1,"c":2},{"b":1}])",
       R"([{"a":u2,"b":u1,},{"a":u4,"b":u3,},{"a":u5,"b":u6,},{"a":u8,"b":u9,},{"b":u1,"c":u2,},{"b":u1,},])"},
      {R"([{"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9},{"i":1,"a":2}])",
       R"([{"a":u1,"b":u2,"c":u3,"d":u4,"e":u5,"f":u6,"g":u7,"h":u8,"i":u9,},{"a":u2,"i":u1,},])"},
      // Short names read as words must not see the bytes after them.
      {R"({"a!":1,"a":2,"a" :3,"a"   :4,"padding to read past":0})",
       R"({"a":u4,"a!":u1,"padding to read past":u0,})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(testing::dump_tree(read_ok(c.text).root()), c.dump);
  }
}

TEST(JsonObjects, LargeObjectsSortAndDeduplicateStably) {
  // 300 members in a scrambled order, every name given three times.
  std::string text = "{";
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 100; ++i) {
      const int key = (i * 37) % 100;
      text += testing::cat("\"k", std::to_string(key), "\":", std::to_string(round * 1000 + key), ",");
    }
  }
  text.back() = '}';
  const JsonDocument doc = read_ok(text);
  const auto members = doc.root().members();
  ASSERT_EQ(members.size(), 100u);
  for (std::size_t i = 1; i < members.size(); ++i) {
    EXPECT_LT(members[i - 1].key(), members[i].key());
  }
  for (const JsonMember& m : members) {
    const int key = std::stoi(std::string(m.key().substr(1)));
    EXPECT_EQ(m.value.as_number().u, static_cast<uint64_t>(2000 + key));
  }
}

TEST(JsonObjects, FindIsExactOverSortedMembers) {
  const JsonDocument doc =
      read_ok(R"({"price":1,"qty":2,"side":"b","ts":3,"a":4,"pricey":5,"a long key of many bytes":6})");
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"price", "u1"}, {"qty", "u2"}, {"side", "\"b\""}, {"a", "u4"}, {"pricey", "u5"},
      {"a long key of many bytes", "u6"}, {"pric", "-"}, {"", "-"}, {"z", "-"}, {"Price", "-"},
      {"priced", "-"}};
  for (const auto& [name, dump] : cases) {
    const JsonValue* v = doc.root().find(name);
    EXPECT_EQ(v ? testing::dump_tree(*v) : "-", dump) << name;
  }
  EXPECT_EQ(read_ok("[1]").root().find("a"), nullptr);
}

TEST(JsonValues, KindsAndAccessorsOnOtherKinds) {
  const JsonDocument doc = read_ok(R"([null,true,false,1,"s",[2],{"k":3}])");
  const auto e = doc.root().elements();
  ASSERT_EQ(e.size(), 7u);
  const JsonKind kinds[] = {JsonKind::Null,   JsonKind::Bool,  JsonKind::Bool,  JsonKind::Number,
                            JsonKind::String, JsonKind::Array, JsonKind::Object};
  for (std::size_t i = 0; i < e.size(); ++i) EXPECT_EQ(e[i].kind(), kinds[i]) << i;
  EXPECT_TRUE(e[1].as_bool());
  EXPECT_FALSE(e[2].as_bool());
  // Accessors of another kind give empty answers instead of reading garbage.
  EXPECT_EQ(e[4].elements().size(), 0u);
  EXPECT_EQ(e[5].members().size(), 0u);
  EXPECT_EQ(e[3].as_string(), "");
  EXPECT_FALSE(e[3].as_bool());
  EXPECT_EQ(e[4].as_number().u, 0u);
  EXPECT_EQ(e[6].find("k")->as_number().u, 3u);
  // A moved document keeps its values where they were.
  JsonDocument moved = read_ok(R"("inline")");
  const std::string_view before = moved.root().as_string();
  JsonDocument target = std::move(moved);
  EXPECT_EQ(target.root().as_string().data(), before.data());
  EXPECT_TRUE(JsonDocument{}.root().is_null());
}

// A market-shaped text keeps the tree under three times the text.
TEST(JsonValues, TreeStaysCompact) {
  std::string text = R"({"cmd":"load","dataset":{"trades":[)";
  for (int i = 0; i < 20000; ++i) {
    text += testing::cat(R"({"ts":)", std::to_string(1700000000000 + i * 37), R"(,"price":)",
                         std::to_string(30000 + i % 977), ".", std::to_string(i % 10),
                         R"(,"qty":0.)", std::to_string(100 + i % 900), R"(,"side":")",
                         i % 3 ? "buy" : "sell", "\"},");
    if (i % 10 == 0) text += R"({"ts":1,"kind":"diff","bids":[[29990.5,1.5],[29989.5,2]],"asks":[]},)";
  }
  text.back() = ']';
  text += "}}";
  const JsonDocument doc = read_ok(text);
  EXPECT_EQ(doc.root().find("dataset")->find("trades")->elements().size(), 22000u);
  EXPECT_GT(doc.bytes_held(), text.size());
  EXPECT_LE(doc.bytes_held(), 3 * text.size());
}

}  // namespace
}  // namespace xray
