// src/columns/word_codes.h: the words of a string column (side words,
// book kinds) to one-byte codes by a small table, in one pass over the
// column's own bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace xray::columns {

struct WordCode {
  std::string_view word;  // lower case, no surrounding white space
  uint8_t code;
};

// Strings in one byte buffer: string i is bytes [offsets[i], offsets[i+1]),
// offsets of 32 or 64 bits (exactly one of the two pointers set); a row
// whose validity bit (LSB first, from bit validity_at) is clear is missing.
struct StringColumn {
  const int32_t* offsets32 = nullptr;
  const int64_t* offsets64 = nullptr;
  const uint8_t* data = nullptr;
  const uint8_t* validity = nullptr;  // null: no row is missing
  std::size_t validity_at = 0;
  std::size_t rows = 0;
};

// Writes each row's code to out (rows bytes) and gives nullopt, or gives the
// first row that is missing or matches no word. Matching ignores ASCII case
// and white space around the word, as the words are written for people.
[[nodiscard]] std::optional<std::size_t> word_codes(const StringColumn& column,
                                                    const std::vector<WordCode>& words,
                                                    uint8_t* out);

}  // namespace xray::columns
