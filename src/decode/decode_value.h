// src/decode/decode_value.h: the value setting of typed decoding.
//
// Walks a value whose objects present their members in ascending byte order
// of the keys, each key once (the later of repeated keys won), and decodes it
// by the target type's Schema. Messages carry no position.
//
// The walk is written once over a Source, so that a parsed JsonValue and the
// byte spans of an already checked text (the fast dataset path) decode with
// exactly the same rules. A Source provides:
//   using Value;                                       // cheap handle
//   static constexpr bool kCountsAhead;  // element_count is worth calling
//   JsonKind kind(const Value&);
//   ValueSummary summary(const Value&);                // strings decoded
//   std::size_t element_count(const Value&);  // of an array (when kCountsAhead)
//   std::optional<std::size_t> known_element_count(const Value&);
//       // the same when it costs nothing, else nullopt
//   std::size_t text_bytes(const Value&);  // of a walked array, or a lower bound
//   bool each_element(const Value&, std::size_t& count, Fn fn);
//       // fn(index, element) -> bool for every element in order, stops at
//       // the first false; count receives the number of elements
//   std::size_t member_count(const Value&);            // of an object
//   bool each_member(const Value&, Fn fn);
//       // fn(key, value) -> bool in ascending key order, stops at first false
//   void each_member_in_order(const Value&, Fn fn);
//       // fn(key, value) for every member in an order in which the last of
//       // repeated keys comes last (document order, or ascending key order)
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "decode/decode_messages.h"
#include "decode/decode_schema.h"
#include "core/errors.h"
#include "json/json_value.h"

namespace xray::decoding {

// Lists of unknown length start in this many reused slots.
inline constexpr std::size_t kScratchLength = 64;

// A reused list of T for this thread, or a list of its own when the reused
// one is taken (a list nested in a list of the same type). Left empty.
template <class T>
class ScratchList {
 public:
  ScratchList() : shared_(!taken()) {
    if (shared_) taken() = true;
  }
  ~ScratchList() {
    items().clear();
    if (shared_) taken() = false;
  }
  ScratchList(const ScratchList&) = delete;
  ScratchList& operator=(const ScratchList&) = delete;

  std::vector<T>& items() { return shared_ ? reused() : own_; }

 private:
  static std::vector<T>& reused() {
    thread_local std::vector<T> items = [] {
      std::vector<T> v;
      v.reserve(kScratchLength);
      return v;
    }();
    return items;
  }
  static bool& taken() {
    thread_local bool flag = false;
    return flag;
  }

  bool shared_;
  std::vector<T> own_;
};

template <class Source>
class ValueDecoder {
 public:
  using Value = typename Source::Value;

  explicit ValueDecoder(Source& source) : source_(source) {}

  // Decodes v into out; false after the first rejection, which error() holds.
  template <class T>
  [[nodiscard]] bool decode(const Value& v, T& out) {
    if constexpr (ScalarTarget<T>) {
      const ValueSummary s = source_.summary(v);
      if (ScalarRule<T>::accept(s, out)) return true;
      return fail(ScalarRule<T>::reject(s));
    } else if constexpr (IsVector<T>::value) {
      return list(v, out);
    } else {
      constexpr auto& desc = Schema<T>::desc;
      using D = DescOf<T>;
      if constexpr (IsRecord<D>::value) {
        return record(v, desc, out);
      } else if constexpr (IsEnumeration<D>::value) {
        return enumeration(v, desc, out);
      } else if constexpr (IsTaggedUnion<D>::value) {
        return tagged_union(v, desc, out);
      } else {
        static_assert(IsDoublePair<D>::value, "no decoding rule for this type");
        return pair(v, desc, out);
      }
    }
  }

  XrayError& error() { return error_; }

 private:
  bool fail(std::string message) {
    error_ = XrayError::parse(std::move(message));
    return false;
  }

  bool fail_type(const Value& v, std::string_view expected) {
    return fail(invalid_type(source_.summary(v), expected));
  }

  // A list is allocated once, at its length. When the source cannot tell the
  // length yet, the first elements go to a small reused list: a list that
  // ends there is moved out at its size, a longer one is counted (the source
  // walks it once more) and allocated at its length, or grows when the
  // source cannot count ahead.
  template <class T>
  bool list(const Value& v, std::vector<T>& out) {
    if (source_.kind(v) != JsonKind::Array) return fail_type(v, kExpectSequence);
    std::size_t count = 0;
    if (const std::optional<std::size_t> known = source_.known_element_count(v)) {
      out.reserve(reservation<T>(v, *known));
      return source_.each_element(v, count, [&](std::size_t, const Value& element) {
        return decode(element, out.emplace_back());
      });
    }
    ScratchList<T> scratch;
    std::vector<T>& first = scratch.items();
    const bool ok = source_.each_element(v, count, [&](std::size_t i, const Value& element) {
      if (i < kScratchLength) return decode(element, first.emplace_back());
      if (i == kScratchLength) move_all(first, out, capacity_past_scratch<T>(v));
      return decode(element, out.emplace_back());
    });
    if (ok && count <= kScratchLength) move_all(first, out, first.size());
    return ok;
  }

  // Room for count elements, but never more than four bytes of element per
  // byte of the list's text: every element that can decode takes at least a
  // quarter of its size in text, so only a list that is bound to fail (many
  // tiny wrong elements) is held to less, and cannot claim memory out of
  // proportion to its text.
  template <class T>
  std::size_t reservation(const Value& v, std::size_t count) {
    return std::min(count, source_.text_bytes(v) / sizeof(T) * 4 + 1);
  }

  // A source that can count the list (by skipping it) gets it allocated
  // once; otherwise it grows from twice the scratch length.
  template <class T>
  std::size_t capacity_past_scratch(const Value& v) {
    if constexpr (Source::kCountsAhead) {
      return reservation<T>(v, source_.element_count(v));
    } else {
      return 2 * kScratchLength;
    }
  }

  template <class T>
  static void move_all(std::vector<T>& from, std::vector<T>& to, std::size_t capacity) {
    to.reserve(capacity);
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
    from.clear();
  }

  template <class R, class... M>
  bool record(const Value& v, const Record<R, M...>& rec, R& out) {
    switch (source_.kind(v)) {
      case JsonKind::Object: return record_members(v, rec, out, std::string_view());
      case JsonKind::Array: return record_elements(v, rec, out, 0);
      default: return fail_type(v, record_expectation(rec.name));
    }
  }

  // Object form; a member named skip_key (the tag of a union) is passed over.
  //
  // Members may come in any order and repeat (the source says which comes
  // last). Every field decodes on its own, so each keeps its own rejection
  // and the one whose key sorts first is reported: the same outcome as
  // handling the members in key order and stopping at the first rejection.
  // A repeated key starts its field afresh, so the last one wins.
  template <class R, class... M>
  bool record_members(const Value& v, const Record<R, M...>& rec, R& out,
                      std::string_view skip_key) {
    uint64_t seen = 0;
    std::vector<FieldError> errors;  // allocated only when a field fails
    source_.each_member_in_order(v, [&](std::string_view key, const Value& value) {
      const std::size_t i = field_index(rec, key);
      if (i == kNoField || (!skip_key.empty() && key == skip_key)) return;
      const uint64_t bit = uint64_t{1} << i;
      with_field(rec, i, [&](const auto& f) {
        if ((seen & bit) != 0) {
          out.*(f.member) = R{}.*(f.member);
          std::erase_if(errors, [&](const FieldError& e) { return e.field == i; });
        }
        if (!decode(value, out.*(f.member))) errors.push_back({i, f.key, std::move(error_)});
        return true;
      });
      seen |= bit;
    });
    if (!errors.empty()) {
      auto first = errors.begin();
      for (auto it = errors.begin(); it != errors.end(); ++it) {
        if (it->key < first->key) first = it;
      }
      error_ = std::move(first->error);
      return false;
    }
    const std::size_t missing = first_missing(rec, seen);
    if (missing != kNoField) return fail(missing_field(field_key(rec, missing)));
    return true;
  }

  struct FieldError {
    std::size_t field;
    std::string_view key;  // the field's key in the description
    XrayError error;
  };

  // Array form: elements from index `offset` on are the field values in
  // declaration order. Fields are decoded first, the length judged after.
  template <class R, class... M>
  bool record_elements(const Value& v, const Record<R, M...>& rec, R& out, std::size_t offset) {
    constexpr std::size_t kFields = sizeof...(M);
    std::size_t count = 0;
    const bool ok = source_.each_element(v, count, [&](std::size_t index, const Value& element) {
      if (index < offset || index - offset >= kFields) return true;
      return with_field(rec, index - offset,
                        [&](const auto& f) { return decode(element, out.*(f.member)); });
    });
    if (!ok) return false;
    const std::size_t given = count - offset;
    if (given > kFields) return fail(invalid_length(count, kExpectFewer));
    const uint64_t reached = given >= 64 ? ~uint64_t{0} : (uint64_t{1} << given) - 1;
    const std::size_t missing = first_missing(rec, reached);
    if (missing != kNoField) {
      return fail(invalid_length(missing, record_length_expectation(rec.name, kFields)));
    }
    return true;
  }

  template <class E, std::size_t N>
  bool enumeration(const Value& v, const Enumeration<E, N>& en, E& out) {
    const JsonKind kind = source_.kind(v);
    if (kind == JsonKind::String) {
      const ValueSummary s = source_.summary(v);
      const std::optional<std::size_t> code = find_name(en.names, s.text);
      if (!code) return fail(unknown_variant(s.text, en.names));
      out = static_cast<E>(*code);
      return true;
    }
    if (kind != JsonKind::Object) return fail_type(v, kExpectEnum);
    if (source_.member_count(v) != 1) {
      return fail(invalid_value(source_.summary(v), kExpectSingleKey));
    }
    return source_.each_member(v, [&](std::string_view key, const Value& value) {
      const std::optional<std::size_t> code = find_name(en.names, key);
      if (!code) return fail(unknown_variant(key, en.names));
      if (source_.kind(value) != JsonKind::Null) return fail_type(value, kExpectUnit);
      out = static_cast<E>(*code);
      return true;
    });
  }

  // The tag's value: a string naming one of the variants.
  template <class U, class V, std::size_t N>
  bool variant_index(const Value& tag, const TaggedUnion<U, V, N>& un, std::size_t& index) {
    if (source_.kind(tag) != JsonKind::String) return fail_type(tag, kExpectVariantName);
    const ValueSummary s = source_.summary(tag);
    const std::optional<std::size_t> found = find_name(un.names, s.text);
    if (!found) return fail(unknown_variant(s.text, un.names));
    index = *found;
    return true;
  }

  template <class U, class V, std::size_t N>
  bool tagged_union(const Value& v, const TaggedUnion<U, V, N>& un, U& out) {
    const JsonKind kind = source_.kind(v);
    if (kind == JsonKind::Object) return union_members(v, un, out);
    if (kind == JsonKind::Array) return union_elements(v, un, out);
    return fail_type(v, union_expectation(un.name));
  }

  // The tag is examined first; the other members are decoded as the chosen
  // variant's record once the whole object is known.
  template <class U, class V, std::size_t N>
  bool union_members(const Value& v, const TaggedUnion<U, V, N>& un, U& out) {
    std::optional<Value> tag;
    (void)source_.each_member(v, [&](std::string_view key, const Value& value) {
      if (key != un.tag) return true;
      tag = value;
      return false;
    });
    if (!tag) return fail(missing_field(un.tag));
    std::size_t index = 0;
    if (!variant_index(*tag, un, index)) return false;
    return with_alternative(out.*(un.member), index, [&](auto& alt) {
      using Alt = std::remove_cvref_t<decltype(alt)>;
      return record_members(v, Schema<Alt>::desc, alt, un.tag);
    });
  }

  // [tag, field values...]; values the array does not reach keep their
  // defaults, surplus values are counted after the fields decoded.
  template <class U, class V, std::size_t N>
  bool union_elements(const Value& v, const TaggedUnion<U, V, N>& un, U& out) {
    V& variant = out.*(un.member);
    std::size_t field_count = 0;
    std::size_t count = 0;
    const bool ok = source_.each_element(v, count, [&](std::size_t index, const Value& element) {
      if (index == 0) {
        std::size_t alt_index = 0;
        if (!variant_index(element, un, alt_index)) return false;
        return with_alternative(variant, alt_index, [&](auto& alt) {
          field_count = DescOf<std::remove_cvref_t<decltype(alt)>>::kFieldCount;
          return true;
        });
      }
      if (index > field_count) return true;
      return std::visit(
          [&](auto& alt) {
            constexpr auto& rec = Schema<std::remove_cvref_t<decltype(alt)>>::desc;
            return with_field(rec, index - 1,
                              [&](const auto& f) { return decode(element, alt.*(f.member)); });
          },
          variant);
    });
    if (!ok) return false;
    if (count == 0) return fail(missing_field(un.tag));
    if (count - 1 > field_count) {
      return fail(invalid_length(count - 1, variant_length_expectation(field_count)));
    }
    // Every variant field has a default in the unions we describe; a required
    // one the array does not reach is reported like a short record.
    return std::visit(
        [&](auto& alt) {
          constexpr auto& rec = Schema<std::remove_cvref_t<decltype(alt)>>::desc;
          const std::size_t given = count - 1;
          const uint64_t reached = given >= 64 ? ~uint64_t{0} : (uint64_t{1} << given) - 1;
          const std::size_t missing = first_missing(rec, reached);
          if (missing == kNoField) return true;
          return fail(invalid_length(missing, variant_length_expectation(field_count)));
        },
        variant);
  }

  template <class R>
  bool pair(const Value& v, const DoublePair<R>& desc, R& out) {
    if (source_.kind(v) != JsonKind::Array) return fail_type(v, kExpectPair);
    std::size_t count = 0;
    const bool ok = source_.each_element(v, count, [&](std::size_t index, const Value& element) {
      if (index == 0) return decode(element, out.*(desc.first));
      if (index == 1) return decode(element, out.*(desc.second));
      return true;
    });
    if (!ok) return false;
    if (count < 2) return fail(invalid_length(count, kExpectPair));
    if (count > 2) return fail(invalid_length(count, kExpectFewer));
    return true;
  }

  Source& source_;
  XrayError error_{ErrorKind::Parse, {}};
};

// A parsed JsonValue as a Source: its objects are already ordered maps.
class TreeSource {
 public:
  using Value = const JsonValue*;
  static constexpr bool kCountsAhead = true;

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
  template <class Fn>
  static bool each_element(const Value& v, std::size_t& count, Fn&& fn) {
    const std::span<const JsonValue> elements = v->elements();
    count = elements.size();
    for (std::size_t i = 0; i < elements.size(); ++i) {
      if (!fn(i, &elements[i])) return false;
    }
    return true;
  }
  static std::size_t member_count(const Value& v) { return v->members().size(); }
  template <class Fn>
  static bool each_member(const Value& v, Fn&& fn) {
    for (const JsonMember& m : v->members()) {
      if (!fn(m.key(), &m.value)) return false;
    }
    return true;
  }
  template <class Fn>
  static void each_member_in_order(const Value& v, Fn&& fn) {
    for (const JsonMember& m : v->members()) fn(m.key(), &m.value);
  }
};

// Decodes a parsed value as T in the value setting.
template <class T>
[[nodiscard]] Result<T> decode_from_value(const JsonValue& value) {
  TreeSource source;
  ValueDecoder<TreeSource> decoder(source);
  T out{};
  if (!decoder.decode(&value, out)) return std::move(decoder.error());
  return out;
}

}  // namespace xray::decoding
