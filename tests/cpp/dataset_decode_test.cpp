// Dataset decoding (value setting): accepted shapes and every rejection; the
// enumeration and pair rules in the text setting too.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "model/dataset.h"
#include "dataset_render.h"
#include "protocol/dataset_schema.h"
#include "decode_test_support.h"
#include "decode/decode_text.h"
#include "json/json_reader.h"
#include "protocol/command_decode.h"
#include "protocol/model_decode.h"

namespace xray {
namespace {

using testing::render;
using testing::unmark;

// "ok <render>" or the message.
std::string decoded(std::string_view dataset_json) {
  Result<JsonDocument> doc = read_json_value(dataset_json);
  if (!doc) return "reader: " + doc.error().message;
  const Result<Dataset> d = decode_dataset_value(doc->root());
  return d ? "ok " + render(*d) : d.error().message;
}

struct Row {
  std::string_view json;  // the "dataset" value
  std::string expected;   // "ok <render>" or the message
};

constexpr const char* kEmpty = "ok c t b f o l";

#define TRADES(body) R"({"trades":[)" body "]}"
#define BOOK(body) R"({"book":[)" body "]}"
#define TRADE_SIDE(side) TRADES(R"({"ts":1,"price":2,"qty":3,"side":)" side "}")
#define LEVEL(level) BOOK(R"({"ts":1,"kind":"diff","bids":[)" level R"(],"asks":[]})")

const Row kRows[] = {
    {"{}", kEmpty},
    {"[]", kEmpty},
    {TRADES(R"({"ts":2,"price":10,"qty":1,"side":"buy"},{"ts":1,"price":11,"qty":2,"side":"sell"})"), "ok c t(2,10.0,1.0,0)(1,11.0,2.0,1) b f o l"},
    {R"({"symbol":"X","extra":[{"deep":[1]}],"trades":[{"id":7,"ts":1,"price":2,"qty":3,"side":"buy","note":{}}]})", "ok c t(1,2.0,3.0,0) b f o l"},
    {R"({"candles":[{"ts":1,"open":1,"high":2,"low":0.5,"close":1.5,"volume":10}],"book":[{"ts":3,"kind":"snapshot","bids":[[99,1],[98,2]],"asks":[[101,0]]}],"funding":[{"ts":4,"rate":-0.0001}],"oi":[{"ts":5,"oi":1e6}],"liquidations":[{"ts":6,"price":100,"qty":1,"side":"short"}]})", "ok c(1,1.0,2.0,0.5,1.5,10.0,) t b(3,0,[99.0:1.0,98.0:2.0,][101.0:0.0,]) f(4,-0.0001,) o(5,1000000.0,) l(6,100.0,1.0,1)"},
    {R"([[[1,1,2,0.5,1.5,10]],[[1000,100.5,2.0,"buy"]],[[3,"diff",[[1,2]],[]]],[[4,0.1]],[[5,7]],[[6,1,2,"long"]]])", "ok c(1,1.0,2.0,0.5,1.5,10.0,) t(1000,100.5,2.0,0) b(3,1,[1.0:2.0,][]) f(4,0.1,) o(5,7.0,) l(6,1.0,2.0,0)"},
    {R"([[],[[1,2,3,"sell"]]])", "ok c t(1,2.0,3.0,1) b f o l"},
    {TRADES(R"({"ts":-9223372036854775808,"price":18446744073709551615,"qty":-0,"side":"buy"},{"ts":9223372036854775807,"price":9007199254740993,"qty":-9223372036854775808,"side":"buy"})"), "ok c t(-9223372036854775808,1.8446744073709552e+19,-0.0,0)(9223372036854775807,9007199254740992.0,-9.223372036854776e+18,0) b f o l"},
    {TRADE_SIDE(R"({"sell":null})"), "ok c t(1,2.0,3.0,1) b f o l"},
    {TRADE_SIDE(R"("s\u0065ll")"), "ok c t(1,2.0,3.0,1) b f o l"},
    {LEVEL("[100,0]"), "ok c t b(1,1,[100.0:0.0,][]) f o l"},
    {TRADES(R"({"ts":"x","ts":1,"price":2,"qty":3,"side":"buy","side":"sell"})"), "ok c t(1,2.0,3.0,1) b f o l"},
    // The dataset value and its lists.
    {"null", "invalid type: null, expected struct Dataset"},
    {"5.5", "invalid type: floating point `5.5`, expected struct Dataset"},
    {R"({"trades":{}})", "invalid type: map, expected a sequence"},
    {"[[],[],[],[],[],[],[]]", "invalid length 7, expected fewer elements in array"},
    {"[5]", "invalid type: integer `5`, expected a sequence"},
    {R"({"trades":[5],"book":[6]})", "invalid type: integer `6`, expected struct BookEvent"},
    {TRADES(R"({"ts":1,"price":2,"qty":3,"side":"buy"},{"ts":1},{"price":"x"})"), "missing field `price`"},
    {TRADES(R"({"ts":1,"ts":"x","price":2,"qty":3,"side":"buy"})"), "invalid type: string \"x\", expected i64"},
    // Records.
    {TRADES(R"({"ts":1,"price":2,"qty":3})"), "missing field `side`"},
    {TRADES(R"({"ts":1,"price":2})"), "missing field `qty`"},
    {TRADES(R"({"ts":"x"})"), "invalid type: string \"x\", expected i64"},
    {TRADES(R"({"ts":"x","price":"y","qty":1,"side":"buy"})"), "invalid type: string \"y\", expected f64"},
    {TRADES(R"("x")"), "invalid type: string \"x\", expected struct Trade"},
    {R"({"liquidations":[true]})", "invalid type: boolean `true`, expected struct LiquidationEvent"},
    {R"({"candles":[{"ts":9223372036854775808,"open":1,"high":1,"low":1,"close":1,"volume":1}]})", "invalid value: integer `9223372036854775808`, expected i64"},
    {R"({"funding":[{"ts":-0,"rate":1}]})", "invalid type: floating point `-0.0`, expected i64"},
    {BOOK(R"({"ts":1,"kind":"diff","bids":[]})"), "missing field `asks`"},
    {BOOK(R"({"ts":1,"kind":"diff","bids":{},"asks":[]})"), "invalid type: map, expected a sequence"},
    // Records in array form.
    {TRADES("[1000,100.5]"), "invalid length 2, expected struct Trade with 4 elements"},
    {TRADES(R"([1000,100.5,2,"buy",5])"), "invalid length 5, expected fewer elements in array"},
    {TRADES(R"([1,"x",2,"buy",9])"), "invalid type: string \"x\", expected f64"},
    {TRADES(R"(["x",1])"), "invalid type: string \"x\", expected i64"},
    {R"({"candles":[[1,2,3]]})", "invalid length 3, expected struct Candle with 6 elements"},
    {BOOK(R"([1,"diff"])"), "invalid length 2, expected struct BookEvent with 4 elements"},
    {R"({"funding":[[1]]})", "invalid length 1, expected struct FundingEvent with 2 elements"},
    {R"({"liquidations":[[1,2,3]]})", "invalid length 3, expected struct LiquidationEvent with 4 elements"},
    // Enumerations.
    {TRADE_SIDE(R"("BUY")"), "unknown variant `BUY`, expected `buy` or `sell`"},
    {TRADE_SIDE(R"({"sell":1})"), "invalid type: integer `1`, expected unit"},
    {TRADE_SIDE("{}"), "invalid value: map, expected map with a single key"},
    {TRADE_SIDE(R"({"buy":null,"sell":null})"), "invalid value: map, expected map with a single key"},
    {TRADE_SIDE(R"({"BUY":1})"), "unknown variant `BUY`, expected `buy` or `sell`"},
    {TRADE_SIDE("5"), "invalid type: integer `5`, expected string or map"},
    {TRADE_SIDE(R"(["buy"])"), "invalid type: sequence, expected string or map"},
    {R"({"liquidations":[{"ts":1,"price":1,"qty":1,"side":"buy"}]})", "unknown variant `buy`, expected `long` or `short`"},
    {BOOK(R"({"ts":1,"kind":"Snapshot","bids":[],"asks":[]})"), "unknown variant `Snapshot`, expected `snapshot` or `diff`"},
    // Price levels.
    {LEVEL("[100.0]"), "invalid length 1, expected an array of length 2"},
    {LEVEL("[100.0,1.0,5.0]"), "invalid length 3, expected fewer elements in array"},
    {LEVEL(R"(["x"])"), "invalid type: string \"x\", expected f64"},
    {LEVEL(R"([1,"x",3])"), "invalid type: string \"x\", expected f64"},
    {LEVEL("5"), "invalid type: integer `5`, expected an array of length 2"},
};

#undef TRADES
#undef BOOK
#undef TRADE_SIDE
#undef LEVEL

TEST(DatasetDecode, ValueSetting) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.json);
    EXPECT_EQ(decoded(r.json), r.expected);
  }
}

// The load path decodes from the checked text itself; over the same rows it
// must give the same dataset or the same message.
TEST(DatasetDecode, CheckedTextAgreesOnTheTable) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.json);
    ASSERT_TRUE(check_json_syntax(r.json).ok());
    const Result<Dataset> d = decode_dataset_checked_text(r.json);
    EXPECT_EQ(d ? "ok " + render(*d) : d.error().message, r.expected);
  }
}

// The enumeration and pair rules in the text setting (the dataset is only
// decoded from values, but the rules are shared).
struct TextRow {
  const char* name;
  std::string_view json;  // '^' marks the position
  std::string message;
};

const TextRow kTextRows[] = {
    {"unknown side", R"({"ts":1,"price":2,"qty":3,"side":"BUY"^})",
     "unknown variant `BUY`, expected `buy` or `sell`"},
    {"side with a value, judged at its brace", R"({"ts":1,"price":2,"qty":3,"side":{"sell":1}^})",
     "invalid type: integer `1`, expected unit"},
    {"side as an empty map", R"({"side":{}^,"ts":1})", "invalid value: map, expected map with a single key"},
    {"side as a map of two", R"({"side":{"buy":null,"x":2}^,"ts":1})",
     "invalid value: map, expected map with a single key"},
    {"unknown key of a one-member map", R"({"side":{"BUY":1}^,"ts":1})",
     "unknown variant `BUY`, expected `buy` or `sell`"},
    {"side integer", R"({"side":5^})", "invalid type: integer `5`, expected string or map"},
    {"side sequence", R"({"side":[^"buy"]})", "invalid type: sequence, expected string or map"},
    {"missing field at the brace", "{\"ts\":1,\n\"price\":2}^", "missing field `qty`"},
    {"repeated field", R"({"ts":1,"ts"^:1})", "duplicate field `ts`"},
    {"short array", R"([1,2]^)", "invalid length 2, expected struct Trade with 4 elements"},
    {"long array", R"([1,2,3,"buy",  5^])", "trailing characters"},
};

template <class T, std::size_t N>
void expect_text_rejections(const TextRow (&rows)[N]) {
  for (const TextRow& r : rows) {
    SCOPED_TRACE(r.name);
    const testing::Marked m = unmark(r.json);
    const Result<T> decoded = decoding::decode_from_text<T>(m.text);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().message, r.message + m.suffix);
  }
}

TEST(DatasetDecode, TradeInTextSetting) {
  expect_text_rejections<Trade>(kTextRows);
  const Result<Trade> t = decoding::decode_from_text<Trade>(R"({"side":{"sell":null},"qty":1,"price":2,"ts":3})");
  ASSERT_TRUE(t.ok()) << t.error().message;
  EXPECT_EQ(t->side, TradeSide::Sell);
  EXPECT_EQ(t->ts, 3);
}

TEST(DatasetDecode, PriceLevelInTextSetting) {
  const TextRow rows[] = {
      {"one", "[100.0]^", "invalid length 1, expected an array of length 2"},
      {"none", "[ ]^", "invalid length 0, expected an array of length 2"},
      {"three", "[1,2,3^]", "trailing characters"},
      {"string", R"(["x"^,1])", "invalid type: string \"x\", expected f64"},
      {"map", "{^}", "invalid type: map, expected an array of length 2"},
  };
  expect_text_rejections<PriceLevel>(rows);
}

}  // namespace
}  // namespace xray
