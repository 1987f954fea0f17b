// src/json/json_writer.h: the one JSON string writer, the one double formatter
// and the one integer writer.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace xray {

// Appends text as a JSON string: quotation marks around it, '"', '\\' and
// bytes 0x00-0x1F escaped, every other byte (non-ASCII UTF-8 included) copied.
void write_json_string(std::string_view text, std::string& out);

// Longest text format_double can produce ("-1.7976931348623157e+308" is 24).
inline constexpr std::size_t kDoubleTextMax = 32;

// Writes a finite double by the number rule into buf (at least
// kDoubleTextMax bytes) and returns the number of bytes written.
std::size_t format_double_to(double value, char* buf);

// The number rule as a string: shortest round-trip digits, positional form
// with ".0" on integral values for decimal exponents -5..15, else exponent form.
[[nodiscard]] std::string format_double(double value);

// Appends a double by the number rule, or null when it is not finite.
void append_number(double value, std::string& out);

// Longest integer text: "-9223372036854775808" is 20 bytes.
inline constexpr std::size_t kIntegerTextMax = 20;

// Writes value in decimal, '-' first when negative, at out (at least
// kIntegerTextMax bytes) and returns the end of the text. Inline: frames
// write a timestamp per row.
inline char* write_json_integer(int64_t value, char* out) {
  return std::to_chars(out, out + kIntegerTextMax, value).ptr;
}
inline char* write_json_integer(uint64_t value, char* out) {
  return std::to_chars(out, out + kIntegerTextMax, value).ptr;
}

// Appends value as write_json_integer writes it.
void append_i64(int64_t value, std::string& out);
void append_u64(uint64_t value, std::string& out);

}  // namespace xray
