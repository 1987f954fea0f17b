// Canonical dumps of one JSON value, for differential checks: one dump from a
// built tree, one from a JsonLexer walk. Both write members in byte order of
// their names with the later of equal names winning, numbers with their class
// and exact bits, so equal dumps mean equal values.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_lexer.h"

namespace xray::testing {

// Joins texts; used instead of "literal" + std::string, which trips a false
// -Wrestrict warning of g++ 12.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

inline std::string dump_number(const JsonNumber& n) {
  char buf[64];
  switch (n.cls) {
    case NumberClass::Unsigned: std::snprintf(buf, sizeof buf, "u%" PRIu64, n.u); break;
    case NumberClass::Signed: std::snprintf(buf, sizeof buf, "i%" PRId64, n.i); break;
    case NumberClass::Float: std::snprintf(buf, sizeof buf, "f%a", n.d); break;
  }
  return buf;
}

inline std::string dump_string(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b >= 0x7F || c == '"' || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      out += buf;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

inline std::string dump_tree(const JsonValue& v) {
  switch (v.kind()) {
    case JsonKind::Null: return "null";
    case JsonKind::Bool: return v.as_bool() ? "true" : "false";
    case JsonKind::Number: return dump_number(v.as_number());
    case JsonKind::String: return dump_string(v.as_string());
    case JsonKind::Array: {
      std::string out = "[";
      for (const JsonValue& e : v.elements()) out += dump_tree(e) + ",";
      return out + "]";
    }
    case JsonKind::Object: {
      std::string out = "{";
      for (const JsonMember& m : v.members()) {
        out += dump_string(m.key()) + ":" + dump_tree(m.value) + ",";
      }
      return out + "}";
    }
  }
  return "?";
}

// Reads one value with the lexer, as a decoder in the text setting would.
inline Result<std::string> dump_lexer(JsonLexer& lex) {
  Result<ValueStart> start = lex.peek_value();
  if (!start) return start.error();
  switch (*start) {
    case ValueStart::Null: {
      if (Status s = lex.read_null(); !s) return s.error();
      return std::string("null");
    }
    case ValueStart::True:
    case ValueStart::False: {
      Result<bool> b = lex.read_bool();
      if (!b) return b.error();
      return std::string(*b ? "true" : "false");
    }
    case ValueStart::Number: {
      Result<JsonNumber> n = lex.read_number();
      if (!n) return n.error();
      return dump_number(*n);
    }
    case ValueStart::String: {
      Result<std::string_view> s = lex.read_string();
      if (!s) return s.error();
      return dump_string(*s);
    }
    case ValueStart::Array: {
      if (Status s = lex.begin_array(); !s) return s.error();
      std::string out = "[";
      for (bool first = true;; first = false) {
        Result<bool> more = lex.next_element(first);
        if (!more) return more.error();
        if (!*more) break;
        Result<std::string> e = dump_lexer(lex);
        if (!e) return e.error();
        out += *e + ",";
      }
      return out + "]";
    }
    case ValueStart::Object: {
      if (Status s = lex.begin_object(); !s) return s.error();
      std::map<std::string, std::string> members;
      for (bool first = true;; first = false) {
        Result<bool> more = lex.next_member(first);
        if (!more) return more.error();
        if (!*more) break;
        const std::string key(lex.key());
        if (Status s = lex.expect_colon(); !s) return s.error();
        Result<std::string> value = dump_lexer(lex);
        if (!value) return value.error();
        members[key] = *value;
      }
      std::string out = "{";
      for (const auto& [key, value] : members) out += dump_string(key) + ":" + value + ",";
      return out + "}";
    }
  }
  return std::string("?");
}

// The whole text through the lexer: one value, then only whitespace.
inline Result<std::string> dump_text_with_lexer(std::string_view text) {
  JsonLexer lex(text);
  Result<std::string> out = dump_lexer(lex);
  if (!out) return out;
  if (Status s = lex.finish(); !s) return s.error();
  return out;
}

// The whole text through skip_value, then only whitespace.
inline Status skip_text_with_lexer(std::string_view text) {
  JsonLexer lex(text);
  if (Status s = lex.skip_value(); !s) return s;
  return lex.finish();
}

}  // namespace xray::testing
