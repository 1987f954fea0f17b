// src/decode/span_source.cpp: strings and member names that held escapes.
#include "decode/span_source.h"

namespace xray::decoding {

std::string_view SpanSourceBase::decode_escaped(const SpanValue& v) {
  JsonScanner scan(text_, v.begin, kJsonDepthBudget);
  std::string_view decoded;
  (void)scan.scan_string<true>(decoded, scratch_);
  return decoded;
}

std::string_view SpanSourceBase::escaped_key(std::size_t quote) {
  JsonScanner scan(text_, quote, kJsonDepthBudget);
  std::string buffer;
  std::string_view decoded;
  (void)scan.scan_string<true>(decoded, buffer);
  return keys_.emplace_back(decoded);
}

}  // namespace xray::decoding
