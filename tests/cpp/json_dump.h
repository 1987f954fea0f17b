// tests/cpp/json_dump.h: one text through every reader. Canonical dumps of a
// value (members in byte order of their names, the later of equal names
// winning, numbers with their class and exact bits), one from the tree and
// one from a pull-lexer walk, so equal dumps mean equal values.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "json/json_lexer.h"
#include "json/json_reader.h"
#include "json/json_value.h"

namespace xray::testing {

inline std::string dump_number(const JsonNumber& n) {
  char buf[64];
  if (n.cls == NumberClass::Unsigned) std::snprintf(buf, sizeof buf, "u%" PRIu64, n.u);
  if (n.cls == NumberClass::Signed) std::snprintf(buf, sizeof buf, "i%" PRId64, n.i);
  if (n.cls == NumberClass::Float) std::snprintf(buf, sizeof buf, "f%.13a", n.d);
  return buf;
}

inline std::string dump_string(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", b);
    out += b < 0x20 || b >= 0x7F || c == '"' || c == '\\' ? std::string(buf) : std::string(1, c);
  }
  return out + "\"";
}

inline std::string dump_tree(const JsonValue& v) {
  std::string out;
  switch (v.kind()) {
    case JsonKind::Null: return "null";
    case JsonKind::Bool: return v.as_bool() ? "true" : "false";
    case JsonKind::Number: return dump_number(v.as_number());
    case JsonKind::String: return dump_string(v.as_string());
    case JsonKind::Array:
      for (const JsonValue& e : v.elements()) out += dump_tree(e) + ",";
      return "[" + out + "]";
    case JsonKind::Object:
      for (const JsonMember& m : v.members())
        out += dump_string(m.key()) + ":" + dump_tree(m.value) + ",";
      return "{" + out + "}";
  }
  return "?";
}

// One value through the lexer, as the typed decoder's text setting walks it.
inline Result<std::string> dump_lexer(JsonLexer& lex) {
  Result<ValueStart> start = lex.peek_value();
  if (!start) return start.error();
  const auto text = [](auto r, auto dump) -> Result<std::string> {
    if (!r) return r.error();
    return dump(*r);
  };
  std::string out;
  switch (*start) {
    case ValueStart::Null:
      if (Status s = lex.read_null(); !s) return s.error();
      return std::string("null");
    case ValueStart::True:
    case ValueStart::False:
      return text(lex.read_bool(), [](bool b) { return std::string(b ? "true" : "false"); });
    case ValueStart::Number: return text(lex.read_number(), dump_number);
    case ValueStart::String: return text(lex.read_string(), dump_string);
    case ValueStart::Array:
      if (Status s = lex.begin_array(); !s) return s.error();
      for (bool first = true;; first = false) {
        Result<bool> more = lex.next_element(first);
        if (!more) return more.error();
        if (!*more) return "[" + out + "]";
        Result<std::string> e = dump_lexer(lex);
        if (!e) return e;
        out += *e + ",";
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
        if (!value) return value;
        members[key] = *value;
      }
      for (const auto& [key, value] : members) out += dump_string(key) + ":" + value + ",";
      return "{" + out + "}";
    }
  }
  return std::string("?");
}

// The tree reader, the syntax check, a lexer walk and the lexer's skip_value
// on one whole text. They must agree: the value's dump (also when 16 blanks
// follow, which sends short numbers and strings down their wide paths), or
// "fault: <message>" of one Parse error. Otherwise "disagreement: ...".
inline std::string reader_outcome(std::string_view text) {
  Result<JsonDocument> doc = read_json_value(text);
  const Status checked = check_json_syntax(text);
  JsonLexer walk(text);
  Result<std::string> walked = dump_lexer(walk);
  if (walked) {
    if (Status s = walk.finish(); !s) walked = s.error();
  }
  JsonLexer skip(text);
  Status skipped = skip.skip_value();
  if (skipped) skipped = skip.finish();
  if (doc.ok() != checked.ok() || doc.ok() != walked.ok() || doc.ok() != skipped.ok()) {
    return "disagreement: read " + std::to_string(doc.ok()) + ", check " +
           std::to_string(checked.ok()) + ", walk " + std::to_string(walked.ok()) + ", skip " +
           std::to_string(skipped.ok());
  }
  if (doc) {
    const std::string tree = dump_tree(doc->root());
    Result<JsonDocument> padded = read_json_value(std::string(text) + std::string(16, ' '));
    if (tree != *walked) return "disagreement: tree " + tree + ", walk " + *walked;
    if (!padded || dump_tree(padded->root()) != tree) return "disagreement: padded text";
    return tree;
  }
  const std::string& message = doc.error().message;
  if (doc.error().kind != ErrorKind::Parse || checked.error().message != message ||
      walked.error().message != message || skipped.error().message != message) {
    return "disagreement: read " + message + ", check " + checked.error().message + ", walk " +
           walked.error().message + ", skip " + skipped.error().message;
  }
  return "fault: " + message;
}

}  // namespace xray::testing
