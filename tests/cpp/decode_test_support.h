// tests/cpp/decode_test_support.h: helpers shared by the decoding tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace xray::testing {

// A text with one '^' written just past the byte at which a fault is found.
// Gives the text without the marker and the position suffix the marker
// stands for (line = 1 + line feeds before it, column = bytes since the last
// line feed before it). Without a marker the suffix is empty.
struct Marked {
  std::string text;
  std::string suffix;
};

inline Marked unmark(std::string_view marked) {
  Marked m;
  const std::size_t at = marked.find('^');
  if (at == std::string_view::npos) {
    m.text = std::string(marked);
    return m;
  }
  m.text = std::string(marked.substr(0, at)) + std::string(marked.substr(at + 1));
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (marked[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  m.suffix = " at line " + std::to_string(line) + " column " + std::to_string(at - line_start);
  return m;
}

}  // namespace xray::testing
