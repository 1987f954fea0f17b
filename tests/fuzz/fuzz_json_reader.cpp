// Fuzz target of the JSON reader: the tree reader, the syntax check, a full
// lexer walk and skip_value must agree on every input (same fault text and
// position, or the same value), and nothing may crash or overflow.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json_dump.h"
#include "json/json_reader.h"

namespace {

void require(bool condition, const char* what, const std::string& detail = "") {
  if (condition) return;
  std::fprintf(stderr, "reader disagreement: %s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace xray;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Result<JsonDocument> doc = read_json_value(text);
  Status checked = check_json_syntax(text);
  Status skipped = testing::skip_text_with_lexer(text);
  Result<std::string> walked = testing::dump_text_with_lexer(text);
  require(doc.ok() == checked.ok(), "read vs check");
  require(doc.ok() == skipped.ok(), "read vs skip_value");
  require(doc.ok() == walked.ok(), "read vs lexer walk");
  if (doc) {
    // Equal dumps also prove the members are sorted and unique.
    const std::string tree = testing::dump_tree(doc->root());
    require(tree == *walked, "tree vs lexer walk", tree);
    require(doc->bytes_held() > 0, "bytes_held");
    // Followed by more whitespace the text reads the same, though numbers and
    // short strings are then read by their wide paths instead of byte by byte.
    std::string padded(text);
    padded.append(16, ' ');
    Result<JsonDocument> again = read_json_value(padded);
    require(again.ok() && testing::dump_tree(again->root()) == tree, "padded text", tree);
    return 0;
  }
  const std::string& message = doc.error().message;
  require(doc.error().kind == ErrorKind::Parse, "error kind", message);
  require(message.find(" at line ") != std::string::npos, "position suffix", message);
  require(checked.error().message == message, "check message", checked.error().message);
  require(skipped.error().message == message, "skip message", skipped.error().message);
  require(walked.error().message == message, "walk message", walked.error().message);
  return 0;
}
