// "set_spec" and "load" through the command entry point, and the
// constructor's spec text: responses, and what a failure leaves in place.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "dataset_render.h"
#include "instance.h"
#include "constructor_spec.h"

namespace xray {
namespace {

using testing::render;

constexpr std::string_view kSpecA =
    R"({"cmd":"set_spec","spec":{"dataset_ref":"d","symbol":"A","panels":[{"kind":"footprint"}]}})";
constexpr std::string_view kTwoTrades =
    R"({"cmd":"load","dataset":{"trades":[{"ts":2,"price":10,"qty":1,"side":"buy"},{"ts":1,"price":11,"qty":2,"side":"sell"}]}})";

struct Row {
  std::string_view command;
  std::string_view response;
  std::string after;  // the symbol held afterwards, or the dataset's render()
};

#define SET(spec) R"({"cmd":"set_spec","spec":)" spec "}"
#define ERR(text) R"({"ok":false,"error":")" text R"("})"

const Row kSetSpec[] = {
    {SET(R"({"dataset_ref":"d","symbol":"B","panels":[["liquidation_map"]]})"), R"({"ok":true})", "B"},
    {SET(R"({"dataset_ref":"d","symbol":"X","symbol":"B","panels":[["footprint"]]})"), R"({"ok":true})", "B"},
    {R"({"cmd":"set_spec","spec":{"symbol":""},"spec":{"dataset_ref":"d","symbol":"B","panels":[["footprint"]]}})", R"({"ok":true})", "B"},
    {SET(R"({"dataset_ref":"d","symbol":"B","panels":[{"kind":"Footprint"}]})"), ERR("parse: unknown variant `Footprint`, expected one of `footprint`, `book_heatmap`, `liquidation_map`, `funding_oi_divergence`"), "A"},
    {SET(R"({"dataset_ref":"d","symbol":"B","panels":[{"kind":"book_heatmap","depth_levels":0}]})"), ERR("bad spec: book_heatmap depth_levels must be > 0"), "A"},
    {SET(R"("{\"symbol\":\"B\"}")"), ERR(R"(parse: invalid type: string \"{\"symbol\":\"B\"}\", expected struct XraySpec)"), "A"},
    {R"({"cmd":"set_spec","sp":{}})", ERR("bad spec: set_spec requires 'spec'"), "A"},
    {SET(R"({"symbol":5})"), ERR("parse: invalid type: integer `5`, expected a string"), "A"},
};

TEST(SetSpecCommand, ReplacesOnlyOnSuccess) {
  for (const Row& r : kSetSpec) {
    SCOPED_TRACE(r.command);
    XrayInstance x;
    ASSERT_EQ(x.command(kSpecA), R"({"ok":true})");
    EXPECT_EQ(x.command(r.command), r.response);
    ASSERT_TRUE(x.spec().has_value());
    EXPECT_EQ(x.spec()->symbol, r.after);
  }
}

const std::string kKept = "c t(1,11.0,2.0,1)(2,10.0,1.0,0) b f o l";

#define LOAD(dataset) R"({"cmd":"load","dataset":)" dataset "}"

const Row kLoad[] = {
    {LOAD(R"({"oi":[{"ts":5,"oi":1},{"ts":3,"oi":2},{"ts":5,"oi":3},{"ts":3,"oi":4}]})"), R"({"ok":true,"loaded":4})", "c t b f o(3,2.0,)(3,4.0,)(5,1.0,)(5,3.0,) l"},
    {LOAD(R"({"trades":[[1,1,1,"buy"]],"book":[[1,"snapshot",[[1,1],[2,2]],[[4,4]]]]})"), R"({"ok":true,"loaded":2})", "c t(1,1.0,1.0,0) b(1,0,[1.0:1.0,2.0:2.0,][4.0:4.0,]) f o l"},
    {LOAD("{}"), R"({"ok":true,"loaded":0})", "c t b f o l"},
    {R"({"cmd":"load","dataset":{"trades":[5]},"dataset":{}})", R"({"ok":true,"loaded":0})", "c t b f o l"},
    {R"({"cmd":"load","dataset":{},"dataset":{"trades":[5]}})", ERR("parse: invalid type: integer `5`, expected struct Trade"), kKept},
    {LOAD("null"), ERR("parse: invalid type: null, expected struct Dataset"), kKept},
    {R"({"cmd":"load","data":{}})", ERR("bad spec: load requires 'dataset'"), kKept},
    {LOAD(R"({"trades":[1,]})"), ERR("parse: trailing comma at line 1 column 38"), kKept},
    {LOAD(R"({"funding":[{"ts":1,"rate":"a\"b\\c"}]})"), ERR(R"(parse: invalid type: string \"a\"b\\c\", expected f64)"), kKept},
};

#undef SET
#undef LOAD
#undef ERR

TEST(LoadCommand, ReplacesOnlyOnSuccess) {
  for (const Row& r : kLoad) {
    SCOPED_TRACE(r.command);
    XrayInstance x;
    ASSERT_EQ(x.command(kTwoTrades), R"({"ok":true,"loaded":2})");
    ASSERT_EQ(render(x.dataset()), kKept);
    EXPECT_EQ(x.command(r.command), r.response);
    EXPECT_EQ(render(x.dataset()), r.after);
  }
}

TEST(TrimUnicodeWhitespace, EveryWhiteSpaceCodePointAtBothEnds) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {" \t\n\r\v\f", ""},
      {"\xc2\xa0{}\xe3\x80\x80", "{}"},                 // U+00A0, U+3000
      {"\xc2\x85x\xe2\x80\xa8", "x"},                   // U+0085, U+2028
      {"\xe1\x9a\x80\xe2\x80\x80x\xe2\x80\x8a", "x"},   // U+1680, U+2000, U+200A
      {"\xe2\x80\xa9\xe2\x80\xafx\xe2\x81\x9f", "x"},   // U+2029, U+202F, U+205F
      {"\xe2\x80\x8bx\xef\xbb\xbf", "\xe2\x80\x8bx\xef\xbb\xbf"},  // U+200B, U+FEFF are not
      {"\xf0\x9f\x98\x80 a b", "\xf0\x9f\x98\x80 a b"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trim_unicode_whitespace(in), out) << in;
}

TEST(ConstructorSpec, TrimsDecodesValidates) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {" \t\r\n", "none"},
      {"\xC2\xA0{}\xE3\x80\x80", "none"},
      {"\xE2\x80\x8B{}", "parse: expected value at line 1 column 1"},
      {"{ }", "parse: missing field `dataset_ref` at line 1 column 3"},
      {"\n\n\xC2\xA0 {\"dataset_ref\":5}", "parse: invalid type: integer `5`, expected a string at line 1 column 16"},
      {"{\"dataset_ref\":\"d\",\n\"symbol\":\"A\",\n\"symbol\":\"B\",\"panels\":[]}", "parse: duplicate field `symbol` at line 3 column 8"},
      {"{\"dataset_ref\":\"d\",\"symbol\":\"S\",\"panels\":[[\"footprint\"]]}\xC2\xA0", "symbol S"},
      {R"({"dataset_ref":"d","symbol":"S","panels":[["footprint"]]} x)", "parse: trailing characters at line 1 column 59"},
      {R"(["d","S",7,6,[]])", "bad spec: panels must not be empty"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    const Result<std::optional<XraySpec>> spec = spec_from_constructor_text(text);
    std::string outcome = "none";
    if (!spec) outcome = display_text(spec.error());
    else if (spec->has_value()) outcome = "symbol " + (*spec)->symbol;
    EXPECT_EQ(outcome, expected);
  }
}

}  // namespace
}  // namespace xray
