// src/json/json_lexer.h: the pull reader: tokens of one text by the reader's rules.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "json/json_scanner.h"
#include "json/json_value.h"

namespace xray {

// Pulls tokens from one text by the reader's rules: the same lexical rules,
// number classes, float conversion, nesting budget, fault texts and positions
// as read_json_value. Every fault is a Parse error with the position suffix.
// The typed decoder's text setting walks a text with it.
class JsonLexer {
 public:
  explicit JsonLexer(std::string_view text);

  // Skips whitespace and classifies the next value without consuming it.
  // Faults: "EOF while parsing a value", "expected value".
  [[nodiscard]] Result<ValueStart> peek_value();

  // Reads a literal, number or string at the current position (whitespace
  // skipped first). Strings come back decoded; the view stays valid until the
  // next call on this lexer. Calling the reader of another kind than the one
  // that begins there (peek first) is the fault "expected value" at that byte.
  [[nodiscard]] Status read_null();
  [[nodiscard]] Result<bool> read_bool();
  [[nodiscard]] Result<JsonNumber> read_number();
  [[nodiscard]] Result<std::string_view> read_string();

  // Consumes "[" (whitespace skipped first) and lowers the nesting budget
  // ("recursion limit exceeded").
  [[nodiscard]] Status begin_array();
  // After "[" (first = true) or after an element: true when another element
  // follows (a "," was consumed, or the first element begins), false when "]"
  // was consumed. Faults: "trailing comma", "expected `,` or `]`",
  // "EOF while parsing a list", "EOF while parsing a value".
  [[nodiscard]] Result<bool> next_element(bool first);

  // Consumes "{" and lowers the nesting budget.
  [[nodiscard]] Status begin_object();
  // After "{" (first = true) or after a member value: reads a "," and the next
  // member name up to its closing quotation mark, and returns true; or
  // consumes "}" and returns false. Faults: "key must be a string",
  // "trailing comma", "expected `,` or `}`", "EOF while parsing an object",
  // string faults. The name is in key() until the next call.
  [[nodiscard]] Result<bool> next_member(bool first);
  std::string_view key() const { return key_; }
  // Consumes the ":" after a member name ("expected `:`", "EOF while parsing an object").
  [[nodiscard]] Status expect_colon();

  // Reads and drops one whole value of any kind by the reader's rules.
  [[nodiscard]] Status skip_value();
  // Only whitespace may remain: "trailing characters" otherwise.
  [[nodiscard]] Status finish();

  // Byte offset of the next unread byte.
  std::size_t offset() const { return pos_; }
  std::string_view text() const { return text_; }
  // A Parse error "<message> at line L column C" with p the given offset.
  [[nodiscard]] XrayError error_at(std::size_t p, std::string_view message) const;
  // p = offset(): just past the last byte consumed.
  [[nodiscard]] XrayError error_here(std::string_view message) const {
    return error_at(pos_, message);
  }

 private:
  // Each step runs on a copy of the cursor and commits it only on success.
  JsonScanner scanner() const;
  void commit(const JsonScanner& scan);
  Status begin_container(ValueStart kind);

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_budget_ = 128;
  std::string scratch_;    // decoded string with escapes
  std::string key_store_;  // decoded member name with escapes
  std::string_view key_;
};

}  // namespace xray
