// The pull lexer as the typed decoder's text setting drives it, and the
// agreement of the lexer, the tree reader and the syntax check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json_dump.h"
#include "json/json_reader.h"
#include "json/json_lexer.h"

namespace xray {
namespace {

template <class T>
T ok(Result<T> r) {
  EXPECT_TRUE(r) << (r ? "" : r.error().message);
  return r ? std::move(r).value() : T{};
}
void ok(Status s) { EXPECT_TRUE(s) << (s ? "" : s.error().message); }

// Whole walks are compared with the tree reader below; this one checks what
// that comparison cannot see: the key buffer, peeking and the stop position.
TEST(JsonLexer, WalksARecordTheWayADecoderDoes) {
  const std::string text =
      "{ \"k\\u0065y\" : \"BTC\\u002dUSD\",\r\n"
      "  \"skip\":{\"deep\":[1,{\"x\":null}],\"t\":true},\n"
      "  \"from_ts\":60000.0 }  ";
  JsonLexer lex(text);
  EXPECT_EQ(ok(lex.peek_value()), ValueStart::Object);
  EXPECT_EQ(ok(lex.peek_value()), ValueStart::Object);  // peeking moves nothing
  ok(lex.begin_object());
  ASSERT_TRUE(ok(lex.next_member(true)));
  ok(lex.expect_colon());
  EXPECT_EQ(ok(lex.peek_value()), ValueStart::String);
  EXPECT_EQ(ok(lex.read_string()), "BTC-USD");
  EXPECT_EQ(lex.key(), "key");  // still valid after the value was read
  ASSERT_TRUE(ok(lex.next_member(false)));
  EXPECT_EQ(lex.key(), "skip");
  ok(lex.expect_colon());
  ok(lex.skip_value());
  ASSERT_TRUE(ok(lex.next_member(false)));
  ok(lex.expect_colon());
  EXPECT_EQ(ok(lex.read_number()).cls, NumberClass::Float);
  // A decoder rejecting this number reports the point just past it.
  EXPECT_EQ(lex.error_here("invalid type").message, "invalid type at line 3 column 19");
  EXPECT_EQ(lex.error_at(0, "x").message, "x at line 1 column 0");
  EXPECT_FALSE(ok(lex.next_member(false)));
  ok(lex.finish());
  EXPECT_EQ(lex.offset(), text.size());
}

TEST(JsonLexer, ReadingAnotherKindIsExpectedValue) {
  struct Case {
    std::string_view text;
    int reader;  // 0 null, 1 bool, 2 number, 3 string, 4 array, 5 object
  };
  const Case cases[] = {{" 1", 0}, {" \"t\"", 1}, {" true", 2}, {" [", 3}, {" {", 4}, {" null", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    JsonLexer lex(c.text);
    XrayError error;
    switch (c.reader) {
      case 0: error = lex.read_null().error(); break;
      case 1: error = lex.read_bool().error(); break;
      case 2: error = lex.read_number().error(); break;
      case 3: error = lex.read_string().error(); break;
      case 4: error = lex.begin_array().error(); break;
      default: error = lex.begin_object().error(); break;
    }
    EXPECT_EQ(error.message, "expected value at line 1 column 2");
    EXPECT_EQ(lex.offset(), 0u);  // a failed step moves nothing
  }
}

TEST(JsonLexer, NestingBudgetSpansBeginAndSkip) {
  const std::string deep(200, '[');
  JsonLexer lex(deep);
  for (int level = 1; level <= 127; ++level) ok(lex.begin_array());
  EXPECT_EQ(lex.begin_array().error().message, "recursion limit exceeded at line 1 column 128");

  // skip_value starts from the levels already open.
  std::string text(100, '[');
  text += std::string(27, '[') + std::string(27, ']');
  JsonLexer fits(text);
  for (int level = 0; level < 100; ++level) ok(fits.begin_array());
  ok(fits.skip_value());
  text = std::string(100, '[') + std::string(28, '[') + std::string(28, ']');
  JsonLexer over(text);
  for (int level = 0; level < 100; ++level) ok(over.begin_array());
  EXPECT_EQ(over.skip_value().error().message, "recursion limit exceeded at line 1 column 128");

  // Closing gives budget back.
  const std::string siblings =
      testing::cat("[[],", std::string(126, '['), std::string(126, ']'), "]");
  JsonLexer again(siblings);
  ok(again.begin_array());
  ASSERT_TRUE(ok(again.next_element(true)));
  ok(again.begin_array());
  EXPECT_FALSE(ok(again.next_element(true)));
  ASSERT_TRUE(ok(again.next_element(false)));
  ok(again.skip_value());
  EXPECT_FALSE(ok(again.next_element(false)));
  ok(again.finish());
}

// Texts from which single-byte edits make a corpus of faulty texts.
const std::string_view kSeeds[] = {
    R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":30000.5,"qty":-0.25e-1,"side":"buy"}]}})",
    R"([null,true,false,"a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00",{"":[]},-0,1E+2,18446744073709551616])",
    "{\r\n \"k\" : [ 1 , 2 ] ,\n\t\"long name beyond inline\":\"long value beyond inline\"\n}",
};

const char kEditBytes[] = {'"', '\\', ',', ':', '[', ']', '{', '}', '0', '-', '.', 'e',
                           'u', 'x', ' ', '\n', '\x01', '\x7f', 't', 'n'};

void expect_all_readers_agree(std::string_view text) {
  Result<JsonDocument> doc = read_json_value(text);
  Status checked = check_json_syntax(text);
  Result<std::string> walked = testing::dump_text_with_lexer(text);
  Status skipped = testing::skip_text_with_lexer(text);
  ASSERT_EQ(doc.ok(), checked.ok());
  ASSERT_EQ(doc.ok(), walked.ok());
  ASSERT_EQ(doc.ok(), skipped.ok());
  if (doc) {
    EXPECT_EQ(testing::dump_tree(doc->root()), *walked);
    return;
  }
  EXPECT_EQ(checked.error().message, doc.error().message);
  EXPECT_EQ(walked.error().message, doc.error().message);
  EXPECT_EQ(skipped.error().message, doc.error().message);
}

TEST(JsonReaderAgreement, SyntaxCheckLexerAndTreeOnEditedTexts) {
  int faulty = 0;
  for (const std::string_view seed : kSeeds) {
    expect_all_readers_agree(seed);
    for (std::size_t i = 0; i < seed.size(); ++i) {
      std::string deleted(seed);
      deleted.erase(i, 1);
      SCOPED_TRACE(deleted);
      expect_all_readers_agree(deleted);
      faulty += check_json_syntax(deleted) ? 0 : 1;
      for (const char b : kEditBytes) {
        std::string edited(seed);
        edited[i] = b;
        SCOPED_TRACE(edited);
        expect_all_readers_agree(edited);
        faulty += check_json_syntax(edited) ? 0 : 1;
      }
    }
  }
  EXPECT_GT(faulty, 2000);  // the corpus really is mostly faulty
}

}  // namespace
}  // namespace xray
