// src/decode/decode_text.h: the text setting of typed decoding.
//
// Pulls tokens from a JsonLexer and decodes them by the target type's Schema:
// members in document order, a repeated field key rejected, every message
// ending in the reader's position suffix. A rejection is reported just past
// the byte at which it was found: a container of the wrong type at its
// opening bracket (nothing inside is read), a scalar after its last byte, a
// missing field or a short array at the closing bracket, a repeated key after
// its closing quotation mark. A tagged union's non-tag members are held back
// and decoded once its "}" has been read, so their rejections sit there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "decode/decode_messages.h"
#include "decode/decode_schema.h"
#include "core/errors.h"
#include "json/json_lexer.h"

namespace xray::decoding {

class TextDecoder {
 public:
  static constexpr std::size_t kNotFixed = ~std::size_t{0};

  // lexer reads `whole` from offset `base` on (base 0: the whole text).
  // With fixed_at set, every rejection of this decoder is reported at that
  // offset of whole instead of where it was found.
  TextDecoder(JsonLexer& lexer, std::string_view whole, std::size_t base = 0,
              std::size_t fixed_at = kNotFixed)
      : lexer_(lexer), whole_(whole), base_(base), fixed_at_(fixed_at) {}

  template <class T>
  [[nodiscard]] bool decode(T& out) {
    if constexpr (ScalarTarget<T>) {
      ValueSummary s;
      std::size_t end = 0;
      if (!read_summary(s, end)) return false;
      if (ScalarRule<T>::accept(s, out)) return true;
      return fail_at(end, ScalarRule<T>::reject(s));
    } else if constexpr (IsVector<T>::value) {
      return list(out);
    } else {
      constexpr auto& desc = Schema<T>::desc;
      using D = DescOf<T>;
      if constexpr (IsRecord<D>::value) {
        return record(desc, out);
      } else if constexpr (IsEnumeration<D>::value) {
        return enumeration(desc, out);
      } else if constexpr (IsTaggedUnion<D>::value) {
        return tagged_union(desc, out);
      } else {
        static_assert(IsDoublePair<D>::value, "no decoding rule for this type");
        return pair(desc, out);
      }
    }
  }

  XrayError& error() { return error_; }

 private:
  // A member held back until its object has been read whole.
  struct Held {
    std::size_t key_begin;  // in keys_
    std::size_t key_size;
    std::size_t value_at;  // offset in the lexer's text, just past the ":"
  };

  // Rejection at offset p of the lexer's text (or at fixed_at_).
  bool fail_at(std::size_t p, std::string message);
  // A fault of the lexer: its own message and position.
  bool fail(XrayError error);
  bool check(Status status) { return status ? true : fail(std::move(status).error()); }
  template <class T>
  bool check(Result<T> result, T& out) {
    if (!result) return fail(std::move(result).error());
    out = *result;
    return true;
  }

  // Whitespace skipped, then the next value's kind: a scalar is read whole,
  // a container is left unread. end is just past the scalar's last byte or
  // just past the container's opening bracket.
  bool read_summary(ValueSummary& s, std::size_t& end);
  // Rejects the next value (read as read_summary does) with invalid_type.
  bool reject_next(std::string_view expected);
  // After the last field of a fixed-length array form: "]" ends it; a
  // further value is "trailing characters"; other faults are the lexer's.
  bool end_fixed_array(bool first);
  // The tag's value: a string naming one of names.
  bool variant_name(std::span<const std::string_view> names, std::size_t& index);
  // Reads an object's remaining members into held_ (key, value offset),
  // values read by the reader's rules but not decoded. The tag key, if not
  // empty, is not held: its value goes to on_tag(). Ends after the "}".
  template <class OnTag>
  bool hold_members(bool first, std::string_view tag, OnTag&& on_tag);
  std::string_view held_key(const Held& h) const {
    return std::string_view(keys_).substr(h.key_begin, h.key_size);
  }
  // A decoder for the held value h whose rejections all sit at offset p.
  template <class T>
  bool decode_held(const Held& h, std::size_t p, T& out) {
    JsonLexer sub(lexer_.text().substr(h.value_at));
    TextDecoder inner(sub, whole_, base_ + h.value_at, fixed_or(p));
    if (inner.decode(out)) return true;
    error_ = std::move(inner.error());
    return false;
  }
  std::size_t fixed_or(std::size_t p) const {
    return fixed_at_ != kNotFixed ? fixed_at_ : base_ + p;
  }

  template <class T>
  bool list(std::vector<T>& out) {
    ValueStart start{};
    if (!check(lexer_.peek_value(), start)) return false;
    if (start != ValueStart::Array) return reject_next(kExpectSequence);
    if (!check(lexer_.begin_array())) return false;
    for (bool first = true;; first = false) {
      bool more = false;
      if (!check(lexer_.next_element(first), more)) return false;
      if (!more) return true;
      if (!decode(out.emplace_back())) return false;
    }
  }

  template <class R, class... M>
  bool record(const Record<R, M...>& rec, R& out) {
    ValueStart start{};
    if (!check(lexer_.peek_value(), start)) return false;
    if (start == ValueStart::Object) return record_members(rec, out);
    if (start == ValueStart::Array) return record_elements(rec, out);
    return reject_next(record_expectation(rec.name));
  }

  template <class R, class... M>
  bool record_members(const Record<R, M...>& rec, R& out) {
    if (!check(lexer_.begin_object())) return false;
    uint64_t seen = 0;
    for (bool first = true;; first = false) {
      bool more = false;
      if (!check(lexer_.next_member(first), more)) return false;
      if (!more) break;
      const std::size_t i = field_index(rec, lexer_.key());
      if (i != kNoField && (seen >> i & 1u) != 0) {
        return fail_at(lexer_.offset(), duplicate_field(lexer_.key()));
      }
      if (!check(lexer_.expect_colon())) return false;
      if (i == kNoField) {
        if (!check(lexer_.skip_value())) return false;
        continue;
      }
      seen |= uint64_t{1} << i;
      if (!with_field(rec, i, [&](const auto& f) { return decode(out.*(f.member)); })) {
        return false;
      }
    }
    const std::size_t missing = first_missing(rec, seen);
    if (missing == kNoField) return true;
    return fail_at(lexer_.offset(), missing_field(field_key(rec, missing)));
  }

  template <class R, class... M>
  bool record_elements(const Record<R, M...>& rec, R& out) {
    constexpr std::size_t kFields = sizeof...(M);
    if (!check(lexer_.begin_array())) return false;
    for (std::size_t i = 0; i < kFields; ++i) {
      bool more = false;
      if (!check(lexer_.next_element(i == 0), more)) return false;
      if (!more) {
        const std::size_t missing = first_missing(rec, (uint64_t{1} << i) - 1);
        if (missing == kNoField) return true;
        return fail_at(lexer_.offset(),
                       invalid_length(missing, record_length_expectation(rec.name, kFields)));
      }
      if (!with_field(rec, i, [&](const auto& f) { return decode(out.*(f.member)); })) {
        return false;
      }
    }
    return end_fixed_array(kFields == 0);
  }

  // A string, or an object read whole and judged at its "}": exactly one
  // member, named after a variant, whose value is null.
  template <class E, std::size_t N>
  bool enumeration(const Enumeration<E, N>& en, E& out) {
    ValueStart start{};
    if (!check(lexer_.peek_value(), start)) return false;
    if (start == ValueStart::String) {
      std::string_view name;
      if (!check(lexer_.read_string(), name)) return false;
      const std::optional<std::size_t> code = find_name(en.names, name);
      if (!code) return fail_at(lexer_.offset(), unknown_variant(name, en.names));
      out = static_cast<E>(*code);
      return true;
    }
    if (start != ValueStart::Object) return reject_next(kExpectEnum);
    if (!check(lexer_.begin_object())) return false;
    const std::size_t held_base = held_.size();
    const std::size_t keys_base = keys_.size();
    const bool ok = hold_members(true, {}, [] { return true; });
    const std::size_t close = lexer_.offset();
    const bool judged = ok && enumeration_member(en, held_base, close, out);
    held_.resize(held_base);
    keys_.resize(keys_base);
    return judged;
  }

  template <class E, std::size_t N>
  bool enumeration_member(const Enumeration<E, N>& en, std::size_t held_base, std::size_t close,
                          E& out) {
    if (held_.size() - held_base != 1) {
      ValueSummary map;
      map.kind = JsonKind::Object;
      return fail_at(close, invalid_value(map, kExpectSingleKey));
    }
    const Held member = held_[held_base];
    const std::optional<std::size_t> code = find_name(en.names, held_key(member));
    if (!code) return fail_at(close, unknown_variant(held_key(member), en.names));
    std::monostate unit;
    if (!decode_held(member, close, unit)) return false;
    out = static_cast<E>(*code);
    return true;
  }

  // Only null is a unit value.
  bool decode(std::monostate&);

  template <class U, class V, std::size_t N>
  bool tagged_union(const TaggedUnion<U, V, N>& un, U& out) {
    ValueStart start{};
    if (!check(lexer_.peek_value(), start)) return false;
    if (start == ValueStart::Object) return union_members(un, out);
    if (start == ValueStart::Array) return union_elements(un, out);
    return reject_next(union_expectation(un.name));
  }

  template <class U, class V, std::size_t N>
  bool union_members(const TaggedUnion<U, V, N>& un, U& out) {
    if (!check(lexer_.begin_object())) return false;
    const std::size_t held_base = held_.size();
    const std::size_t keys_base = keys_.size();
    std::optional<std::size_t> index;
    const bool ok = hold_members(true, un.tag, [&] {
      if (index) return fail_at(lexer_.offset(), duplicate_field(un.tag));
      if (!check(lexer_.expect_colon())) return false;
      std::size_t found = 0;
      if (!variant_name(un.names, found)) return false;
      index = found;
      return true;
    });
    const bool decoded = ok && union_held(un, index, held_base, out);
    held_.resize(held_base);
    keys_.resize(keys_base);
    return decoded;
  }

  // The held members decoded as the chosen variant's record, at the "}".
  template <class U, class V, std::size_t N>
  bool union_held(const TaggedUnion<U, V, N>& un, std::optional<std::size_t> index,
                  std::size_t held_base, U& out) {
    const std::size_t close = lexer_.offset();
    if (!index) return fail_at(close, missing_field(un.tag));
    return with_alternative(out.*(un.member), *index, [&](auto& alt) {
      constexpr auto& rec = Schema<std::remove_cvref_t<decltype(alt)>>::desc;
      uint64_t seen = 0;
      for (std::size_t h = held_base; h < held_.size(); ++h) {
        const Held member = held_[h];
        const std::size_t i = field_index(rec, held_key(member));
        if (i == kNoField) continue;
        if ((seen >> i & 1u) != 0) return fail_at(close, duplicate_field(held_key(member)));
        seen |= uint64_t{1} << i;
        if (!with_field(rec, i, [&](const auto& f) {
              return decode_held(member, close, alt.*(f.member));
            })) {
          return false;
        }
      }
      const std::size_t missing = first_missing(rec, seen);
      if (missing != kNoField) return fail_at(close, missing_field(field_key(rec, missing)));
      return true;
    });
  }

  // [tag, field values...]: each value decoded as it arrives; surplus values
  // are read to the "]" and counted.
  template <class U, class V, std::size_t N>
  bool union_elements(const TaggedUnion<U, V, N>& un, U& out) {
    if (!check(lexer_.begin_array())) return false;
    bool more = false;
    if (!check(lexer_.next_element(true), more)) return false;
    if (!more) return fail_at(lexer_.offset(), missing_field(un.tag));
    std::size_t index = 0;
    if (!variant_name(un.names, index)) return false;
    return with_alternative(out.*(un.member), index, [&](auto& alt) {
      constexpr auto& rec = Schema<std::remove_cvref_t<decltype(alt)>>::desc;
      constexpr std::size_t kFields = DescOf<std::remove_cvref_t<decltype(alt)>>::kFieldCount;
      for (std::size_t i = 0; i < kFields; ++i) {
        if (!check(lexer_.next_element(false), more)) return false;
        if (!more) {
          const std::size_t missing = first_missing(rec, (uint64_t{1} << i) - 1);
          if (missing == kNoField) return true;
          return fail_at(lexer_.offset(),
                         invalid_length(missing, variant_length_expectation(kFields)));
        }
        if (!with_field(rec, i, [&](const auto& f) { return decode(alt.*(f.member)); })) {
          return false;
        }
      }
      std::size_t surplus = 0;
      for (;;) {
        if (!check(lexer_.next_element(false), more)) return false;
        if (!more) break;
        if (!check(lexer_.skip_value())) return false;
        ++surplus;
      }
      if (surplus == 0) return true;
      return fail_at(lexer_.offset(),
                     invalid_length(kFields + surplus, variant_length_expectation(kFields)));
    });
  }

  template <class R>
  bool pair(const DoublePair<R>& desc, R& out) {
    ValueStart start{};
    if (!check(lexer_.peek_value(), start)) return false;
    if (start != ValueStart::Array) return reject_next(kExpectPair);
    if (!check(lexer_.begin_array())) return false;
    double R::*const slots[2] = {desc.first, desc.second};
    for (std::size_t i = 0; i < 2; ++i) {
      bool more = false;
      if (!check(lexer_.next_element(i == 0), more)) return false;
      if (!more) return fail_at(lexer_.offset(), invalid_length(i, kExpectPair));
      if (!decode(out.*(slots[i]))) return false;
    }
    return end_fixed_array(false);
  }

  JsonLexer& lexer_;
  std::string_view whole_;
  std::size_t base_;
  std::size_t fixed_at_;
  XrayError error_{ErrorKind::Parse, {}};
  std::string keys_;  // held keys, back to back
  std::vector<Held> held_;
};

template <class OnTag>
bool TextDecoder::hold_members(bool first, std::string_view tag, OnTag&& on_tag) {
  for (;; first = false) {
    bool more = false;
    if (!check(lexer_.next_member(first), more)) return false;
    if (!more) return true;
    const std::string_view key = lexer_.key();
    if (!tag.empty() && key == tag) {
      if (!on_tag()) return false;
      continue;
    }
    const std::size_t key_begin = keys_.size();
    keys_.append(key);
    if (!check(lexer_.expect_colon())) return false;
    held_.push_back(Held{key_begin, keys_.size() - key_begin, lexer_.offset()});
    if (!check(lexer_.skip_value())) return false;
  }
}

// Decodes one value of type T from a whole text: only whitespace may follow.
template <class T>
[[nodiscard]] Result<T> decode_from_text(std::string_view text) {
  JsonLexer lexer(text);
  TextDecoder decoder(lexer, text);
  T out{};
  if (!decoder.decode(out)) return std::move(decoder.error());
  if (Status rest = lexer.finish(); !rest) return std::move(rest).error();
  return out;
}

}  // namespace xray::decoding
