// src/decode/decode_text.cpp: the parts of the text setting that do not depend on
// the target type.
#include "decode/decode_text.h"

namespace xray::decoding {
namespace {

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool TextDecoder::fail_at(std::size_t p, std::string message) {
  message.append(position_suffix(whole_, fixed_or(p)));
  error_ = XrayError::parse(std::move(message));
  return false;
}

bool TextDecoder::fail(XrayError error) {
  error_ = std::move(error);
  return false;
}

bool TextDecoder::read_summary(ValueSummary& s, std::size_t& end) {
  ValueStart start{};
  if (!check(lexer_.peek_value(), start)) return false;
  s = ValueSummary{};
  switch (start) {
    case ValueStart::Null:
      s.kind = JsonKind::Null;
      if (!check(lexer_.read_null())) return false;
      break;
    case ValueStart::True:
    case ValueStart::False:
      s.kind = JsonKind::Bool;
      if (!check(lexer_.read_bool(), s.boolean)) return false;
      break;
    case ValueStart::Number:
      s.kind = JsonKind::Number;
      if (!check(lexer_.read_number(), s.number)) return false;
      break;
    case ValueStart::String:
      s.kind = JsonKind::String;
      if (!check(lexer_.read_string(), s.text)) return false;
      break;
    case ValueStart::Array:
    case ValueStart::Object:
      // Found at its opening bracket; nothing inside is read.
      s.kind = start == ValueStart::Array ? JsonKind::Array : JsonKind::Object;
      end = lexer_.offset() + 1;
      return true;
  }
  end = lexer_.offset();
  return true;
}

bool TextDecoder::reject_next(std::string_view expected) {
  ValueSummary s;
  std::size_t end = 0;
  if (!read_summary(s, end)) return false;
  return fail_at(end, invalid_type(s, expected));
}

bool TextDecoder::end_fixed_array(bool first) {
  bool more = false;
  if (!check(lexer_.next_element(first), more)) return false;
  if (!more) return true;
  // A further value after the last field: found at its first byte.
  const std::string_view text = lexer_.text();
  std::size_t p = lexer_.offset();
  while (p < text.size() && is_json_space(text[p])) ++p;
  return fail_at(p + 1, "trailing characters");
}

bool TextDecoder::variant_name(std::span<const std::string_view> names, std::size_t& index) {
  ValueSummary s;
  std::size_t end = 0;
  if (!read_summary(s, end)) return false;
  if (s.kind != JsonKind::String) return fail_at(end, invalid_type(s, kExpectVariantName));
  const std::optional<std::size_t> found = find_name(names, s.text);
  if (!found) return fail_at(end, unknown_variant(s.text, names));
  index = *found;
  return true;
}

bool TextDecoder::decode(std::monostate&) {
  ValueSummary s;
  std::size_t end = 0;
  if (!read_summary(s, end)) return false;
  if (s.kind == JsonKind::Null) return true;
  return fail_at(end, invalid_type(s, kExpectUnit));
}

}  // namespace xray::decoding
