// src/json/json_value.h: the parsed form of a command text.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace xray {

enum class JsonKind : uint8_t { Null, Bool, Number, String, Array, Object };

// Fixed when the number is read: digits only and at most 2^64-1 is Unsigned;
// a minus sign and digits down to -2^63 is Signed (always negative);
// everything else, -0 included, is Float.
enum class NumberClass : uint8_t { Unsigned, Signed, Float };

struct JsonNumber {
  NumberClass cls;
  union {
    uint64_t u;  // Unsigned
    int64_t i;   // Signed
    double d;    // Float
  };
};

struct JsonMember;

// One value of a JsonDocument: a 16-byte node that is trivially copyable.
// What it points to (elements, members, long strings) is owned by the
// document; numbers and strings of up to 14 bytes live in the node itself.
class JsonValue {
 public:
  JsonKind kind() const { return static_cast<JsonKind>(kind_); }
  bool is_null() const { return kind() == JsonKind::Null; }
  bool is_bool() const { return kind() == JsonKind::Bool; }
  bool is_number() const { return kind() == JsonKind::Number; }
  bool is_string() const { return kind() == JsonKind::String; }
  bool is_array() const { return kind() == JsonKind::Array; }
  bool is_object() const { return kind() == JsonKind::Object; }

  // Each accessor expects its kind; on another kind it gives false, a zero
  // Unsigned number, an empty text or an empty span.
  bool as_bool() const { return is_bool() && tag_ != 0; }
  JsonNumber as_number() const;
  std::string_view as_string() const;
  // Array elements in document order.
  std::span<const JsonValue> elements() const;
  // Object members in ascending byte order of their names, each name once
  // (the later of two equal names won).
  std::span<const JsonMember> members() const;
  // The member named name, or nullptr when absent or when this is no object.
  const JsonValue* find(std::string_view name) const;

 private:
  friend class JsonTreeBuilder;

  static constexpr std::size_t kInlineBytes = 14;
  static constexpr uint8_t kArenaString = 0xFF;

  std::size_t count() const { return (static_cast<std::size_t>(count_high_) << 32) | count_low_; }
  const char* inline_bytes() const { return reinterpret_cast<const char*>(this) + 2; }
  template <class T>
  const T* pointer() const {
    return reinterpret_cast<const T*>(static_cast<std::uintptr_t>(payload_));
  }

  // Representation, filled by the reader's tree builder. An inline string
  // overlays its bytes on offsets 2..15 (count and payload).
  uint8_t kind_ = 0;         // JsonKind
  uint8_t tag_ = 0;          // boolean, NumberClass, inline string length or kArenaString
  uint16_t count_high_ = 0;  // bits 32..47 of the element, member or byte count
  uint32_t count_low_ = 0;   // bits 0..31 of that count
  uint64_t payload_ = 0;     // number bits, or the address of the document storage
};

struct JsonMember {
  JsonValue name;  // always a string
  JsonValue value;
  std::string_view key() const { return name.as_string(); }
};

static_assert(sizeof(JsonValue) == 16, "nodes stay compact");
static_assert(sizeof(JsonMember) == 2 * sizeof(JsonValue), "members are node pairs");

inline JsonNumber JsonValue::as_number() const {
  JsonNumber n;
  n.cls = is_number() ? static_cast<NumberClass>(tag_) : NumberClass::Unsigned;
  const uint64_t bits = is_number() ? payload_ : 0;
  switch (n.cls) {
    case NumberClass::Unsigned: n.u = bits; break;
    case NumberClass::Signed: n.i = std::bit_cast<int64_t>(bits); break;
    case NumberClass::Float: n.d = std::bit_cast<double>(bits); break;
  }
  return n;
}

inline std::string_view JsonValue::as_string() const {
  if (!is_string()) return {};
  if (tag_ == kArenaString) return {pointer<char>(), count()};
  return {inline_bytes(), tag_};
}

inline std::span<const JsonValue> JsonValue::elements() const {
  if (!is_array()) return {};
  return {pointer<JsonValue>(), count()};
}

inline std::span<const JsonMember> JsonValue::members() const {
  if (!is_object()) return {};
  return {pointer<JsonMember>(), count()};
}

// Owns every node and string of one parsed text. Move-only.
class JsonDocument {
 public:
  JsonDocument();
  JsonDocument(JsonDocument&&) noexcept;
  JsonDocument& operator=(JsonDocument&&) noexcept;
  ~JsonDocument();

  const JsonValue& root() const;
  // Bytes of heap memory the tree holds (for the reader benchmark).
  std::size_t bytes_held() const;

  struct Storage;
  std::unique_ptr<Storage> storage_;
};

}  // namespace xray
