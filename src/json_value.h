// src/json_value.h: the parsed form of a command text.
#pragma once

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

// One value of a JsonDocument. Trivially copyable handle-sized node; what it
// points to (elements, members, long strings) is owned by the document.
class JsonValue {
 public:
  JsonKind kind() const;
  bool is_null() const { return kind() == JsonKind::Null; }
  bool is_bool() const { return kind() == JsonKind::Bool; }
  bool is_number() const { return kind() == JsonKind::Number; }
  bool is_string() const { return kind() == JsonKind::String; }
  bool is_array() const { return kind() == JsonKind::Array; }
  bool is_object() const { return kind() == JsonKind::Object; }

  bool as_bool() const;
  JsonNumber as_number() const;
  std::string_view as_string() const;
  // Array elements in document order.
  std::span<const JsonValue> elements() const;
  // Object members in ascending byte order of their names, each name once
  // (the later of two equal names won).
  std::span<const JsonMember> members() const;
  // The member named name, or nullptr when absent or when this is no object.
  const JsonValue* find(std::string_view name) const;

  // Representation, filled by the reader (json_reader.cpp).
  uint64_t meta_ = 0;     // kind in the low byte, a size above it
  uint64_t payload_ = 0;  // number bits, inline string bytes or a pointer
};

struct JsonMember {
  JsonValue name;   // always a string
  JsonValue value;
  std::string_view key() const { return name.as_string(); }
};

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
