// "set_spec" and "load" through the command entry point, and the
// constructor's spec text: responses, and what a failure leaves in place.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "dataset_render.h"
#include "xray.h"

namespace xray {
namespace {

using testing::render;

constexpr std::string_view kSpecA =
    R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"A","panels":[{"kind":"footprint"}]}})";
constexpr std::string_view kTwoTrades =
    R"({"cmd":"load","dataset":{"trades":[{"ts":2,"price":10,"qty":1,"side":"buy"},{"ts":1,"price":11,"qty":2,"side":"sell"}]}})";

struct SpecRow {
  const char* name;
  std::string_view command;
  std::string_view response;
  std::string_view symbol_after;  // "A": the held spec was kept
};

const SpecRow kSetSpec[] = {
    {"replaced", R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"B","panels":[["liquidation_map"]]}})",
     R"({"ok":true})", "B"},
    {"later repeat wins",
     R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"X","symbol":"B","panels":[{"kind":"footprint"}]}})",
     R"({"ok":true})", "B"},
    {"later spec member wins",
     R"({"cmd":"set_spec","spec":{"symbol":""},"spec":{"dataset_ref":"d","symbol":"B","panels":[{"kind":"footprint"}]}})",
     R"({"ok":true})", "B"},
    {"decoding fault keeps the spec",
     R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"B","panels":[{"kind":"Footprint"}]}})",
     R"({"ok":false,"error":"parse: unknown variant `Footprint`, expected one of `footprint`, `book_heatmap`, `liquidation_map`, `funding_oi_divergence`"})",
     "A"},
    {"validation fault keeps the spec",
     R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"","panels":[{"kind":"footprint"}]}})",
     R"({"ok":false,"error":"bad spec: symbol must not be empty"})", "A"},
    {"validation of a panel",
     R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"B","panels":[{"kind":"book_heatmap","depth_levels":0}]}})",
     R"({"ok":false,"error":"bad spec: book_heatmap depth_levels must be > 0"})", "A"},
    {"spec as a string of JSON", R"({"cmd":"set_spec","spec":"{\"symbol\":\"B\"}"})",
     R"({"ok":false,"error":"parse: invalid type: string \"{\"symbol\":\"B\"}\", expected struct XraySpec"})",
     "A"},
    {"spec null", R"({"cmd":"set_spec","spec":null})",
     R"({"ok":false,"error":"parse: invalid type: null, expected struct XraySpec"})", "A"},
    {"no spec member", R"({"cmd":"set_spec","sp":{}})",
     R"({"ok":false,"error":"bad spec: set_spec requires 'spec'"})", "A"},
    {"message without position", R"({"cmd":"set_spec","spec":{"symbol":5}})",
     R"({"ok":false,"error":"parse: invalid type: integer `5`, expected a string"})", "A"},
};

TEST(SetSpecCommand, ReplacesOnlyOnSuccess) {
  for (const SpecRow& r : kSetSpec) {
    SCOPED_TRACE(r.name);
    XrayInstance x;
    ASSERT_EQ(x.command(kSpecA), R"({"ok":true})");
    EXPECT_EQ(x.command(r.command), r.response);
    ASSERT_TRUE(x.spec().has_value());
    EXPECT_EQ(x.spec()->symbol, r.symbol_after);
  }
}

TEST(SetSpecCommand, FrameThenWantsADataset) {
  XrayInstance x;
  EXPECT_EQ(x.command(R"({"cmd":"frame"})"), R"({"ok":false,"error":"bad spec: no spec set"})");
  ASSERT_EQ(x.command(kSpecA), R"({"ok":true})");
  EXPECT_EQ(x.command(R"({"cmd":"frame"})"), R"({"ok":false,"error":"data: no dataset"})");
}

struct LoadRow {
  const char* name;
  std::string_view command;
  std::string_view response;
  std::string dataset_after;  // render(); the two-trade dataset when a load failed
};

const std::string kTwoTradesSorted = "c t(1,11.0,2.0,1)(2,10.0,1.0,0) b f o l";

const LoadRow kLoad[] = {
    {"sorted by ts, stable", R"({"cmd":"load","dataset":{"oi":[{"ts":5,"oi":1},{"ts":3,"oi":2},{"ts":5,"oi":3},{"ts":3,"oi":4}]}})",
     R"({"ok":true,"loaded":4})", "c t b f o(3,2.0,)(3,4.0,)(5,1.0,)(5,3.0,) l"},
    {"book events count once",
     R"({"cmd":"load","dataset":{"candles":[[1,1,1,1,1,1],[2,1,1,1,1,1],[3,1,1,1,1,1]],"trades":[[1,1,1,"buy"],[1,1,1,"sell"]],"book":[[1,"snapshot",[[1,1],[2,2],[3,3]],[[4,4]]]]}})",
     R"({"ok":true,"loaded":6})",
     "c(1,1.0,1.0,1.0,1.0,1.0,)(2,1.0,1.0,1.0,1.0,1.0,)(3,1.0,1.0,1.0,1.0,1.0,) t(1,1.0,1.0,0)(1,1.0,1.0,1) b(1,0,[1.0:1.0,2.0:2.0,3.0:3.0,][4.0:4.0,]) f o l"},
    {"empty dataset replaces", R"({"cmd":"load","dataset":{}})", R"({"ok":true,"loaded":0})",
     "c t b f o l"},
    {"later dataset member wins", R"({"cmd":"load","dataset":{"trades":[5]},"dataset":{}})",
     R"({"ok":true,"loaded":0})", "c t b f o l"},
    {"later faulty dataset member wins", R"({"cmd":"load","dataset":{},"dataset":{"trades":[5]}})",
     R"({"ok":false,"error":"parse: invalid type: integer `5`, expected struct Trade"})", kTwoTradesSorted},
    {"decoding fault keeps the dataset",
     R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":1,"qty":1,"side":"BUY"}]}})",
     R"({"ok":false,"error":"parse: unknown variant `BUY`, expected `buy` or `sell`"})", kTwoTradesSorted},
    {"dataset null", R"({"cmd":"load","dataset":null})",
     R"({"ok":false,"error":"parse: invalid type: null, expected struct Dataset"})", kTwoTradesSorted},
    {"no dataset member", R"({"cmd":"load","data":{}})",
     R"({"ok":false,"error":"bad spec: load requires 'dataset'"})", kTwoTradesSorted},
    {"syntax fault in the dataset", R"({"cmd":"load","dataset":{"trades":[1,]}})",
     R"({"ok":false,"error":"parse: trailing comma at line 1 column 38"})", kTwoTradesSorted},
    {"string in a message escaped once", R"({"cmd":"load","dataset":{"funding":[{"ts":1,"rate":"a\"b\\c"}]}})",
     R"({"ok":false,"error":"parse: invalid type: string \"a\"b\\c\", expected f64"})", kTwoTradesSorted},
};

TEST(LoadCommand, ReplacesOnlyOnSuccess) {
  for (const LoadRow& r : kLoad) {
    SCOPED_TRACE(r.name);
    XrayInstance x;
    ASSERT_EQ(x.command(kTwoTrades), R"({"ok":true,"loaded":2})");
    ASSERT_EQ(render(x.dataset()), kTwoTradesSorted);
    EXPECT_EQ(x.command(r.command), r.response);
    EXPECT_EQ(render(x.dataset()), r.dataset_after);
  }
}

struct ConstructorRow {
  const char* name;
  std::string_view text;
  std::string_view outcome;  // "none", "symbol <s>" or the display text
};

const ConstructorRow kConstructor[] = {
    {"empty", "", "none"},
    {"white space only", " \t\r\n", "none"},
    {"braces", "{}", "none"},
    {"braces between no-break and ideographic spaces", "\xC2\xA0{}\xE3\x80\x80", "none"},
    {"braces between other white space", "\xC2\x85\xE1\x9A\x80\xE2\x80\x8A{}\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F",
     "none"},
    {"zero-width space is not white space", "\xE2\x80\x8B{}",
     "parse: expected value at line 1 column 1"},
    {"braces with a space inside", "{ }", "parse: missing field `dataset_ref` at line 1 column 3"},
    {"positions count from the first non-blank", "\n\n\xC2\xA0 {\"dataset_ref\":5}",
     "parse: invalid type: integer `5`, expected a string at line 1 column 16"},
    {"repeated key rejected with position",
     "{\"dataset_ref\":\"d\",\n\"symbol\":\"A\",\n\"symbol\":\"B\",\"panels\":[]}",
     "parse: duplicate field `symbol` at line 3 column 8"},
    {"trailing no-break space accepted",
     "{\"dataset_ref\":\"d\",\"symbol\":\"S\",\"panels\":[[\"footprint\"]]}\xC2\xA0", "symbol S"},
    {"trailing garbage", R"({"dataset_ref":"d","symbol":"S","panels":[["footprint"]]} x)",
     "parse: trailing characters at line 1 column 59"},
    {"validated", R"({"dataset_ref":"d","symbol":"","panels":[["footprint"]]})",
     "bad spec: symbol must not be empty"},
    {"validated after decoding", R"(["d","S",7,6,[]])", "bad spec: panels must not be empty"},
};

TEST(ConstructorSpec, TrimsDecodesValidates) {
  for (const ConstructorRow& r : kConstructor) {
    SCOPED_TRACE(r.name);
    const Result<std::optional<XraySpec>> spec = spec_from_constructor_text(r.text);
    std::string outcome;
    if (!spec) {
      outcome = display_text(spec.error());
    } else {
      outcome = spec->has_value() ? "symbol " + (*spec)->symbol : "none";
    }
    EXPECT_EQ(outcome, r.outcome);
  }
}

}  // namespace
}  // namespace xray
