// src/json_reader.cpp: the value parser over the scanner, the tree reader,
// the syntax check and the pull lexer.
#include "json_reader.h"

#include <cstring>

#include "json_scanner.h"
#include "json_tree.h"

namespace xray {
namespace {

// Sink that keeps nothing: the syntax check and skip_value.
struct JsonNullSink {
  static constexpr bool kDecodeStrings = false;
  std::size_t mark() const { return 0; }
  void null() {}
  void boolean(bool) {}
  void number(const JsonNumber&) {}
  void string(std::string_view, bool) {}
  void close_array(std::size_t) {}
  void close_object(std::size_t) {}
};

// Recursive descent over one value; the nesting budget bounds the recursion
// at 127 levels. Faults stay recorded in the scanner.
template <class Sink>
class ValueParser {
 public:
  ValueParser(JsonScanner& scan, Sink& sink) : scan_(scan), sink_(sink) {}

  bool parse_value() {
    ValueStart start;
    if (!scan_.to_value() || !scan_.classify(start)) return false;
    switch (start) {
      case ValueStart::Null:
        return scan_.scan_literal("null") && (sink_.null(), true);
      case ValueStart::True:
        return scan_.scan_literal("true") && (sink_.boolean(true), true);
      case ValueStart::False:
        return scan_.scan_literal("false") && (sink_.boolean(false), true);
      case ValueStart::Number: {
        JsonNumber number;
        return scan_.scan_number(number) && (sink_.number(number), true);
      }
      case ValueStart::String:
        return parse_string();
      case ValueStart::Array:
        return parse_array();
      case ValueStart::Object:
        return parse_object();
    }
    return false;
  }

 private:
  // Whether at points into the text with 16 bytes readable from there (a
  // decoded string lives elsewhere).
  bool has_16_bytes_from(const char* at) const {
    const std::string_view all = scan_.text();
    const auto offset = reinterpret_cast<std::uintptr_t>(at) -
                        reinterpret_cast<std::uintptr_t>(all.data());  // wraps when before
    return all.size() >= 16 && offset <= all.size() - 16;
  }

  bool parse_string() {
    std::string_view text;
    if (!scan_.template scan_string<Sink::kDecodeStrings>(text, scratch_)) return false;
    sink_.string(text, has_16_bytes_from(text.data()));
    return true;
  }

  bool parse_array() {
    if (!scan_.open_container()) return false;
    const std::size_t mark = sink_.mark();
    // The first step is apart, so each step is compiled for its position.
    for (JsonStep step = scan_.array_step(true); step != JsonStep::End;
         step = scan_.array_step(false)) {
      if (step == JsonStep::Fault || !parse_value()) return false;
    }
    sink_.close_array(mark);
    return true;
  }

  bool parse_object() {
    if (!scan_.open_container()) return false;
    const std::size_t mark = sink_.mark();
    for (JsonStep step = scan_.member_step(true); step != JsonStep::End;
         step = scan_.member_step(false)) {
      if (step == JsonStep::Fault || !parse_string() || !scan_.colon() || !parse_value()) {
        return false;
      }
    }
    sink_.close_object(mark);
    return true;
  }

  JsonScanner& scan_;
  Sink& sink_;
  std::string scratch_;  // a string with escapes, decoded
};

// Whitespace, then the kind of the value that begins there.
bool to_start(JsonScanner& scan, ValueStart& start) {
  return scan.to_value() && scan.classify(start);
}

// Whitespace, then a value that must begin as want says.
bool to_start_of(JsonScanner& scan, ValueStart want) {
  ValueStart start;
  if (!to_start(scan, start)) return false;
  return start == want || scan.fail_here(json_fault::kExpectedValue);
}

}  // namespace

std::string position_suffix(std::string_view text, std::size_t p) {
  if (p > text.size()) p = text.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  const char* const data = text.data();
  while (line_start < p) {  // an empty text may have no data pointer at all
    const void* lf = std::memchr(data + line_start, '\n', p - line_start);
    if (lf == nullptr) break;
    ++line;
    line_start = static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(p - line_start);
}

Result<JsonDocument> read_json_value(std::string_view text) {
  JsonDocument doc;
  doc.storage_ = std::make_unique<JsonDocument::Storage>();
  JsonScanner scan(text, 0, kJsonDepthBudget);
  JsonTreeBuilder builder(doc.storage_->arena);
  ValueParser<JsonTreeBuilder> parser(scan, builder);
  if (!parser.parse_value() || !scan.finish()) return scan.error();
  doc.storage_->root = builder.root();
  return doc;
}

Status check_json_syntax(std::string_view text) {
  JsonScanner scan(text, 0, kJsonDepthBudget);
  JsonNullSink sink;
  ValueParser<JsonNullSink> parser(scan, sink);
  if (!parser.parse_value() || !scan.finish()) return scan.error();
  return {};
}

bool skip_json_value(JsonScanner& scan) {
  JsonNullSink sink;
  return ValueParser<JsonNullSink>(scan, sink).parse_value();
}

JsonLexer::JsonLexer(std::string_view text) : text_(text) {}

JsonScanner JsonLexer::scanner() const { return JsonScanner(text_, pos_, depth_budget_); }

void JsonLexer::commit(const JsonScanner& scan) {
  pos_ = scan.pos();
  depth_budget_ = scan.budget();
}

Result<ValueStart> JsonLexer::peek_value() {
  JsonScanner scan = scanner();
  ValueStart start;
  if (!to_start(scan, start)) return scan.error();
  commit(scan);
  return start;
}

Status JsonLexer::read_null() {
  JsonScanner scan = scanner();
  if (!to_start_of(scan, ValueStart::Null) || !scan.scan_literal("null")) return scan.error();
  commit(scan);
  return {};
}

Result<bool> JsonLexer::read_bool() {
  JsonScanner scan = scanner();
  ValueStart start;
  if (!to_start(scan, start)) return scan.error();
  const bool value = start == ValueStart::True;
  if (!value && start != ValueStart::False) {
    scan.fail_here(json_fault::kExpectedValue);
    return scan.error();
  }
  if (!scan.scan_literal(value ? "true" : "false")) return scan.error();
  commit(scan);
  return value;
}

Result<JsonNumber> JsonLexer::read_number() {
  JsonScanner scan = scanner();
  JsonNumber number;
  if (!to_start_of(scan, ValueStart::Number) || !scan.scan_number(number)) return scan.error();
  commit(scan);
  return number;
}

Result<std::string_view> JsonLexer::read_string() {
  JsonScanner scan = scanner();
  std::string_view text;
  if (!to_start_of(scan, ValueStart::String) || !scan.scan_string<true>(text, scratch_)) {
    return scan.error();
  }
  commit(scan);
  return text;
}

Status JsonLexer::begin_container(ValueStart kind) {
  JsonScanner scan = scanner();
  if (!to_start_of(scan, kind) || !scan.open_container()) return scan.error();
  commit(scan);
  return {};
}

Status JsonLexer::begin_array() { return begin_container(ValueStart::Array); }

Result<bool> JsonLexer::next_element(bool first) {
  JsonScanner scan = scanner();
  const JsonStep step = scan.array_step(first);
  if (step == JsonStep::Fault) return scan.error();
  commit(scan);
  return step == JsonStep::More;
}

Status JsonLexer::begin_object() { return begin_container(ValueStart::Object); }

Result<bool> JsonLexer::next_member(bool first) {
  JsonScanner scan = scanner();
  const JsonStep step = scan.member_step(first);
  if (step == JsonStep::Fault) return scan.error();
  if (step == JsonStep::More && !scan.scan_string<true>(key_, key_store_)) return scan.error();
  commit(scan);
  return step == JsonStep::More;
}

Status JsonLexer::expect_colon() {
  JsonScanner scan = scanner();
  if (!scan.colon()) return scan.error();
  commit(scan);
  return {};
}

Status JsonLexer::skip_value() {
  JsonScanner scan = scanner();
  if (!skip_json_value(scan)) return scan.error();
  commit(scan);
  return {};
}

Status JsonLexer::finish() {
  JsonScanner scan = scanner();
  if (!scan.finish()) return scan.error();
  commit(scan);
  return {};
}

XrayError JsonLexer::error_at(std::size_t p, std::string_view message) const {
  return XrayError::parse(std::string(message) + position_suffix(text_, p));
}

}  // namespace xray
