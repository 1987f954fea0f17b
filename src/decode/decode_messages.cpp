// src/decode/decode_messages.cpp: rejection texts of typed decoding.
#include "decode/decode_messages.h"

#include "json/json_writer.h"

namespace xray::decoding {
namespace {

std::string backquoted(std::string_view prefix, std::string_view value) {
  std::string out;
  out.reserve(prefix.size() + value.size() + 3);
  out.append(prefix);
  out.append(" `");
  out.append(value);
  out.push_back('`');
  return out;
}

}  // namespace

std::string describe_found(const ValueSummary& found) {
  switch (found.kind) {
    case JsonKind::Null: return "null";
    case JsonKind::Bool: return backquoted("boolean", found.boolean ? "true" : "false");
    case JsonKind::Number: {
      std::string digits;
      switch (found.number.cls) {
        case NumberClass::Unsigned: append_u64(found.number.u, digits); break;
        case NumberClass::Signed: append_i64(found.number.i, digits); break;
        case NumberClass::Float: return backquoted("floating point", format_double(found.number.d));
      }
      return backquoted("integer", digits);
    }
    case JsonKind::String: {
      // The decoded text as it is: the response escapes it once, later.
      std::string out = "string \"";
      out.append(found.text);
      out.push_back('"');
      return out;
    }
    case JsonKind::Array: return "sequence";
    case JsonKind::Object: return "map";
  }
  return {};
}

std::string invalid_type(const ValueSummary& found, std::string_view expected) {
  std::string out = "invalid type: " + describe_found(found);
  out.append(", expected ");
  out.append(expected);
  return out;
}

std::string invalid_value(const ValueSummary& found, std::string_view expected) {
  std::string out = "invalid value: " + describe_found(found);
  out.append(", expected ");
  out.append(expected);
  return out;
}

std::string invalid_length(uint64_t length, std::string_view expected) {
  std::string out = "invalid length ";
  append_u64(length, out);
  out.append(", expected ");
  out.append(expected);
  return out;
}

std::string missing_field(std::string_view key) { return backquoted("missing field", key); }

std::string duplicate_field(std::string_view key) { return backquoted("duplicate field", key); }

std::string unknown_variant(std::string_view given, std::span<const std::string_view> names) {
  std::string out = backquoted("unknown variant", given);
  out.append(", expected ");
  if (names.size() == 2) {
    out.append("`").append(names[0]).append("` or `").append(names[1]).append("`");
    return out;
  }
  out.append("one of ");
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out.append(", ");
    out.append("`").append(names[i]).append("`");
  }
  return out;
}

std::string record_expectation(std::string_view name) { return "struct " + std::string(name); }

std::string record_length_expectation(std::string_view name, std::size_t fields) {
  std::string out = record_expectation(name);
  out.append(" with ");
  append_u64(fields, out);
  out.append(" elements");
  return out;
}

std::string union_expectation(std::string_view name) {
  return "internally tagged enum " + std::string(name);
}

std::string variant_length_expectation(std::size_t fields) {
  std::string out;
  append_u64(fields, out);
  out.append(fields == 1 ? " element in sequence" : " elements in sequence");
  return out;
}

}  // namespace xray::decoding
