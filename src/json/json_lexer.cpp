// src/json/json_lexer.cpp: the pull reader over the scanner.
#include "json/json_lexer.h"

namespace xray {
namespace {

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
