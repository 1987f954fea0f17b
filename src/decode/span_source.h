// src/decode/span_source.h: a text seen as byte spans, for the typed walk.
//
// Nothing is built: a value is a byte span of the text. Scalars are read when
// their span is found (numbers by the reader's own conversion); arrays and
// objects are walked in place, in text order. Where key order matters
// (each_member_by_key: the value setting's enumeration maps and union tags)
// an object's members are gathered as (key, value span) pairs on a reusable
// stack and put in the reader's member order (order_members_by_key), so a
// walk over spans gives what the same walk over a parsed JsonValue gives.
//
// Two sources share SpanSourceBase: SpanSource here, over a text that
// check_json_syntax accepted, and CheckingSpanSource
// (checking_span_source.h), which checks the text as it walks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/assert.h"
#include "decode/decode_messages.h"
#include "json/json_member_order.h"
#include "json/json_scanner.h"
#include "json/json_skip.h"
#include "json/json_value.h"

namespace xray::decoding {

inline constexpr std::size_t kUnknownEnd = ~std::size_t{0};

// One value of the text. The mutable fields are bookkeeping filled in as the
// value gets walked, so whoever holds the value learns where it ended.
struct SpanValue {
  JsonKind kind = JsonKind::Null;
  bool boolean = false;
  bool escaped = false;  // a string holding a backslash
  // A number as its class and the bits of its value, kept apart: copying a
  // just-written JsonNumber whole stalls on store forwarding.
  NumberClass number_class = NumberClass::Unsigned;
  uint64_t number_bits = 0;
  std::size_t begin = 0;                  // first byte
  mutable std::size_t end = kUnknownEnd;  // just past the last byte, once known
  mutable std::size_t count = 0;          // arrays: elements, once end is known
  int budget = kJsonDepthBudget;          // checking: the nesting budget at the value
};

inline bool is_container(const SpanValue& v) {
  return v.kind == JsonKind::Array || v.kind == JsonKind::Object;
}

// An element or member whose value has been read: what a walk hands over
// when nothing about it is left to check.
struct SpanElement {
  SpanValue span;

  const SpanValue& value() const { return span; }
};

struct SpanMember {
  std::string_view name;
  SpanValue span;

  std::string_view key() const { return name; }
  const SpanValue& value() const { return span; }
};

// What both span sources share: values and their summaries, decoded keys,
// and the key-ordered view of an object.
class SpanSourceBase {
 public:
  using Value = SpanValue;

  SpanSourceBase(const SpanSourceBase&) = delete;
  SpanSourceBase& operator=(const SpanSourceBase&) = delete;

  std::string_view text() const { return text_; }
  JsonKind kind(const SpanValue& v) const { return v.kind; }
  // A string is decoded; the view lasts until the next string is.
  ValueSummary summary(const SpanValue& v);
  // An array's length, when it has been walked or skipped already.
  std::optional<std::size_t> known_element_count(const SpanValue& v) const {
    if (v.end == kUnknownEnd) return std::nullopt;
    return v.count;
  }
  // The bytes of an array whose end is known.
  std::size_t text_bytes(const SpanValue& v) const {
    XRAY_ASSERT(v.end != kUnknownEnd, "the array was walked or counted first");
    return v.end - v.begin;
  }

 protected:
  explicit SpanSourceBase(std::string_view text) : text_(text) {}
  ~SpanSourceBase() = default;

  // The decoded text of a string holding escapes, in scratch_.
  std::string_view decode_escaped(const SpanValue& v);
  // The decoded key of the member name at quote, kept until released.
  std::string_view escaped_key(std::size_t quote);
  std::size_t key_mark() const { return keys_.size(); }
  // Most objects decoded no key: resizing a deque costs even when it stays.
  void release_keys(std::size_t mark) {
    if (keys_.size() != mark) keys_.resize(mark);
  }

  // The members the walk gives (walk(on_member), keys kept), put in the
  // reader's order (ascending key bytes, the later of repeated keys) on the
  // stack, then fn(member) for each in that order until fn gives false.
  // Nested objects gather above these and are gone before these are.
  template <class Walk, class Fn>
  bool by_key(Walk&& walk, Fn&& fn) {
    const std::size_t first = members_.size();
    const std::size_t keys = key_mark();
    const bool walked = walk([&](auto& m) {
      members_.push_back({m.key(), m.value()});
      return true;
    });
    const std::size_t kept = order_members_by_key(
        members_.data() + first, members_.size() - first,
        [](const SpanMember& a, const SpanMember& b) { return a.name.compare(b.name); });
    members_.resize(first + kept);
    bool ok = walked;
    for (std::size_t i = first; ok && i < first + kept; ++i) {
      // Copied out: decoding the value may gather nested members above these.
      SpanMember m = members_[i];
      ok = fn(m);
    }
    members_.resize(first);
    release_keys(keys);
    return ok;
  }

 private:
  std::string_view text_;
  std::vector<SpanMember> members_;  // stack of gathered objects
  std::deque<std::string> keys_;     // decoded keys that held escapes (stable)
  std::string scratch_;              // the last decoded string value
};

inline ValueSummary SpanSourceBase::summary(const SpanValue& v) {
  ValueSummary s;
  s.kind = v.kind;
  s.boolean = v.boolean;
  s.number.cls = v.number_class;
  std::memcpy(&s.number.u, &v.number_bits, sizeof v.number_bits);
  if (v.kind == JsonKind::String) {
    s.text = v.escaped ? decode_escaped(v) : text_.substr(v.begin + 1, v.end - v.begin - 2);
  }
  return s;
}

// A text that check_json_syntax accepted: walked byte by byte without any
// check, and a container nobody walks is skipped by counting brackets. Every
// value is read as it is reached, so a walk's elements and members come
// with their values.
class SpanSource : public SpanSourceBase {
 public:
  static constexpr bool kCountsAhead = true;  // skipping a list to count it is cheap
  static constexpr bool kChecks = false;

  explicit SpanSource(std::string_view text) : SpanSourceBase(text) {}

  // The value the text holds (its end is found as it gets walked).
  SpanValue root() const {
    SpanValue v;
    head(skip_space(0), v);
    return v;
  }
  static constexpr bool failed() { return false; }

  // Found by skipping the array when it has not been walked yet.
  std::size_t element_count(const SpanValue& v) const {
    end_of(v);
    return v.count;
  }

  // fn(element) for each element in order (element.value()), until fn
  // gives false; true when the array was walked to its end.
  template <class Fn>
  bool each_element(const SpanValue& array, Fn&& fn) {
    std::size_t pos = skip_space(array.begin + 1);
    std::size_t count = 0;
    SpanElement element;
    while (text()[pos] != ']') {
      head(pos, element.span);
      ++count;
      if (!fn(element)) return false;
      pos = after_value(end_of(element.span));
    }
    array.end = pos + 1;
    array.count = count;
    return true;
  }

  // fn(member) for each member as written (member.key(), member.value()),
  // until fn gives false; true when the object was walked to its end.
  template <class Fn>
  bool each_member(const SpanValue& object, Fn&& fn) {
    const std::size_t keys = key_mark();
    const bool ok = walk_members(object, fn);
    release_keys(keys);
    return ok;
  }

  // The same in the reader's member order, each key once.
  template <class Fn>
  bool each_member_by_key(const SpanValue& object, Fn&& fn) {
    return by_key([&](auto&& on_member) { return walk_members(object, on_member); }, fn);
  }

 private:
  std::size_t skip_space(std::size_t pos) const {
    while (pos < text().size() && is_json_space(text()[pos])) ++pos;
    return pos;
  }
  // Past the value ending at end and the "," after it, if any.
  std::size_t after_value(std::size_t end) const {
    const std::size_t pos = skip_space(end);
    return text()[pos] == ',' ? skip_space(pos + 1) : pos;
  }

  // each_member without releasing the decoded keys.
  template <class Fn>
  bool walk_members(const SpanValue& object, Fn& fn) {
    std::size_t pos = skip_space(object.begin + 1);
    SpanMember member;
    while (text()[pos] != '}') {
      bool escaped = false;
      const std::size_t key_end = string_end(pos, escaped);
      member.name = escaped ? escaped_key(pos) : text().substr(pos + 1, key_end - pos - 2);
      head(skip_space(skip_space(key_end) + 1), member.span);  // past the ":"
      if (!fn(member)) return false;
      pos = after_value(end_of(member.span));
    }
    object.end = pos + 1;
    return true;
  }

  // Where a value ends, skipping it if nobody has walked it.
  std::size_t end_of(const SpanValue& v) const {
    if (v.end == kUnknownEnd) v.end = skip_checked_container(text(), v.begin, v.count);
    return v.end;
  }
  // The value starting at pos, written into v: scalars are read whole,
  // containers are left with their end unknown. Written in place: a value
  // built elsewhere and copied would be read back while its fields are
  // still being stored, which stalls.
  void head(std::size_t pos, SpanValue& v) const;
  // Just past the closing quotation mark of the string at pos.
  std::size_t string_end(std::size_t pos, bool& escaped) const;
};

inline void SpanSource::head(std::size_t pos, SpanValue& v) const {
  v = SpanValue{};
  v.begin = pos;
  switch (text()[pos]) {
    case '"':
      v.kind = JsonKind::String;
      v.end = string_end(pos, v.escaped);
      break;
    case 't':
      v.kind = JsonKind::Bool;
      v.boolean = true;
      v.end = pos + 4;
      break;
    case 'f':
      v.kind = JsonKind::Bool;
      v.end = pos + 5;
      break;
    case 'n':
      v.kind = JsonKind::Null;
      v.end = pos + 4;
      break;
    case '[': v.kind = JsonKind::Array; break;
    case '{': v.kind = JsonKind::Object; break;
    default: {
      // The reader's own conversion; it cannot fail on a checked text.
      JsonScanner scan(text(), pos, kJsonDepthBudget);
      v.kind = JsonKind::Number;
      JsonNumber n{NumberClass::Unsigned, {0}};
      (void)scan.scan_number(n);
      v.number_class = n.cls;
      std::memcpy(&v.number_bits, &n.u, sizeof v.number_bits);  // u, i or d
      v.end = scan.pos();
      break;
    }
  }
}

inline std::size_t SpanSource::string_end(std::size_t pos, bool& escaped) const {
  std::size_t i = pos + 1;
  for (;;) {
    // A checked string holds no raw control byte, so the stop is a quotation
    // mark or a backslash; the byte after a backslash is never the end.
    i = find_string_special(text().data(), i, text().size());
    if (text()[i] == '"') return i + 1;
    escaped = true;
    i += 2;
  }
}

}  // namespace xray::decoding
