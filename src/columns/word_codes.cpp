// src/columns/word_codes.cpp: each row's word packed into one 64-bit key
// (lower-cased eight bytes at a time) and compared with every key of the
// table without branching: sides come in random order, and a branch on the
// word would miss every other row.
#include "columns/word_codes.h"

#include <cstring>

namespace xray::columns {
namespace {

constexpr std::size_t kMaxWords = 16;

bool space(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Bytes 'A' to 'Z' of v to lower case, the rest unchanged.
uint64_t lower_case(uint64_t v) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  const uint64_t low7 = v & (0x7f * kOnes);
  const uint64_t at_least_a = low7 + (0x3f * kOnes);  // high bit: byte >= 'A'
  const uint64_t past_z = low7 + (0x25 * kOnes);      // high bit: byte > 'Z'
  const uint64_t upper = at_least_a & ~past_z & ~v & (0x80 * kOnes);
  return v | (upper >> 2);
}

// The first length (at most 8) bytes at p as a key; bytes past them are 0.
// With room for eight bytes before limit, one load and a mask.
uint64_t pack(const uint8_t* p, std::size_t length, const uint8_t* limit) {
  uint64_t v = 0;
  if (limit - p >= 8) {
    std::memcpy(&v, p, 8);
    v &= length == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * length)) - 1;
  } else {
    for (std::size_t k = 0; k < length; ++k) v |= uint64_t{p[k]} << (8 * k);
  }
  return lower_case(v);
}

struct Keys {
  uint64_t key[kMaxWords];
  uint64_t length[kMaxWords];
  uint8_t code[kMaxWords];
  std::size_t count = 0;
};

template <class Offset>
std::optional<std::size_t> codes(const Offset* offsets, const StringColumn& c, const Keys keys,
                                 uint8_t* out) {
  // Everything read per row is a local: a byte written to out may alias any
  // memory the compiler cannot see is this function's own.
  const uint8_t* const data = c.data;
  const uint8_t* const validity = c.validity;
  const std::size_t rows = c.rows;
  const std::size_t validity_at = c.validity_at;
  const std::size_t count = keys.count;
  const uint8_t* const data_end = data + offsets[rows];
  for (std::size_t i = 0; i < rows; ++i) {
    if (validity != nullptr) {
      const std::size_t bit = validity_at + i;
      if ((validity[bit / 8] >> (bit % 8) & 1u) == 0) return i;
    }
    const uint8_t* begin = data + offsets[i];
    const uint8_t* end = data + offsets[i + 1];
    // White space around a word is rare: trimmed only where it is there.
    if (begin < end && (space(*begin) || space(end[-1]))) {
      while (begin < end && space(*begin)) ++begin;
      while (end > begin && space(end[-1])) --end;
    }
    const auto length = static_cast<uint64_t>(end - begin);
    if (length > 8) return i;
    const uint64_t key = pack(begin, length, data_end);
    uint64_t found = 0;
    uint8_t code = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const bool same = (key == keys.key[k]) & (length == keys.length[k]);
      found |= same;
      code = same ? keys.code[k] : code;
    }
    if (found == 0) return i;
    out[i] = code;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> word_codes(const StringColumn& column,
                                      const std::vector<WordCode>& words, uint8_t* out) {
  Keys keys;
  for (const WordCode& w : words) {
    // A word no key can hold matches no row; so does a table too long to scan.
    if (w.word.size() > 8 || keys.count == kMaxWords)
      return column.rows == 0 ? std::nullopt : std::optional(std::size_t{0});
    const auto* word = reinterpret_cast<const uint8_t*>(w.word.data());
    keys.key[keys.count] = pack(word, w.word.size(), word + w.word.size());
    keys.length[keys.count] = w.word.size();
    keys.code[keys.count++] = w.code;
  }
  return column.offsets64 != nullptr ? codes(column.offsets64, column, keys, out)
                                     : codes(column.offsets32, column, keys, out);
}

}  // namespace xray::columns
