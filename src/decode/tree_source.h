// src/decode/tree_source.h: a parsed JsonValue as a source of the typed walk.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "decode/decode_messages.h"
#include "json/json_value.h"

namespace xray::decoding {

// Its objects are already in the reader's member order, so the walk's own
// order and the key-ordered view are one and the same.
class TreeSource {
 public:
  using Value = const JsonValue*;
  static constexpr bool kCountsAhead = true;
  static constexpr bool kChecks = false;

  static constexpr bool failed() { return false; }
  static JsonKind kind(const Value& v) { return v->kind(); }
  static ValueSummary summary(const Value& v) {
    ValueSummary s;
    s.kind = v->kind();
    switch (s.kind) {
      case JsonKind::Bool: s.boolean = v->as_bool(); break;
      case JsonKind::Number: s.number = v->as_number(); break;
      case JsonKind::String: s.text = v->as_string(); break;
      default: break;
    }
    return s;
  }
  static std::size_t element_count(const Value& v) { return v->elements().size(); }
  static std::optional<std::size_t> known_element_count(const Value& v) {
    return v->elements().size();
  }
  // Each element took a byte and a separator at least.
  static std::size_t text_bytes(const Value& v) { return 2 * v->elements().size(); }

  // What a walk hands over: a value, or a member's key and value.
  struct Element {
    Value node;
    const Value& value() const { return node; }
  };
  struct Member {
    const JsonMember* member;
    Value node;
    std::string_view key() const { return member->key(); }
    const Value& value() const { return node; }
  };

  // fn(element) for each element in order until fn gives false; true when
  // every element was handed over.
  template <class Fn>
  static bool each_element(const Value& v, Fn&& fn) {
    for (const JsonValue& e : v->elements()) {
      Element element{&e};
      if (!fn(element)) return false;
    }
    return true;
  }
  template <class Fn>
  static bool each_member(const Value& v, Fn&& fn) {
    for (const JsonMember& m : v->members()) {
      Member member{&m, &m.value};
      if (!fn(member)) return false;
    }
    return true;
  }
  template <class Fn>
  static bool each_member_by_key(const Value& v, Fn&& fn) {
    return each_member(v, fn);
  }
};

}  // namespace xray::decoding
