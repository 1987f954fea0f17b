// src/constructor_spec.cpp: the spec text given to the constructor.
#include "constructor_spec.h"

#include <cstdint>

#include "protocol/model_decode.h"

namespace xray {
namespace {

bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Decodes the code point starting at text[i] (valid UTF-8 assumed: the text
// comes from a Python str); returns its byte length.
std::size_t decode_at(std::string_view text, std::size_t i, uint32_t& cp) {
  const auto b = [&](std::size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = b(i);
  if (lead < 0x80 || i + 1 >= text.size()) {
    cp = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    cp = ((lead & 0x1Fu) << 6) | (b(i + 1) & 0x3Fu);
    return 2;
  }
  if ((lead & 0xF0) == 0xE0 && i + 2 < text.size()) {
    cp = ((lead & 0x0Fu) << 12) | ((b(i + 1) & 0x3Fu) << 6) | (b(i + 2) & 0x3Fu);
    return 3;
  }
  cp = 0xFFFFFFFF;  // four-byte sequences hold no white space
  return (lead & 0xF8) == 0xF0 ? 4 : 1;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    uint32_t cp = 0;
    const std::size_t len = decode_at(text, begin, cp);
    if (!is_white_space(cp)) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    uint32_t cp = 0;
    decode_at(text, start, cp);
    if (!is_white_space(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

Result<std::optional<XraySpec>> spec_from_constructor_text(std::string_view text) {
  const std::string_view trimmed = trim_unicode_whitespace(text);
  if (trimmed.empty() || trimmed == "{}") return std::optional<XraySpec>{};
  Result<XraySpec> spec = decode_spec_text(trimmed);
  if (!spec) return std::move(spec).error();
  if (Status valid = validate_spec(*spec); !valid) return std::move(valid).error();
  return std::optional<XraySpec>(std::move(spec).value());
}

}  // namespace xray
