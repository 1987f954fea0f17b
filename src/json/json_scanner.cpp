// src/json/json_scanner.cpp: escapes and the fault-to-error step of the scanner.
#include "json/json_scanner.h"

#include <cstring>

namespace xray {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_leading_surrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trailing_surrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

XrayError JsonScanner::error() const {
  return XrayError::parse(std::string(fault_) + position_suffix(text(), fault_pos_));
}

// The four digits are examined one at a time, so the first bad byte (or the
// end of the text) is where the fault is found.
bool JsonScanner::scan_hex4(std::size_t& i, uint32_t& unit) {
  unit = 0;
  for (int k = 0; k < 4; ++k) {
    if (i >= size_) return fail_eof(json_fault::kEofString);
    const int digit = hex_value(data_[i++]);
    if (digit < 0) return fail_at(i, json_fault::kInvalidEscape);
    unit = unit * 16 + static_cast<uint32_t>(digit);
  }
  return true;
}

bool JsonScanner::scan_escape(std::size_t& i, std::string* out) {
  if (i >= size_) return fail_eof(json_fault::kEofString);
  char plain;
  switch (data_[i++]) {
    case '"': plain = '"'; break;
    case '\\': plain = '\\'; break;
    case '/': plain = '/'; break;
    case 'b': plain = '\b'; break;
    case 'f': plain = '\f'; break;
    case 'n': plain = '\n'; break;
    case 'r': plain = '\r'; break;
    case 't': plain = '\t'; break;
    case 'u': {
      uint32_t unit;
      if (!scan_hex4(i, unit)) return false;
      if (is_trailing_surrogate(unit)) return fail_at(i, json_fault::kLoneSurrogate);
      if (is_leading_surrogate(unit)) {
        // The pair must follow directly as a second \u escape.
        for (const char expected : {'\\', 'u'}) {
          if (i >= size_) return fail_eof(json_fault::kEofString);
          if (data_[i++] != expected) return fail_at(i, json_fault::kHexEscapeEnd);
        }
        uint32_t trailing;
        if (!scan_hex4(i, trailing)) return false;
        if (!is_trailing_surrogate(trailing)) return fail_at(i, json_fault::kLoneSurrogate);
        unit = 0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00);
      }
      if (out != nullptr) append_utf8(unit, *out);
      return true;
    }
    default: return fail_at(i, json_fault::kInvalidEscape);
  }
  if (out != nullptr) out->push_back(plain);
  return true;
}

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

}  // namespace xray
