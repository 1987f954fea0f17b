// Fuzz target of spec decoding in both settings. The input is a spec text:
// - the text setting (decode_spec_text) is the stricter: when it accepts,
//   the tree (read_json_value) and the value setting (decode_spec_value)
//   give the same spec, and when the value setting rejects, so does it;
// - the value setting from the tree and from the checked text's spans (a
//   "set_spec" command's "spec", read_checked_command) agree exactly: the
//   same spec or the same error text;
// - the constructor's path and "set_spec" agree with these.
#include <cstdint>
#include <string>

#include "constructor_spec.h"
#include "instance.h"
#include "json/json_reader.h"
#include "protocol/command_decode.h"
#include "protocol/model_decode.h"
#include "protocol/responses.h"
#include "render.h"

namespace xray {
namespace {

using testing::render;
using testing::require;

std::string outcome(const Result<XraySpec>& r) {
  return r ? "spec " + render(*r) : "error " + display_text(r.error());
}

}  // namespace
}  // namespace xray

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace xray;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Result<XraySpec> as_text = decode_spec_text(text);
  const std::string text_outcome = outcome(as_text);

  Result<JsonDocument> tree = read_json_value(text);
  if (!tree) {
    require(!as_text, "the text setting accepts what the reader rejects", text, text_outcome,
            display_text(tree.error()));
  } else {
    const Result<XraySpec> as_value = decode_spec_value(tree->root());
    const std::string value_outcome = outcome(as_value);
    if (as_text) {
      require(value_outcome == text_outcome, "the settings accept different specs", text,
              text_outcome, value_outcome);
    }
    // The same text inside a command, decoded from its spans.
    const std::string command = R"({"cmd":"set_spec","spec":)" + std::string(text) + "}";
    require(check_json_syntax(command).ok(), "a valid value makes an invalid command", text,
            value_outcome, "");
    const CheckedCommand checked = read_checked_command(command);
    require(checked.spec.has_value(), "the command lost its spec", text, value_outcome, "");
    require(outcome(*checked.spec) == value_outcome, "tree and spans differ", text, value_outcome,
            outcome(*checked.spec));

    // "set_spec" answers ok exactly when the value decodes and validates.
    XrayInstance x;
    const std::string response = x.command(command);
    std::string expected(kOkResponse);
    if (!as_value) {
      expected = error_response(as_value.error());
    } else if (Status valid = validate_spec(*as_value); !valid) {
      expected = error_response(valid.error());
    }
    require(response == expected, "set_spec answers otherwise", text, expected, response);
    if (response == kOkResponse) {
      require(render(x.spec()) == render(*as_value), "set_spec stored another spec", text,
              render(*as_value), render(x.spec()));
    }
  }

  // The constructor: trimmed, "" and "{}" give none, else the text setting and validation.
  const Result<std::optional<XraySpec>> made = spec_from_constructor_text(text);
  const std::string_view trimmed = trim_unicode_whitespace(text);
  if (trimmed.empty() || trimmed == "{}") {
    require(made && !*made, "no spec expected", text, "", "");
  } else if (trimmed.size() == text.size()) {
    std::string expected = text_outcome;
    if (as_text) {
      if (Status valid = validate_spec(*as_text); !valid)
        expected = "error " + display_text(valid.error());
    }
    const std::string got = made ? "spec " + render(**made) : "error " + display_text(made.error());
    require(got == expected, "the constructor differs from the text setting", text, expected, got);
  }
  return 0;
}
