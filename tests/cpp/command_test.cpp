// The command dispatcher as far as it works without decoders and frames:
// exact response texts, check order and the instance left unchanged.
#include "xray.h"

#include <gtest/gtest.h>

#include <span>
#include <string>

namespace xray {
namespace {

struct Case {
  std::string_view command;
  std::string_view response;
};

constexpr std::string_view kMissingCmd = R"({"ok":false,"error":"bad spec: missing 'cmd'"})";
constexpr std::string_view kNeedTs = R"({"ok":false,"error":"bad spec: frame_at requires integer 'ts'"})";
constexpr std::string_view kNoSpec = R"({"ok":false,"error":"bad spec: no spec set"})";
constexpr std::string_view kNoDataset = R"({"ok":false,"error":"data: no dataset"})";
constexpr std::string_view kVersion = R"({"version":"0.2.0"})";

void expect_responses(XrayInstance& xray, std::span<const Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(xray.command(c.command), c.response);
  }
}

TEST(Command, ReaderFaultsAndMissingCmd) {
  const Case cases[] = {
      {"", R"({"ok":false,"error":"parse: EOF while parsing a value at line 1 column 0"})"},
      {"x", R"({"ok":false,"error":"parse: expected value at line 1 column 1"})"},
      {R"({"cmd":"version"} x)",
       R"({"ok":false,"error":"parse: trailing characters at line 1 column 19"})"},
      {"{\"cmd\":\"a\nb\"}",
       R"({"ok":false,"error":"parse: control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"})"},
      {"[1,\r\n]", R"({"ok":false,"error":"parse: trailing comma at line 2 column 1"})"},
      {" \t\r\n{\"cmd\":\"version\"} \n\t\r", kVersion},
      {"[1,2]", kMissingCmd},
      {"42", kMissingCmd},
      {"{}", kMissingCmd},
      {R"({"cmd":5})", kMissingCmd},
      {R"({"cmd":null})", kMissingCmd},
      {R"({"cmd":["version"]})", kMissingCmd},
      {R"("version")", kMissingCmd},
      {R"({"Cmd":"version"})", kMissingCmd},
      {R"({"cmd":"version","cmd":5})", kMissingCmd},
  };
  XrayInstance xray;
  expect_responses(xray, cases);
}

TEST(Command, UnknownNamesComeBackEscapedOnlyByTheStringRule) {
  const Case cases[] = {
      {R"({"cmd":"Frame"})", R"({"ok":false,"error":"bad spec: unknown cmd: Frame"})"},
      {R"({"cmd":"a\"b"})", R"({"ok":false,"error":"bad spec: unknown cmd: a\"b"})"},
      {R"({"cmd":"a\\b"})", R"({"ok":false,"error":"bad spec: unknown cmd: a\\b"})"},
      {R"({"cmd":"a\tb"})", R"({"ok":false,"error":"bad spec: unknown cmd: a\tb"})"},
      {R"({"cmd":"\u0001"})", R"({"ok":false,"error":"bad spec: unknown cmd: \u0001"})"},
      {R"({"cmd":"\u001F\u0000"})", R"({"ok":false,"error":"bad spec: unknown cmd: \u001f\u0000"})"},
      {"{\"cmd\":\"\xc3\xa9/\x7f\"}", "{\"ok\":false,\"error\":\"bad spec: unknown cmd: \xc3\xa9/\x7f\"}"},
      {R"({"cmd":"\u00e9\/\u007f"})", "{\"ok\":false,\"error\":\"bad spec: unknown cmd: \xc3\xa9/\x7f\"}"},
      {R"({"cmd":""})", R"({"ok":false,"error":"bad spec: unknown cmd: "})"},
      {R"({"cmd":"version "})", R"({"ok":false,"error":"bad spec: unknown cmd: version "})"},
  };
  XrayInstance xray;
  expect_responses(xray, cases);
}

TEST(Command, CommandsThatNeedNoDecoder) {
  const Case cases[] = {
      {R"({"cmd":"version"})", kVersion},
      {R"({"cmd":"version","spec":{}})", kVersion},
      {R"({"cmd":"frame","cmd":"version"})", kVersion},
      {R"({"cmd":"reset","extra":[1]})", R"({"ok":true})"},
      {R"({"cmd":"bounds"})", kNoDataset},
      {R"({"cmd":"frame"})", kNoSpec},
      {R"({"cmd":"load"})", R"({"ok":false,"error":"bad spec: load requires 'dataset'"})"},
      {R"({"cmd":"load","Dataset":[]})", R"({"ok":false,"error":"bad spec: load requires 'dataset'"})"},
      {R"({"cmd":"set_spec"})", R"({"ok":false,"error":"bad spec: set_spec requires 'spec'"})"},
  };
  XrayInstance xray;
  expect_responses(xray, cases);
  EXPECT_FALSE(xray.spec());
}

// "ts" is checked before the spec: without a spec an accepted "ts" gives
// "no spec set", a rejected one the ts message.
TEST(Command, FrameAtChecksTsFirst) {
  const Case cases[] = {
      {R"({"cmd":"frame_at"})", kNeedTs},
      {R"({"cmd":"frame_at","ts":null})", kNeedTs},
      {R"({"cmd":"frame_at","ts":1.0})", kNeedTs},
      {R"({"cmd":"frame_at","ts":5.0})", kNeedTs},
      {R"({"cmd":"frame_at","ts":-0})", kNeedTs},
      {R"({"cmd":"frame_at","ts":1e3})", kNeedTs},
      {R"({"cmd":"frame_at","ts":"5"})", kNeedTs},
      {R"({"cmd":"frame_at","ts":[5]})", kNeedTs},
      {R"({"cmd":"frame_at","ts":9223372036854775808})", kNeedTs},
      {R"({"cmd":"frame_at","ts":18446744073709551615})", kNeedTs},
      {R"({"cmd":"frame_at","ts":-9223372036854775809})", kNeedTs},
      {R"({"cmd":"frame_at","ts":5,"ts":"5"})", kNeedTs},
      {R"({"cmd":"frame_at","ts":-5})", kNoSpec},
      {R"({"cmd":"frame_at","ts":0})", kNoSpec},
      {R"({"cmd":"frame_at","ts":9223372036854775807})", kNoSpec},
      {R"({"cmd":"frame_at","ts":-9223372036854775808})", kNoSpec},
      {R"({"cmd":"frame_at","ts":"5","ts":5})", kNoSpec},
  };
  XrayInstance xray;
  expect_responses(xray, cases);
}

TEST(Command, WithASpecButNoRecords) {
  XraySpec spec;
  spec.symbol = "BTCUSDT";
  spec.panels.push_back(XrayPanel{XrayPanel::Footprint{}});
  XrayInstance xray(spec);
  const Case cases[] = {
      {R"({"cmd":"frame"})", kNoDataset},
      {R"({"cmd":"frame_at","ts":5})", kNoDataset},
      {R"({"cmd":"frame_at","ts":5.5})", kNeedTs},
      {R"({"cmd":"bounds"})", kNoDataset},
      {R"({"cmd":"reset"})", R"({"ok":true})"},
      {R"({"cmd":"frame"})", kNoDataset},
  };
  expect_responses(xray, cases);
  ASSERT_TRUE(xray.spec());
  EXPECT_EQ(xray.spec()->symbol, "BTCUSDT");  // reset keeps the spec
}

}  // namespace
}  // namespace xray
