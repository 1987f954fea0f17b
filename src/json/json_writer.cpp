// src/json/json_writer.cpp: string escaping and the number rule.
#include "json/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace xray {
namespace {

// Escape text for every byte that needs one; 0 marks a byte copied as is.
struct EscapeTable {
  char code[256] = {};
  constexpr EscapeTable() {
    for (int b = 0; b < 0x20; ++b) code[b] = 'u';
    set('"', '"');
    set('\\', '\\');
    set('\b', 'b');
    set('\t', 't');
    set('\n', 'n');
    set('\f', 'f');
    set('\r', 'r');
  }
  constexpr void set(char byte, char escape) { code[static_cast<unsigned char>(byte)] = escape; }
};
constexpr EscapeTable kEscapes;

}  // namespace

void write_json_string(std::string_view text, std::string& out) {
  out.push_back('"');
  const char* run = text.data();
  const char* end = text.data() + text.size();
  for (const char* p = run; p != end; ++p) {
    const char code = kEscapes.code[static_cast<unsigned char>(*p)];
    if (code == 0) continue;
    out.append(run, static_cast<std::size_t>(p - run));
    run = p + 1;
    if (code == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      const auto b = static_cast<unsigned char>(*p);
      const char escaped[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 15]};
      out.append(escaped, 6);
    } else {
      const char escaped[2] = {'\\', code};
      out.append(escaped, 2);
    }
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out.push_back('"');
}

std::size_t format_double_to(double value, char* buf) {
  char* out = buf;
  if (std::signbit(value)) *out++ = '-';
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0) {
    std::memcpy(out, "0.0", 3);
    return static_cast<std::size_t>(out + 3 - buf);
  }
  // Shortest round-trip digits in the form d[.ddd]e(+|-)x.
  char sci[kDoubleTextMax];
  const auto res = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
  const char* sci_end = res.ptr;
  char digits[20];
  int n = 0;
  const char* p = sci;
  for (; p != sci_end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;  // past 'e'
  const bool negative_exp = *p == '-';
  ++p;
  int e = 0;
  for (; p != sci_end; ++p) e = e * 10 + (*p - '0');
  if (negative_exp) e = -e;

  if (e >= -5 && e <= 15) {
    if (e >= n - 1) {
      std::memcpy(out, digits, static_cast<std::size_t>(n));
      out += n;
      for (int i = 0; i < e - n + 1; ++i) *out++ = '0';
      *out++ = '.';
      *out++ = '0';
    } else if (e >= 0) {
      std::memcpy(out, digits, static_cast<std::size_t>(e) + 1);
      out += e + 1;
      *out++ = '.';
      std::memcpy(out, digits + e + 1, static_cast<std::size_t>(n - e - 1));
      out += n - e - 1;
    } else {
      *out++ = '0';
      *out++ = '.';
      for (int i = 0; i < -e - 1; ++i) *out++ = '0';
      std::memcpy(out, digits, static_cast<std::size_t>(n));
      out += n;
    }
  } else {
    *out++ = digits[0];
    if (n > 1) {
      *out++ = '.';
      std::memcpy(out, digits + 1, static_cast<std::size_t>(n - 1));
      out += n - 1;
    }
    *out++ = 'e';
    *out++ = e < 0 ? '-' : '+';
    out = std::to_chars(out, out + 4, e < 0 ? -e : e).ptr;
  }
  return static_cast<std::size_t>(out - buf);
}

std::string format_double(double value) {
  char buf[kDoubleTextMax];
  return std::string(buf, format_double_to(value, buf));
}

void append_number(double value, std::string& out) {
  if (!std::isfinite(value)) {
    out.append("null", 4);
    return;
  }
  char buf[kDoubleTextMax];
  out.append(buf, format_double_to(value, buf));
}

void append_i64(int64_t value, std::string& out) {
  char buf[kIntegerTextMax];
  out.append(buf, static_cast<std::size_t>(write_json_integer(value, buf) - buf));
}

void append_u64(uint64_t value, std::string& out) {
  char buf[kIntegerTextMax];
  out.append(buf, static_cast<std::size_t>(write_json_integer(value, buf) - buf));
}

}  // namespace xray
