// src/decode/list_chunks.cpp: guessing where an element of a long list starts.
#include "decode/list_chunks.h"

#include "json/json_scanner.h"

namespace xray::decoding {
namespace {

// Longer keys are no better guesses, only dearer to compare.
constexpr std::size_t kLongestSignature = 40;

}  // namespace

std::string_view element_signature(std::string_view text, std::size_t at) {
  if (at >= text.size() || text[at] != '{') return {};
  std::size_t i = at + 1;
  while (i < text.size() && is_json_space(text[i])) ++i;
  if (i >= text.size() || text[i] != '"') return {};
  for (++i; i < text.size() && i - at < kLongestSignature; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') return text.substr(at, i + 1 - at);
    if (c == '\\' || c < 0x20) return {};
  }
  return {};
}

std::size_t guess_element_start(std::string_view text, std::string_view signature, std::size_t lo,
                                std::size_t hi) {
  hi = std::min(hi, text.size());
  for (std::size_t at = lo; at < hi; ++at) {
    at = text.find(signature, at);
    if (at == std::string_view::npos || at >= hi) return kNoGuess;
    std::size_t before = at;
    while (before > 0 && is_json_space(text[before - 1])) --before;
    if (before > 0 && text[before - 1] == ',') return at;
  }
  return kNoGuess;
}

}  // namespace xray::decoding
