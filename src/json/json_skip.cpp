// src/json/json_skip.cpp: container skipping over checked text.
//
// A block of bytes (16 with SSE2, else 8) is examined at once: the quotation
// marks of a block give, by a prefix XOR of their bits, which bytes lie
// inside strings; brackets and commas outside strings are then visited one by
// one. A block holding a backslash (rare in market data) is walked byte by
// byte, so escapes never have to be resolved across blocks.
#include "json/json_skip.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/json_scanner.h"

namespace xray {
namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

// 0x80 in every byte of w that equals c, 0 in the others. Exact: no carry
// crosses a byte.
uint64_t bytes_equal(uint64_t w, uint8_t c) {
  const uint64_t x = w ^ (kOnes * c);
  return ~(((x & kLow7) + kLow7) | x | kLow7);
}

// Bit i set when byte i of the flags holds 0x80 (bytes in memory order).
unsigned flag_bits(uint64_t flags) {
  return static_cast<unsigned>(((flags >> 7) * 0x0102040810204080ULL) >> 56);
}

// Bit i set when an odd number of bits at or below i are set.
unsigned prefix_xor(unsigned bits) {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  return bits;
}

// One bit per byte of a block: quotation marks, backslashes, and the
// brackets and commas that matter when outside strings.
struct BlockMasks {
  unsigned quotes;
  unsigned backslashes;
  unsigned events;
};

// Eight bytes in a 64-bit word, on every platform.
struct WordBlock {
  static constexpr std::size_t kSize = 8;
  static BlockMasks masks(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native != std::endian::little) w = __builtin_bswap64(w);
    // '[' and '{' differ only in bit 5, as do ']' and '}'.
    const uint64_t folded = w & ~(kOnes * 0x20);
    return {flag_bits(bytes_equal(w, '"')), flag_bits(bytes_equal(w, '\\')),
            flag_bits(bytes_equal(folded, '[') | bytes_equal(folded, ']') | bytes_equal(w, ','))};
  }
};

#if defined(__SSE2__)
// Sixteen bytes with SSE2, which every x86-64 processor has.
struct SseBlock {
  static constexpr std::size_t kSize = 16;
  static BlockMasks masks(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto eq = [](__m128i x, char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
    const __m128i folded = _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(~0x20)));
    const __m128i events = _mm_or_si128(_mm_or_si128(eq(folded, '['), eq(folded, ']')), eq(v, ','));
    return {static_cast<unsigned>(_mm_movemask_epi8(eq(v, '"'))),
            static_cast<unsigned>(_mm_movemask_epi8(eq(v, '\\'))),
            static_cast<unsigned>(_mm_movemask_epi8(events))};
  }
};
using FastBlock = SseBlock;
#else
using FastBlock = WordBlock;
#endif

// +1 for an opening bracket, -1 for a closing one, as a depth step.
constexpr auto kDepthChange = [] {
  std::array<std::ptrdiff_t, 256> t{};
  t['['] = t['{'] = 1;
  t[']'] = t['}'] = -1;
  return t;
}();

template <class Block>
class Skipper {
 public:
  explicit Skipper(std::string_view text) : s_(text.data()), n_(text.size()) {}

  std::size_t run(std::size_t pos, std::size_t& count) {
    std::size_t first = pos + 1;
    while (is_json_space(s_[first])) ++first;
    if (s_[first] == ']' || s_[first] == '}') {
      count = 0;
      return first + 1;
    }
    std::size_t i = pos;
    constexpr std::size_t kBlock = Block::kSize;
    constexpr unsigned kBlockBits = (1u << kBlock) - 1;
    while (i + kBlock <= n_) {
      const BlockMasks m = Block::masks(s_ + i);
      if (escape_ || m.backslashes != 0) {
        if (bytes(i, i + kBlock)) break;
        i += kBlock;
        continue;
      }
      const unsigned inside = (prefix_xor(m.quotes) ^ (in_string_ ? ~0u : 0u)) & kBlockBits;
      if ((std::popcount(m.quotes) & 1) != 0) in_string_ = !in_string_;
      // Without a branch on which event it is: those are unpredictable.
      for (unsigned events = m.events & ~inside; events != 0; events &= events - 1) {
        const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(events));
        const auto c = static_cast<unsigned char>(s_[at]);
        depth_ += kDepthChange[c];
        commas_ += static_cast<std::size_t>(c == ',') & static_cast<std::size_t>(depth_ == 1);
        if (depth_ == 0) {
          end_ = at + 1;
          break;
        }
      }
      if (end_ != 0) break;
      i += kBlock;
    }
    if (end_ == 0) bytes(i, n_);
    count = commas_ + 1;
    return end_;
  }

 private:
  // A bracket or comma outside strings; true when it closes the container.
  bool structural(char c) {
    if (c == ',') {
      commas_ += depth_ == 1 ? 1 : 0;
      return false;
    }
    if ((c & 0x02) != 0) {  // "[" or "{"
      ++depth_;
      return false;
    }
    return --depth_ == 0;
  }

  // Bytes [from, to) one at a time; true when the container closed.
  bool bytes(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const char c = s_[i];
      if (in_string_) {
        if (escape_) {
          escape_ = false;
        } else if (c == '\\') {
          escape_ = true;
        } else if (c == '"') {
          in_string_ = false;
        }
      } else if (c == '"') {
        in_string_ = true;
      } else if (c == '[' || c == '{' || c == ']' || c == '}' || c == ',') {
        if (structural(c)) {
          end_ = i + 1;
          return true;
        }
      }
    }
    return false;
  }

  const char* s_;
  std::size_t n_;
  std::ptrdiff_t depth_ = 0;
  std::size_t commas_ = 0;
  std::size_t end_ = 0;
  bool in_string_ = false;
  bool escape_ = false;
};

}  // namespace

std::size_t skip_checked_container(std::string_view text, std::size_t pos, std::size_t& count) {
  return Skipper<FastBlock>(text).run(pos, count);
}

std::size_t skip_checked_container_by_words(std::string_view text, std::size_t pos,
                                            std::size_t& count) {
  return Skipper<WordBlock>(text).run(pos, count);
}

}  // namespace xray
