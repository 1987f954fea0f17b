// src/decode/decode_schema.h: how a target type of typed decoding is described.
//
// Each record, enumeration and tagged union is described once, as a constexpr
// value in a specialisation of Schema<T>; both decoding settings (walking a
// parsed value, pulling tokens from text) work from that one description.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace xray::decoding {

// One field of a record: its JSON key, where it lives, and whether an absent
// key leaves the record's own initial value in place (a default) or is a
// "missing field".
template <class R, class M>
struct Field {
  std::string_view key;
  M R::*member;
  bool has_default;
};

template <class R, class M>
constexpr Field<R, M> required(std::string_view key, M R::*member) {
  return {key, member, false};
}

// The default is whatever the record's value-initialisation gives the member.
template <class R, class M>
constexpr Field<R, M> defaulted(std::string_view key, M R::*member) {
  return {key, member, true};
}

// A record: object of named fields, or array of the field values in
// declaration order. The name appears in "struct <name>".
template <class R, class... M>
struct Record {
  std::string_view name;
  std::tuple<Field<R, M>...> fields;
  static constexpr std::size_t kFieldCount = sizeof...(M);
  static_assert(kFieldCount <= 64, "fields are tracked in a 64-bit mask");
};

template <class R, class... M>
constexpr Record<R, M...> record(std::string_view name, Field<R, M>... fields) {
  return {name, {fields...}};
}

// An enumeration stored as its code: names[i] is the variant with code i.
template <class E, std::size_t N>
struct Enumeration {
  std::array<std::string_view, N> names;
};

template <class E, class... Names>
constexpr Enumeration<E, sizeof...(Names)> enumeration(Names... names) {
  return {{std::string_view(names)...}};
}

// A tagged union whose tag is a member of the same object as the variant's
// fields. Alternative i of the std::variant behind `member` is named names[i]
// and is itself described as a record.
template <class U, class V, std::size_t N>
struct TaggedUnion {
  std::string_view name;
  std::string_view tag;
  V U::*member;
  std::array<std::string_view, N> names;
  static_assert(std::variant_size_v<V> == N, "one name per alternative");
};

template <class U, class V, class... Names>
constexpr TaggedUnion<U, V, sizeof...(Names)> tagged_union(std::string_view name,
                                                           std::string_view tag, V U::*member,
                                                           Names... names) {
  return {name, tag, member, {std::string_view(names)...}};
}

// Two doubles written as [first, second].
template <class R>
struct DoublePair {
  double R::*first;
  double R::*second;
};

template <class R>
constexpr DoublePair<R> double_pair(double R::*first, double R::*second) {
  return {first, second};
}

// Specialise with `static constexpr auto desc = record<...>(...)` (or
// enumeration, tagged_union, double_pair).
template <class T>
struct Schema;

template <class D>
struct IsRecord : std::false_type {};
template <class R, class... M>
struct IsRecord<Record<R, M...>> : std::true_type {};
template <class D>
struct IsEnumeration : std::false_type {};
template <class E, std::size_t N>
struct IsEnumeration<Enumeration<E, N>> : std::true_type {};
template <class D>
struct IsTaggedUnion : std::false_type {};
template <class U, class V, std::size_t N>
struct IsTaggedUnion<TaggedUnion<U, V, N>> : std::true_type {};
template <class D>
struct IsDoublePair : std::false_type {};
template <class R>
struct IsDoublePair<DoublePair<R>> : std::true_type {};

template <class T>
using DescOf = std::remove_cvref_t<decltype(Schema<T>::desc)>;

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

inline constexpr std::size_t kNoField = ~std::size_t{0};

// Keys and names are short; comparing them inline beats a library call on
// the per-member path.
inline bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Index of the field with this key, or kNoField.
template <class R, class... M>
[[gnu::always_inline]] inline std::size_t field_index(const Record<R, M...>& rec,
                                                      std::string_view key) {
  std::size_t found = kNoField;
  std::size_t i = 0;
  std::apply(
      [&](const auto&... f) {
        ((found == kNoField && same_text(f.key, key) ? (found = i, ++i) : ++i), ...);
      },
      rec.fields);
  return found;
}

// Calls fn(field) for field number index; returns what fn returns.
template <class R, class... M, class Fn>
bool with_field(const Record<R, M...>& rec, std::size_t index, Fn&& fn) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    bool ok = true;
    (void)((index == I ? (ok = fn(std::get<I>(rec.fields)), true) : false) || ...);
    return ok;
  }
  (std::index_sequence_for<M...>{});
}

// The first field without a default that seen (bit i = field i present) lacks,
// counting from field `from`; kNoField when every such field is present.
template <class R, class... M>
std::size_t first_missing(const Record<R, M...>& rec, uint64_t seen, std::size_t from = 0) {
  std::size_t missing = kNoField;
  std::size_t i = 0;
  std::apply(
      [&](const auto&... f) {
        ((missing == kNoField && i >= from && !f.has_default && (seen >> i & 1u) == 0
              ? (missing = i, ++i)
              : ++i),
         ...);
      },
      rec.fields);
  return missing;
}

template <class R, class... M>
std::string_view field_key(const Record<R, M...>& rec, std::size_t index) {
  std::string_view key;
  with_field(rec, index, [&](const auto& f) {
    key = f.key;
    return true;
  });
  return key;
}

// Makes alternative `index` the active one of v and calls fn(alternative).
template <class V, class Fn>
bool with_alternative(V& v, std::size_t index, Fn&& fn) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    bool ok = true;
    (void)((index == I ? (ok = fn(v.template emplace<I>()), true) : false) || ...);
    return ok;
  }
  (std::make_index_sequence<std::variant_size_v<V>>{});
}

}  // namespace xray::decoding
