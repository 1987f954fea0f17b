// The command dispatcher: exact response texts, check order and what the
// instance keeps.
#include "instance.h"
#include "core/version.h"

#include <gtest/gtest.h>

#include <string>

namespace xray {
namespace {

constexpr std::string_view kMissingCmd = R"({"ok":false,"error":"bad spec: missing 'cmd'"})";
constexpr std::string_view kNeedTs = R"({"ok":false,"error":"bad spec: frame_at requires integer 'ts'"})";
constexpr std::string_view kNoSpec = R"({"ok":false,"error":"bad spec: no spec set"})";
constexpr std::string_view kNoDataset = R"({"ok":false,"error":"data: no dataset"})";
constexpr std::string_view kVersion = R"({"version":"0.2.0"})";
constexpr std::string_view kOk = R"({"ok":true})";

#define ERR(text) R"({"ok":false,"error":")" text R"("})"
#define UNKNOWN(name) R"({"ok":false,"error":"bad spec: unknown cmd: )" name R"("})"

// In order, on one instance without a spec.
const std::pair<std::string_view, std::string_view> kWithoutSpec[] = {
    {"", ERR("parse: EOF while parsing a value at line 1 column 0")},
    {R"({"cmd":"version"} x)", ERR("parse: trailing characters at line 1 column 19")},
    {"{\"cmd\":\"a\nb\"}", ERR(R"(parse: control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0)")},
    {" \t\r\n{\"cmd\":\"version\"} \n\t\r", kVersion},
    {"[1,2]", kMissingCmd},
    {R"({"cmd":5})", kMissingCmd},
    {R"("version")", kMissingCmd},
    {R"({"Cmd":"version"})", kMissingCmd},
    {R"({"cmd":"version","cmd":5})", kMissingCmd},
    // Unknown names come back escaped by the string rule only.
    {R"({"cmd":"Frame"})", UNKNOWN("Frame")},
    {R"({"cmd":"a\"b\\c\td"})", UNKNOWN(R"(a\"b\\c\td)")},
    {R"({"cmd":"\u001F\u0000"})", UNKNOWN(R"(\u001f\u0000)")},
    {R"({"cmd":"\u00e9\/\u007f"})", UNKNOWN("\xc3\xa9/\x7f")},
    {R"({"cmd":"version "})", UNKNOWN("version ")},
    {R"({"cmd":"frame","cmd":"version"})", kVersion},
    {R"({"cmd":"reset","extra":[1]})", kOk},
    {R"({"cmd":"bounds"})", kNoDataset},
    {R"({"cmd":"frame"})", kNoSpec},
    {R"({"cmd":"load","Dataset":[]})", ERR("bad spec: load requires 'dataset'")},
    {R"({"cmd":"set_spec"})", ERR("bad spec: set_spec requires 'spec'")},
    // "ts" is checked before the spec.
    {R"({"cmd":"frame_at"})", kNeedTs},
    {R"({"cmd":"frame_at","ts":5.0})", kNeedTs},
    {R"({"cmd":"frame_at","ts":-0})", kNeedTs},
    {R"({"cmd":"frame_at","ts":"5"})", kNeedTs},
    {R"({"cmd":"frame_at","ts":9223372036854775808})", kNeedTs},
    {R"({"cmd":"frame_at","ts":-9223372036854775809})", kNeedTs},
    {R"({"cmd":"frame_at","ts":5,"ts":"5"})", kNeedTs},
    {R"({"cmd":"frame_at","ts":9223372036854775807})", kNoSpec},
    {R"({"cmd":"frame_at","ts":-9223372036854775808})", kNoSpec},
    {R"({"cmd":"frame_at","ts":"5","ts":5})", kNoSpec},
};

#undef ERR
#undef UNKNOWN

TEST(Command, ResponsesWithoutASpec) {
  XrayInstance xray;
  for (const auto& [command, response] : kWithoutSpec) {
    EXPECT_EQ(xray.command(command), response) << command;
  }
  EXPECT_FALSE(xray.spec());
}

TEST(Command, WithASpecButNoRecords) {
  XraySpec spec;
  spec.symbol = "BTCUSDT";
  spec.panels.push_back(XrayPanel{XrayPanel::Footprint{}});
  XrayInstance xray(spec);
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"({"cmd":"frame_at","ts":5})", kNoDataset}, {R"({"cmd":"frame_at","ts":5.5})", kNeedTs},
      {R"({"cmd":"reset"})", kOk},                  {R"({"cmd":"frame"})", kNoDataset},
  };
  for (const auto& [command, response] : cases) EXPECT_EQ(xray.command(command), response);
  ASSERT_TRUE(xray.spec());
  EXPECT_EQ(xray.spec()->symbol, "BTCUSDT");  // reset keeps the spec
}

}  // namespace
}  // namespace xray
