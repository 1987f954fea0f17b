// src/decode/decode_messages.h: every rejection text of typed decoding, and the
// scalar rules both decoding settings share.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "decode/decode_schema.h"
#include "json/json_value.h"

namespace xray::decoding {

// What a decoder met where it wanted a value: the kind, and for scalars their
// content. Containers carry nothing (their found description is just
// "sequence" or "map"). The string view is borrowed from the reader.
struct ValueSummary {
  JsonKind kind = JsonKind::Null;
  bool boolean = false;
  JsonNumber number{NumberClass::Unsigned, {0}};
  std::string_view text;
};

// Expectations that are fixed texts.
inline constexpr std::string_view kExpectString = "a string";
inline constexpr std::string_view kExpectI64 = "i64";
inline constexpr std::string_view kExpectU32 = "u32";
inline constexpr std::string_view kExpectF64 = "f64";
inline constexpr std::string_view kExpectSequence = "a sequence";
inline constexpr std::string_view kExpectPair = "an array of length 2";
inline constexpr std::string_view kExpectEnum = "string or map";
inline constexpr std::string_view kExpectUnit = "unit";
inline constexpr std::string_view kExpectVariantName = "variant identifier";
inline constexpr std::string_view kExpectSingleKey = "map with a single key";
inline constexpr std::string_view kExpectFewer = "fewer elements in array";

// null, boolean `true`, integer `-1`, floating point `60000.0`, string "x",
// sequence, map.
[[nodiscard]] std::string describe_found(const ValueSummary& found);

[[nodiscard]] std::string invalid_type(const ValueSummary& found, std::string_view expected);
[[nodiscard]] std::string invalid_value(const ValueSummary& found, std::string_view expected);
[[nodiscard]] std::string invalid_length(uint64_t length, std::string_view expected);
[[nodiscard]] std::string missing_field(std::string_view key);
[[nodiscard]] std::string duplicate_field(std::string_view key);
// `a` or `b` for two names, one of `a`, `b`, `c` for more.
[[nodiscard]] std::string unknown_variant(std::string_view given,
                                          std::span<const std::string_view> names);

// "struct Trade", "struct Trade with 4 elements", "internally tagged enum
// XrayPanel", "2 elements in sequence" / "1 element in sequence".
[[nodiscard]] std::string record_expectation(std::string_view name);
[[nodiscard]] std::string record_length_expectation(std::string_view name, std::size_t fields);
[[nodiscard]] std::string union_expectation(std::string_view name);
[[nodiscard]] std::string variant_length_expectation(std::size_t fields);

// Index of name in names, if present (exact, case-sensitive).
[[nodiscard]] inline std::optional<std::size_t> find_name(std::span<const std::string_view> names,
                                                          std::string_view name) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (same_text(names[i], name)) return i;
  }
  return std::nullopt;
}

// Scalar targets: accept() converts a fitting value, reject() gives the
// message for one that does not fit. Shared by both settings so that they
// accept the same values and word the same rejections.
template <class T>
struct ScalarRule;

template <>
struct ScalarRule<std::string> {
  static bool accept(const ValueSummary& v, std::string& out) {
    if (v.kind != JsonKind::String) return false;
    out.assign(v.text);
    return true;
  }
  static std::string reject(const ValueSummary& v) { return invalid_type(v, kExpectString); }
};

template <>
struct ScalarRule<int64_t> {
  static bool accept(const ValueSummary& v, int64_t& out) {
    if (v.kind != JsonKind::Number) return false;
    if (v.number.cls == NumberClass::Signed) {
      out = v.number.i;
      return true;
    }
    if (v.number.cls == NumberClass::Unsigned && v.number.u <= uint64_t{INT64_MAX}) {
      out = static_cast<int64_t>(v.number.u);
      return true;
    }
    return false;
  }
  static std::string reject(const ValueSummary& v) {
    // An integer that is merely too large is a wrong value, not a wrong type.
    if (v.kind == JsonKind::Number && v.number.cls == NumberClass::Unsigned) {
      return invalid_value(v, kExpectI64);
    }
    return invalid_type(v, kExpectI64);
  }
};

template <>
struct ScalarRule<std::optional<int64_t>> {
  static bool accept(const ValueSummary& v, std::optional<int64_t>& out) {
    if (v.kind == JsonKind::Null) {
      out.reset();
      return true;
    }
    int64_t n = 0;
    if (!ScalarRule<int64_t>::accept(v, n)) return false;
    out = n;
    return true;
  }
  static std::string reject(const ValueSummary& v) { return ScalarRule<int64_t>::reject(v); }
};

template <>
struct ScalarRule<uint32_t> {
  static bool accept(const ValueSummary& v, uint32_t& out) {
    if (v.kind != JsonKind::Number || v.number.cls != NumberClass::Unsigned) return false;
    if (v.number.u > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v.number.u);
    return true;
  }
  static std::string reject(const ValueSummary& v) {
    // Every integer that does not fit, negative ones included, is a wrong value.
    if (v.kind == JsonKind::Number && v.number.cls != NumberClass::Float) {
      return invalid_value(v, kExpectU32);
    }
    return invalid_type(v, kExpectU32);
  }
};

// Any JSON number is a double: an integer by the nearest double.
inline double number_as_double(const JsonNumber& n) {
  switch (n.cls) {
    case NumberClass::Unsigned: return static_cast<double>(n.u);
    case NumberClass::Signed: return static_cast<double>(n.i);
    case NumberClass::Float: break;
  }
  return n.d;
}

template <>
struct ScalarRule<double> {
  static bool accept(const ValueSummary& v, double& out) {
    if (v.kind != JsonKind::Number) return false;
    out = number_as_double(v.number);
    return true;
  }
  static std::string reject(const ValueSummary& v) { return invalid_type(v, kExpectF64); }
};

// The value of an enumeration's one-member map: only null is a unit.
template <>
struct ScalarRule<std::monostate> {
  static bool accept(const ValueSummary& v, std::monostate&) { return v.kind == JsonKind::Null; }
  static std::string reject(const ValueSummary& v) { return invalid_type(v, kExpectUnit); }
};

template <class T>
concept ScalarTarget = requires(const ValueSummary& v, T& out) {
  { ScalarRule<T>::accept(v, out) } -> std::same_as<bool>;
};

}  // namespace xray::decoding
