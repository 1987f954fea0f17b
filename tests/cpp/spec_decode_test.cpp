// Spec decoding in both settings: accepted specs, every rejection with its
// exact text and (text setting) position, and validation.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "decode_test_support.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "model/spec.h"
#include "protocol/model_decode.h"

namespace xray {
namespace {

using testing::unmark;

// A spec as one line, for comparing whole decoded specs.
std::string render(const XraySpec& s) {
  std::string out = s.dataset_ref + "|" + s.symbol + "|";
  out += s.from_ts ? std::to_string(*s.from_ts) : "-";
  out += "|";
  out += s.to_ts ? std::to_string(*s.to_ts) : "-";
  out += "|";
  for (const XrayPanel& p : s.panels) {
    std::visit(
        [&](const auto& c) {
          using C = std::decay_t<decltype(c)>;
          if constexpr (std::is_same_v<C, XrayPanel::Footprint>) {
            out += "fp(" + format_double(c.price_bin) + "," + std::to_string(c.bucket_ms) + ")";
          } else if constexpr (std::is_same_v<C, XrayPanel::BookHeatmap>) {
            out += "bh(" + format_double(c.price_bin) + "," + std::to_string(c.bucket_ms) + "," +
                   std::to_string(c.depth_levels) + ")";
          } else if constexpr (std::is_same_v<C, XrayPanel::LiquidationMap>) {
            out += "lm(" + format_double(c.price_bin) + ")";
          } else {
            out += "fo(" + std::to_string(c.bucket_ms) + ")";
          }
        },
        p.config);
  }
  return out;
}

Result<XraySpec> via_value(std::string_view text) {
  Result<JsonDocument> doc = read_json_value(text);
  if (!doc) return std::move(doc).error();
  return decode_spec_value(doc->root());
}

std::string message_of(const Result<XraySpec>& r) {
  return r ? "decoded " + render(*r) : r.error().message;
}

struct Accepted {
  std::string_view json;
  std::string_view spec;  // render() of the result
};

const Accepted kAccepted[] = {
    {R"({"dataset_ref":"d","symbol":"SYM","panels":[{"kind":"footprint"}]})", "d|SYM|-|-|fp(1.0,60000)"},
    {R"({"dataset_ref":"d","symbol":"S","panels":[{"kind":"book_heatmap"}]})", "d|S|-|-|bh(1.0,60000,40)"},
    {R"(["d","SYM",null,null,[["footprint",0.5]]])", "d|SYM|-|-|fp(0.5,60000)"},
    {R"({"dataset_ref":"d","symbol":"S","panels":[{"price_bin":0.5,"kind":"liquidation_map","note":"x","bucket_ms":"abc"}]})", "d|S|-|-|lm(0.5)"},
    {R"({"dataset_ref":"d","symbol":"S","panels":[{"bucket_ms":5,"price_bin":2,"kind":"footprint"}]})", "d|S|-|-|fp(2.0,5)"},
    {R"({"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint","depth_levels":[1,{"x":null}]}]})", "d|S|-|-|fp(1.0,60000)"},
    {R"({"dataset_ref":"","symbol":" ","from_ts":-9223372036854775808,"to_ts":9223372036854775807,"panels":[]})", "| |-9223372036854775808|9223372036854775807|"},
    {R"({"dataset_ref":"d","symbol":"S","from_ts":null,"to_ts":null,"panels":[]})", "d|S|-|-|"},
    {R"({"dataset_ref":"d","symbol":"S","panels":[{"kind":"book_heatmap","depth_levels":4294967295},{"kind":"book_heatmap","depth_levels":0,"price_bin":-1,"bucket_ms":-60000}]})", "d|S|-|-|bh(1.0,60000,4294967295)bh(-1.0,-60000,0)"},
    {R"({"dataset_ref":"d","sym\u0062ol":"S\u00e9","panels":[{"kind":"foot\u0070rint","price\u005fbin":3}]})", "d|S\xC3\xA9|-|-|fp(3.0,60000)"},
    {R"({"dataset_ref":"d","symbol":"S","panels":[["book_heatmap",0.5,60000,20],["funding_oi_divergence"],["liquidation_map",3],["book_heatmap",2]]})", "d|S|-|-|bh(0.5,60000,20)fo(60000)lm(3.0)bh(2.0,60000,40)"},
    {R"({"extra":{"a":[1,2,{"b":null}]},"dataset_ref":"d","symbol":"S","panels":[],"x":true})", "d|S|-|-|"},
    {R"({"x":1,"x":2,"dataset_ref":"d","symbol":"S","panels":[]})", "d|S|-|-|"},
    {" \t\r\n{ \"dataset_ref\" : \"d\" , \"symbol\" : \"S\" , \"panels\" : [ [ \"footprint\" , 2 ] ] } \n", "d|S|-|-|fp(2.0,60000)"},
};

TEST(SpecDecode, AcceptedSpecsDecodeAlikeInBothSettings) {
  for (const Accepted& c : kAccepted) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(message_of(decode_spec_text(c.json)), "decoded " + std::string(c.spec));
    EXPECT_EQ(message_of(via_value(c.json)), "decoded " + std::string(c.spec));
  }
}

// What the value setting gives for a row.
constexpr std::string_view kSame = "";                // the same message, no position
constexpr std::string_view kReaderFault = "<reader>";  // the reader's own fault, as in text
constexpr std::string_view kTextOnly = "<text only>";  // not a well-formed command member

struct Rejected {
  std::string_view json;  // '^' marks the text setting's position
  std::string message;    // without the position suffix
  std::string_view value = kSame;
};

constexpr std::string_view kVariants =
    "one of `footprint`, `book_heatmap`, `liquidation_map`, `funding_oi_divergence`";

#define SPEC(rest) R"({"dataset_ref":"d","symbol":"S",)" rest
#define PANEL(body) R"({"dataset_ref":"d","symbol":"S","panels":[)" body

const Rejected kRejected[] = {
    // Scalars of the wrong type: just past their last byte.
    {R"({"dataset_ref":"d","symbol":5^,"panels":[]})", "invalid type: integer `5`, expected a string"},
    {R"({"dataset_ref":"d","symbol":{^"a":1},"panels":[]})", "invalid type: map, expected a string"},
    {SPEC(R"("from_ts":1.0^,"panels":[]})"), "invalid type: floating point `1.0`, expected i64"},
    {SPEC(R"("from_ts":[^5],"panels":[]})"), "invalid type: sequence, expected i64"},
    {SPEC(R"("from_ts":-0^,"panels":[]})"), "invalid type: floating point `-0.0`, expected i64"},
    {SPEC(R"("to_ts":9223372036854775808^,"panels":[]})"), "invalid value: integer `9223372036854775808`, expected i64"},
    {SPEC(R"("to_ts":18446744073709551616^,"panels":[]})"), "invalid type: floating point `1.8446744073709552e+19`, expected i64"},
    {SPEC(R"("to_ts":"a\"b\u0041"^,"panels":[]})"), "invalid type: string \"a\"bA\", expected i64"},
    // Missing fields: at the closing brace, in declaration order.
    {R"({"symbol":"S","panels":[]}^)", "missing field `dataset_ref`"},
    {R"({"dataset_ref":"d","x":[1],"symbol":"S"}^)", "missing field `panels`"},
    // The spec value itself.
    {R"(5^)", "invalid type: integer `5`, expected struct XraySpec"},
    {R"(false^)", "invalid type: boolean `false`, expected struct XraySpec"},
    // Panel lists and panels.
    {SPEC(R"("panels":{^}})"), "invalid type: map, expected a sequence"},
    {PANEL(R"(5^]})"), "invalid type: integer `5`, expected internally tagged enum XrayPanel"},
    {PANEL(R"({"kind":"Footprint"^}]})"), "unknown variant `Footprint`, expected " + std::string(kVariants)},
    {PANEL(R"({"kind":0^}]})"), "invalid type: integer `0`, expected variant identifier"},
    {PANEL(R"({"kind":[^]}]})"), "invalid type: sequence, expected variant identifier"},
    {PANEL(R"({"price_bin":1}^]})"), "missing field `kind`"},
    {PANEL(R"({"kind":"footprint"},{"kind":"x"^}]})"), "unknown variant `x`, expected " + std::string(kVariants)},
    // Held-back members are judged once the panel's "}" has been read.
    {PANEL(R"({"price_bin":"x","kind":"footprint"}^]})"), "invalid type: string \"x\", expected f64"},
    {PANEL(R"({"price_bin":"x","kind":"nope"^}]})"), "unknown variant `nope`, expected " + std::string(kVariants)},
    {PANEL(R"({"price_bin":"x"}^]})"), "missing field `kind`"},
    {PANEL(R"({"kind":"book_heatmap","depth_levels":-1}^]})"), "invalid value: integer `-1`, expected u32"},
    {PANEL(R"({"kind":"book_heatmap","depth_levels":4294967296}^]})"), "invalid value: integer `4294967296`, expected u32"},
    {PANEL(R"({"kind":"footprint","price_bin":[1,2]}^]})"), "invalid type: sequence, expected f64"},
    // Panels in array form.
    {PANEL(R"([]^]})"), "missing field `kind`"},
    {PANEL(R"([5^]]})"), "invalid type: integer `5`, expected variant identifier"},
    {PANEL(R"(["nope"^]]})"), "unknown variant `nope`, expected " + std::string(kVariants)},
    {PANEL(R"(["footprint",1,2,3]^]})"), "invalid length 3, expected 2 elements in sequence"},
    {PANEL(R"(["liquidation_map",1,2]^]})"), "invalid length 2, expected 1 element in sequence"},
    {PANEL(R"(["footprint","x"^,1,2]]})"), "invalid type: string \"x\", expected f64"},
    {PANEL(R"(["book_heatmap",0.5,60000,-1^]]})"), "invalid value: integer `-1`, expected u32"},
    // The spec in array form.
    {R"([]^)", "invalid length 0, expected struct XraySpec with 5 elements"},
    {R"(["d","S"]^)", "invalid length 4, expected struct XraySpec with 5 elements"},
    {R"(["d","S",null,null,[],7^])", "trailing characters", "invalid length 6, expected fewer elements in array"},
    {R"(["d","S",null,null,[], {^"a":1}])", "trailing characters", "invalid length 6, expected fewer elements in array"},
    {R"(["d",5^,null,null,[],7])", "invalid type: integer `5`, expected a string"},
    // Order of members: document order in text, key order in a value.
    {R"({"symbol":5^,"dataset_ref":6,"panels":[]})", "invalid type: integer `5`, expected a string", "invalid type: integer `6`, expected a string"},
    {R"({"panels":[5^],"dataset_ref":6})", "invalid type: integer `5`, expected internally tagged enum XrayPanel", "invalid type: integer `6`, expected a string"},
    {PANEL(R"({"kind":"book_heatmap","price_bin":"a","bucket_ms":"b"}^]})"), "invalid type: string \"a\", expected f64", "invalid type: string \"b\", expected i64"},
    // Positions across lines.
    {"\n\n{\"dataset_ref\":\"d\",\n  \"symbol\":5^,\n  \"panels\":[]}", "invalid type: integer `5`, expected a string"},
    {"{\"dataset_ref\":\"d\",\r\n\"symbol\":\"S\",\r\n\"to_ts\":\"x\"^,\r\n\"panels\":[],\"a\":1,\"b\":[]}", "invalid type: string \"x\", expected i64"},
    // Repeated keys: rejected in text, the later one wins in a value.
    {SPEC(R"("symbol"^:"B","panels":[]})"), "duplicate field `symbol`", "<decodes>"},
    {PANEL(R"({"kind":"footprint","kind"^:"footprint"}]})"), "duplicate field `kind`", "<decodes>"},
    {PANEL(R"({"kind":"footprint","price_bin":1,"price_bin":2}^]})"), "duplicate field `price_bin`", "<decodes>"},
    {PANEL(R"({"price_bin":"x","price_bin":2,"kind":"footprint"}^]})"), "invalid type: string \"x\", expected f64", "<decodes>"},
    // Faults of the text itself stay the reader's, also in skipped members.
    {R"({"extra":[1,]^,"dataset_ref":"d"})", "trailing comma", kReaderFault},
    {R"({"extra":1e400^,"dataset_ref":"d"})", "number out of range", kReaderFault},
    {R"({"extra":nul,^"dataset_ref":"d"})", "expected ident", kReaderFault},
    {R"({"dataset_ref":"d","symbol":"S","panels":[]} x^)", "trailing characters", kReaderFault},
    {PANEL(R"({"kind":"footprint","x":[1 2^]}]})"), "expected `,` or `]`", kReaderFault},
    // Text-only shapes: nothing inside a wrongly typed container is read, and
    // the ends of an over-long spec array.
    {SPEC(R"("from_ts":[^@@@)"), "invalid type: sequence, expected i64", kTextOnly},
    {R"(["d","S",null,null,[],]^)", "trailing comma", kTextOnly},
    {R"(["d","S",null,null,[],^)", "EOF while parsing a value", kTextOnly},
    {R"(["d","S",null,null,[]^)", "EOF while parsing a list", kTextOnly},
    {R"(["d","S",null,null,[], x^])", "trailing characters", kTextOnly},
};

#undef SPEC
#undef PANEL

TEST(SpecDecode, RejectionsInBothSettings) {
  for (const Rejected& c : kRejected) {
    SCOPED_TRACE(c.json);
    const testing::Marked m = unmark(c.json);
    ASSERT_FALSE(m.suffix.empty()) << "row without a position marker";
    const std::string text_message = std::string(c.message) + m.suffix;
    EXPECT_EQ(message_of(decode_spec_text(m.text)), text_message);
    if (c.value == kTextOnly) continue;
    const Result<XraySpec> value = via_value(m.text);
    if (c.value == kReaderFault) {
      EXPECT_EQ(message_of(value), text_message);
    } else if (c.value == "<decodes>") {
      EXPECT_TRUE(value.ok()) << message_of(value);
    } else {
      EXPECT_EQ(message_of(value), c.value == kSame ? c.message : std::string(c.value));
    }
  }
}

TEST(SpecDecode, LaterRepeatWinsInAValue) {
  const Result<XraySpec> spec = via_value(
      R"({"dataset_ref":"d","symbol":"A","symbol":"B","panels":[{"kind":"footprint","price_bin":1,"price_bin":2,"kind":"liquidation_map"}]})");
  ASSERT_TRUE(spec.ok()) << spec.error().message;
  EXPECT_EQ(render(*spec), "d|B|-|-|lm(2.0)");
}

TEST(SpecDecode, NestingInASkippedMemberIsTheReadersLimit) {
  // The spec object is one level; 126 more arrays fit, 127 do not.
  const auto with_arrays = [](int n) {
    return R"({"extra":)" + std::string(n, '[') + std::string(n, ']') +
           R"(,"dataset_ref":"d","symbol":"S","panels":[]})";
  };
  EXPECT_EQ(message_of(decode_spec_text(with_arrays(126))), "decoded d|S|-|-|");
  // Found at the 127th "[": offset 9 + 126, p just past it.
  EXPECT_EQ(message_of(decode_spec_text(with_arrays(127))),
            "recursion limit exceeded at line 1 column 136");
}

struct Invalid {
  std::string_view json;
  std::string_view message;  // empty: valid
};

const Invalid kValidation[] = {
    {R"({"dataset_ref":"d","symbol":"SYM","panels":[{"kind":"footprint"}]})", ""},
    {R"({"dataset_ref":"","symbol":" ","panels":[{"kind":"footprint"}]})", ""},
    {R"({"dataset_ref":"d","symbol":"","panels":[]})", "symbol must not be empty"},
    {R"({"dataset_ref":"d","symbol":"S","panels":[],"from_ts":6,"to_ts":5})", "panels must not be empty"},
    {R"({"dataset_ref":"d","symbol":"S","from_ts":5,"to_ts":5,"panels":[["footprint"]]})", ""},
    {R"({"dataset_ref":"d","symbol":"S","from_ts":6,"to_ts":5,"panels":[["footprint",0]]})", "from_ts must be <= to_ts"},
    {R"({"dataset_ref":"d","symbol":"S","from_ts":9223372036854775807,"to_ts":-9223372036854775808,"panels":[["footprint"]]})", "from_ts must be <= to_ts"},
    {R"({"dataset_ref":"d","symbol":"S","from_ts":6,"to_ts":null,"panels":[["footprint"]]})", ""},
    {R"(["d","S",null,null,[["footprint",0]]])", "footprint price_bin must be a positive number"},
    {R"(["d","S",null,null,[["footprint",-0.0]]])", "footprint price_bin must be a positive number"},
    {R"(["d","S",null,null,[["footprint",5e-324,1]]])", ""},
    {R"(["d","S",null,null,[["footprint",1,0]]])", "footprint bucket_ms must be > 0"},
    {R"(["d","S",null,null,[["book_heatmap",0,60000,0]]])", "book_heatmap price_bin must be a positive number"},
    {R"(["d","S",null,null,[["book_heatmap",1,0,0]]])", "book_heatmap bucket_ms must be > 0"},
    {R"(["d","S",null,null,[["book_heatmap",1,1,0]]])", "book_heatmap depth_levels must be > 0"},
    {R"(["d","S",null,null,[["liquidation_map",-1]]])", "liquidation_map price_bin must be a positive number"},
    {R"(["d","S",null,null,[["funding_oi_divergence",-60000]]])", "funding_oi_divergence bucket_ms must be > 0"},
    {R"(["d","S",null,null,[["funding_oi_divergence",1]]])", ""},
    {R"(["d","S",null,null,[["footprint",1,0],["liquidation_map",-1]]])", "footprint bucket_ms must be > 0"},
    {R"(["d","S",null,null,[["footprint"],["book_heatmap",1e-300,1,0]]])", "book_heatmap depth_levels must be > 0"},
};

TEST(SpecValidate, ChecksInOrder) {
  for (const Invalid& c : kValidation) {
    SCOPED_TRACE(c.json);
    const Result<XraySpec> spec = decode_spec_text(c.json);
    ASSERT_TRUE(spec.ok()) << spec.error().message;
    const Status valid = validate_spec(*spec);
    if (c.message.empty()) {
      EXPECT_TRUE(valid.ok()) << valid.error().message;
    } else {
      ASSERT_FALSE(valid.ok());
      EXPECT_EQ(valid.error(), XrayError::bad_spec(std::string(c.message)));
    }
  }
}

TEST(SpecValidate, NonFiniteBinsFail) {
  // Not reachable from JSON (the reader has no infinities), but the check must hold.
  for (double bin : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    XraySpec spec{"d", "S", std::nullopt, std::nullopt, {XrayPanel{XrayPanel::LiquidationMap{bin}}}};
    EXPECT_EQ(validate_spec(spec).error().message, "liquidation_map price_bin must be a positive number");
  }
}

}  // namespace
}  // namespace xray
