// src/json/json_scanner.h: the lexical layer under the tree reader, the syntax
// check and the pull lexer: whitespace, literals, numbers, strings, the
// container steps and the nesting budget.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "json/json_number.h"
#include "json/json_value.h"

namespace xray {

// The four bytes JSON allows between tokens; nothing else counts as space
// (no form feed, no vertical tab, no non-ASCII space).
inline bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// What the next value is, judged by its first byte.
enum class ValueStart : uint8_t { Null, True, False, Number, String, Array, Object };

// " at line L column C" for the offset p of text (line counts line feeds
// before p's line, column counts bytes from the line's start to p).
[[nodiscard]] std::string position_suffix(std::string_view text, std::size_t p);

// Every fault text of the reader.
namespace json_fault {
inline constexpr const char* kEofList = "EOF while parsing a list";
inline constexpr const char* kEofObject = "EOF while parsing an object";
inline constexpr const char* kEofString = "EOF while parsing a string";
inline constexpr const char* kEofValue = "EOF while parsing a value";
inline constexpr const char* kExpectedColon = "expected `:`";
inline constexpr const char* kExpectedListEnd = "expected `,` or `]`";
inline constexpr const char* kExpectedObjectEnd = "expected `,` or `}`";
inline constexpr const char* kExpectedIdent = "expected ident";
inline constexpr const char* kExpectedValue = "expected value";
inline constexpr const char* kInvalidEscape = "invalid escape";
inline constexpr const char* kInvalidNumber = "invalid number";
inline constexpr const char* kOutOfRange = "number out of range";
inline constexpr const char* kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr const char* kKeyNotString = "key must be a string";
inline constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
inline constexpr const char* kHexEscapeEnd = "unexpected end of hex escape";
inline constexpr const char* kTrailingComma = "trailing comma";
inline constexpr const char* kTrailingCharacters = "trailing characters";
inline constexpr const char* kRecursionLimit = "recursion limit exceeded";
}  // namespace json_fault

// Opening a container lowers this budget; reaching 0 is the fault, so 127
// levels may be open at once.
inline constexpr int kJsonDepthBudget = 128;

// What a container step found.
enum class JsonStep : uint8_t { Fault, End, More };

// The high bit of each byte of w (first byte lowest) that is a quotation
// mark, a backslash or a control byte, and perhaps of bytes above the lowest
// such one: the lowest flagged byte of each test is exact (borrows only run
// upwards), so the lowest bit of the union is exact.
inline uint64_t string_special_bytes(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  const uint64_t quote = w ^ (kOnes * '"');
  const uint64_t slash = w ^ (kOnes * '\\');
  return (((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | ((w - kOnes * 0x20) & ~w)) &
         kHighs;
}

// Index of the first quotation mark, backslash or control byte at or after i,
// or n, eight bytes at a time.
inline std::size_t find_string_special(const char* s, std::size_t i, std::size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      const uint64_t hits = string_special_bytes(w);
      if (hits != 0) return i + (static_cast<std::size_t>(std::countr_zero(hits)) >> 3);
      i += 8;
    }
  }
  for (; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\' || c < 0x20) return i;
  }
  return n;
}

// A cursor over one text. Every scan returns false (or JsonStep::Fault) on a
// fault and records its text and offset; error() turns that into the one
// Parse error, so the hot path carries no strings.
class JsonScanner {
 public:
  JsonScanner(std::string_view text, std::size_t pos, int depth_budget)
      : data_(text.data()), size_(text.size()), pos_(pos), budget_(depth_budget) {}

  std::size_t pos() const { return pos_; }
  // Resumes at pos, which the caller found to end a value at this level.
  void seek(std::size_t pos) { pos_ = pos; }
  int budget() const { return budget_; }
  std::string_view text() const { return {data_, size_}; }
  bool at_end() const { return pos_ >= size_; }
  char byte() const { return data_[pos_]; }

  // Records a fault found at offset p (just past the offending byte, or the
  // text length when the text ended).
  bool fail_at(std::size_t p, const char* message) {
    fault_pos_ = p;
    fault_ = message;
    return false;
  }
  bool fail_here(const char* message) { return fail_at(pos_ + 1, message); }
  bool fail_eof(const char* message) { return fail_at(size_, message); }
  [[nodiscard]] XrayError error() const;

  void skip_whitespace() {
    while (pos_ < size_ && is_json_space(data_[pos_])) ++pos_;
  }

  // Whitespace, then the first byte of a value, which must be there.
  bool to_value() {
    skip_whitespace();
    return !at_end() || fail_eof(json_fault::kEofValue);
  }

  // Classifies the value starting at the current byte.
  bool classify(ValueStart& start) {
    switch (byte()) {
      case 'n': start = ValueStart::Null; return true;
      case 't': start = ValueStart::True; return true;
      case 'f': start = ValueStart::False; return true;
      case '"': start = ValueStart::String; return true;
      case '[': start = ValueStart::Array; return true;
      case '{': start = ValueStart::Object; return true;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9': start = ValueStart::Number; return true;
      default: return fail_here(json_fault::kExpectedValue);
    }
  }

  // At the first letter of word (true, false or null).
  bool scan_literal(std::string_view word) {
    for (std::size_t k = 1; k < word.size(); ++k) {
      const std::size_t at = pos_ + k;
      if (at >= size_) return fail_eof(json_fault::kEofValue);
      if (data_[at] != word[k]) return fail_at(at + 1, json_fault::kExpectedIdent);
    }
    pos_ += word.size();
    return true;
  }

  // At a minus sign or a digit.
  bool scan_number(JsonNumber& out);
  // The same without the short path, which must agree with it to the bit.
  bool scan_any_number(JsonNumber& out);

  // At the opening quotation mark. out views the text when the string has no
  // escape; otherwise the decoded bytes in buffer (kDecode) or nothing useful.
  template <bool kDecode>
  bool scan_string(std::string_view& out, std::string& buffer) {
    std::size_t run_start = pos_ + 1;
    std::size_t i = run_start;
    bool escaped = false;
    for (;;) {
      i = find_string_special(data_, i, size_);
      if (i >= size_) return fail_eof(json_fault::kEofString);
      const char c = data_[i];
      if (c == '"') {
        if (!escaped) {
          out = std::string_view(data_ + run_start, i - run_start);
        } else {
          if constexpr (kDecode) buffer.append(data_ + run_start, i - run_start);
          out = buffer;
        }
        pos_ = i + 1;
        return true;
      }
      if (c != '\\') return fail_at(i + 1, json_fault::kControlCharacter);
      if (!escaped) {
        escaped = true;
        buffer.clear();
      }
      if constexpr (kDecode) buffer.append(data_ + run_start, i - run_start);
      i = i + 1;
      if (!scan_escape(i, kDecode ? &buffer : nullptr)) return false;
      run_start = i;
    }
  }

  // At the opening quotation mark of a string of at most seven bytes and no
  // escape, as most keys are: moves past it and gives its length (its bytes
  // follow the quotation mark). False, with nothing moved, for any other
  // string; scan_string reads it. The length comes back alone: a view
  // written here and copied whole stalls on store forwarding.
  [[gnu::always_inline]] bool scan_short_string(std::size_t& length) {
    if constexpr (std::endian::native != std::endian::little) return false;
    if (size_ - pos_ < 9) return false;
    uint64_t w;
    std::memcpy(&w, data_ + pos_ + 1, 8);
    const uint64_t hits = string_special_bytes(w);
    if (hits == 0) return false;
    const auto found = static_cast<std::size_t>(std::countr_zero(hits)) >> 3;
    if (data_[pos_ + 1 + found] != '"') return false;
    length = found;
    pos_ += found + 2;
    return true;
  }

  // At "[" or "{": lowers the nesting budget and consumes the byte.
  bool open_container() {
    if (--budget_ == 0) return fail_here(json_fault::kRecursionLimit);
    ++pos_;
    return true;
  }

  // After the opening bracket (first) or after an element or member value:
  // End when the closing bracket was consumed, More when the next element or
  // member begins (after a consumed ",").
  JsonStep container_step(bool first, char close, const char* eof_fault,
                          const char* expected_end_fault) {
    skip_whitespace();
    if (at_end()) return fault_step(size_, eof_fault);
    if (byte() == close) return close_step();
    if (!first) {
      if (byte() != ',') return fault_step(pos_ + 1, expected_end_fault);
      ++pos_;
      skip_whitespace();
      if (at_end()) return fault_step(size_, json_fault::kEofValue);
      if (byte() == close) return fault_step(pos_ + 1, json_fault::kTrailingComma);
    }
    return JsonStep::More;
  }

  JsonStep array_step(bool first) {
    return container_step(first, ']', json_fault::kEofList, json_fault::kExpectedListEnd);
  }

  // More stops at the quotation mark of the next member name.
  JsonStep member_step(bool first) {
    const JsonStep step =
        container_step(first, '}', json_fault::kEofObject, json_fault::kExpectedObjectEnd);
    if (step == JsonStep::More && byte() != '"') {
      return fault_step(pos_ + 1, json_fault::kKeyNotString);
    }
    return step;
  }

  bool colon() {
    skip_whitespace();
    if (at_end()) return fail_eof(json_fault::kEofObject);
    if (byte() != ':') return fail_here(json_fault::kExpectedColon);
    ++pos_;
    return true;
  }

  // Only whitespace may follow the value.
  bool finish() {
    skip_whitespace();
    return at_end() || fail_here(json_fault::kTrailingCharacters);
  }

 private:
  JsonStep fault_step(std::size_t p, const char* message) {
    fail_at(p, message);
    return JsonStep::Fault;
  }
  JsonStep close_step() {
    ++pos_;
    ++budget_;
    return JsonStep::End;
  }

  // After the backslash at i - 1; moves i past the escape. out is null when
  // only checking.
  bool scan_escape(std::size_t& i, std::string* out);
  bool scan_hex4(std::size_t& i, uint32_t& unit);
  // At the ".", "e" or "E" after the integer digits of a number.
  bool scan_fraction_and_exponent(const char* p, bool negative, uint64_t significand,
                                  bool overflowed, std::size_t length, int64_t exponent,
                                  JsonNumber& out);
  // The common short decimal, up to seven digits on either side of the point
  // and no exponent, or a short integer, read eight bytes at a time; false
  // leaves it to the general path. Sixteen bytes from p must be readable.
  bool read_short_decimal(const char* p, bool negative, JsonNumber& out);
  // The same for an integer of up to fifteen digits, at its first digit.
  bool read_short_integer(const char* p, bool negative, JsonNumber& out);
  bool finish_float(bool negative, uint64_t significand, int64_t exponent, JsonNumber& out);
  std::size_t offset_past(const char* p) const { return static_cast<std::size_t>(p + 1 - data_); }

  const char* data_;
  std::size_t size_;
  std::size_t pos_;
  int budget_;
  std::size_t fault_pos_ = 0;
  const char* fault_ = "";
};

inline bool JsonScanner::scan_number(JsonNumber& out) {
  const char* p = data_ + pos_;
  const bool negative = *p == '-';
  if (size_ - pos_ >= 17 && read_short_decimal(p + negative, negative, out)) return true;
  return scan_any_number(out);
}

inline bool JsonScanner::scan_any_number(JsonNumber& out) {
  using namespace json_number_detail;
  const char* p = data_ + pos_;
  const char* const end = data_ + size_;
  const bool negative = *p == '-';
  if (negative && ++p == end) return fail_eof(json_fault::kEofValue);
  uint64_t significand = 0;
  int64_t exponent = 0;
  bool overflowed = false;
  std::size_t length = 0;  // integer digits: a bound on the significand's length
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return fail_at(offset_past(p), json_fault::kInvalidNumber);
  } else if (is_digit(*p)) {
    const char* const first = p;
    append_digits_fast(p, end, significand, 0);
    for (; p != end && is_digit(*p); ++p) {
      if (!push_digit(significand, static_cast<unsigned>(*p - '0'))) {
        overflowed = true;
        break;
      }
    }
    // Integer digits past the significand are dropped, each raising the exponent.
    for (; p != end && is_digit(*p); ++p) ++exponent;
    length = static_cast<std::size_t>(p - first);
  } else {
    return fail_at(offset_past(p), json_fault::kInvalidNumber);
  }
  if (p != end && (*p == '.' || *p == 'e' || *p == 'E')) {
    return scan_fraction_and_exponent(p, negative, significand, overflowed, length, exponent, out);
  }
  pos_ = static_cast<std::size_t>(p - data_);
  if (!overflowed) {
    if (!negative) {
      out.cls = NumberClass::Unsigned;
      out.u = significand;
      return true;
    }
    if (significand != 0 && significand <= (uint64_t{1} << 63)) {
      out.cls = NumberClass::Signed;
      out.i = static_cast<int64_t>(0 - significand);  // modular: -2^63 stays exact
      return true;
    }
  }
  return finish_float(negative, significand, exponent, out);
}

inline bool JsonScanner::read_short_decimal(const char* p, bool negative, JsonNumber& out) {
  using namespace json_number_detail;
  if constexpr (std::endian::native == std::endian::little) {
    // Seven bytes or fewer, the point included, as most prices and
    // quantities are: the digits on both sides of the point are joined in
    // one word and read at once, which gives the significand below.
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t non_digits = non_digit_bytes(w);
    const uint64_t past_point = non_digits & (non_digits - 1);
    const auto point = static_cast<unsigned>(std::countr_zero(non_digits)) >> 3;
    if (past_point != 0 && point != 0 && p[point] == '.' && (p[0] != '0' || point == 1)) {
      const auto end = static_cast<unsigned>(std::countr_zero(past_point)) >> 3;
      if (end > point + 1 && p[end] != 'e' && p[end] != 'E') {
        const uint64_t whole_bytes = w & ((uint64_t{1} << (8 * point)) - 1);
        const uint64_t digits = whole_bytes | ((w >> (8 * (point + 1))) << (8 * point));
        const unsigned fraction_digits = end - point - 1;
        const double magnitude =
            static_cast<double>(digits_value(digits, end - 1)) / kPow10[fraction_digits];
        pos_ = static_cast<std::size_t>(p + end - data_);
        out.cls = NumberClass::Float;
        out.d = negative ? -magnitude : magnitude;
        return true;
      }
    }
  }
  uint64_t whole = 0;
  const unsigned whole_digits = eight_digit_prefix(p, whole);
  if (whole_digits == 0) return false;
  if (p[0] == '0' && whole_digits > 1) return false;  // a leading zero is a fault
  if (whole_digits == 8 || p[whole_digits] != '.') return read_short_integer(p, negative, out);
  uint64_t fraction = 0;
  const char* const fraction_begin = p + whole_digits + 1;
  const unsigned fraction_digits = eight_digit_prefix(fraction_begin, fraction);
  const char* const after = fraction_begin + fraction_digits;
  if (fraction_digits == 0 || fraction_digits == 8 || *after == 'e' || *after == 'E') return false;
  // At most 14 digits: the significand and the one division of the general
  // conversion, without its range checks. It must give the general path's
  // double to the bit (scan_any_number is kept callable to test that), so
  // it divides too; no shortcut that rounds differently.
  const uint64_t significand = whole * kPow10Int[fraction_digits] + fraction;
  const double magnitude = static_cast<double>(significand) / kPow10[fraction_digits];
  pos_ = static_cast<std::size_t>(after - data_);
  out.cls = NumberClass::Float;
  out.d = negative ? -magnitude : magnitude;
  return true;
}

inline bool JsonScanner::read_short_integer(const char* p, bool negative, JsonNumber& out) {
  using namespace json_number_detail;
  uint64_t value = 0;
  unsigned digits = eight_digit_prefix(p, value);
  if (digits == 8) {
    uint64_t more = 0;
    const unsigned more_digits = eight_digit_prefix(p + 8, more);
    if (more_digits == 8) return false;
    value = value * kPow10Int[more_digits] + more;
    digits += more_digits;
  }
  const char after = p[digits];
  if (after == '.' || after == 'e' || after == 'E') return false;
  // At most 15 digits: no overflow, and the classes scan_any_number gives.
  if (negative && value == 0) return false;  // -0 is a float
  pos_ = static_cast<std::size_t>(p + digits - data_);
  if (negative) {
    out.cls = NumberClass::Signed;
    out.i = -static_cast<int64_t>(value);
  } else {
    out.cls = NumberClass::Unsigned;
    out.u = value;
  }
  return true;
}

inline bool JsonScanner::finish_float(bool negative, uint64_t significand, int64_t exponent,
                                      JsonNumber& out) {
  double magnitude;
  if (!json_number_detail::decimal_to_double(significand, exponent, magnitude)) {
    return fail_at(pos_, json_fault::kOutOfRange);
  }
  out.cls = NumberClass::Float;
  out.d = negative ? -magnitude : magnitude;  // the sign comes last: -0 stays negative
  return true;
}

inline bool JsonScanner::scan_fraction_and_exponent(const char* p, bool negative,
                                                    uint64_t significand, bool overflowed,
                                                    std::size_t length, int64_t exponent,
                                                    JsonNumber& out) {
  using namespace json_number_detail;
  const char* const end = data_ + size_;
  if (*p == '.') {
    if (++p == end) return fail_eof(json_fault::kEofValue);
    if (!is_digit(*p)) return fail_at(offset_past(p), json_fault::kInvalidNumber);
    // Once one digit has overflowed the significand, no later digit is tried.
    if (!overflowed) {
      const char* const first = p;
      append_digits_fast(p, end, significand, length);
      exponent -= p - first;
    }
    for (; !overflowed && p != end && is_digit(*p); ++p) {
      if (!push_digit(significand, static_cast<unsigned>(*p - '0'))) break;
      --exponent;
    }
    for (; p != end && is_digit(*p); ++p) {
    }
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    if (++p == end) return fail_eof(json_fault::kEofValue);
    const bool exponent_negative = *p == '-';
    if ((*p == '+' || *p == '-') && ++p == end) return fail_eof(json_fault::kEofValue);
    if (!is_digit(*p)) return fail_at(offset_past(p), json_fault::kInvalidNumber);
    int64_t written = 0;
    for (; p != end && is_digit(*p); ++p) {
      written = written * 10 + (*p - '0');
      if (written <= INT32_MAX) continue;
      // The written exponent leaves the 32-bit range at this digit: the
      // number is out of range there (fault at this very digit), or zero
      // with its sign, whatever the digits before said. Both are answers
      // callers see, so this stays as it is.
      if (!exponent_negative && significand != 0) {
        return fail_at(offset_past(p), json_fault::kOutOfRange);
      }
      for (++p; p != end && is_digit(*p); ++p) {
      }
      pos_ = static_cast<std::size_t>(p - data_);
      out.cls = NumberClass::Float;
      out.d = negative ? -0.0 : 0.0;
      return true;
    }
    exponent += exponent_negative ? -written : written;
  }
  pos_ = static_cast<std::size_t>(p - data_);
  return finish_float(negative, significand, exponent, out);
}

// Checks the one value at the scanner's position (whitespace first) and moves
// past it, within the scanner's nesting budget; false on a fault, which the
// scanner then holds.
[[nodiscard]] bool skip_json_value(JsonScanner& scan);

}  // namespace xray
