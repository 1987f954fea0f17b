// src/span_source.h: the value setting's view of a text that is already known
// to be one valid JSON value (check_json_syntax accepted it).
//
// Nothing is built: a value is a byte span of the text. Scalars are read when
// their span is found (numbers by the reader's own conversion); arrays and
// objects are walked in place, in text order. Where key order matters (the
// one-member objects of enumerations, unions) an object's members are
// gathered as (key, value span) pairs on a reusable stack and ordered by key
// bytes with the later of repeated keys winning, exactly as the reader's
// objects are. So the value-setting decoder gives over these spans what it
// gives over a parsed JsonValue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decode_messages.h"
#include "json_scanner.h"
#include "json_value.h"

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
};

class SpanSource {
 public:
  using Value = SpanValue;

  // text must be a whole JSON text that check_json_syntax accepted.
  explicit SpanSource(std::string_view text) : text_(text) {}

  // The value the text holds (its end is found as it gets walked).
  SpanValue root() const { return head(skip_space(0)); }

  JsonKind kind(const SpanValue& v) const { return v.kind; }
  ValueSummary summary(const SpanValue& v);
  // Found by skipping the array when it has not been walked yet.
  std::size_t element_count(const SpanValue& v) const {
    end_of(v);
    return v.count;
  }
  std::size_t text_bytes(const SpanValue& v) const { return end_of(v) - v.begin; }
  std::optional<std::size_t> known_element_count(const SpanValue& v) const {
    if (v.end == kUnknownEnd) return std::nullopt;
    return v.count;
  }

  template <class Fn>
  bool each_element(const SpanValue& v, std::size_t& count, Fn&& fn) {
    std::size_t pos = skip_space(v.begin + 1);
    std::size_t i = 0;
    while (text_[pos] != ']') {
      SpanValue element = head(pos);
      if (!fn(i, element)) return false;
      ++i;
      pos = skip_space(end_of(element));
      if (text_[pos] == ',') pos = skip_space(pos + 1);
    }
    v.end = pos + 1;
    v.count = i;
    count = i;
    return true;
  }

  // Members as they stand in the text, repeats included.
  template <class Fn>
  void each_member_in_order(const SpanValue& v, Fn&& fn) {
    const std::size_t keys_base = keys_.size();
    walk_members(v, fn);
    keys_.resize(keys_base);
  }

  // The number of distinct keys.
  std::size_t member_count(const SpanValue& v) {
    const Gathered g = gather(v);
    release(g);
    return g.count;
  }

  // Members in ascending key order, each key once (the last of repeated
  // keys). Used for enumerations and unions only, so the members are gathered
  // afresh on every call.
  template <class Fn>
  bool each_member(const SpanValue& v, Fn&& fn) {
    const Gathered g = gather(v);
    bool ok = true;
    for (std::size_t i = 0; i < g.count && ok; ++i) {
      // Copied out: decoding the value may gather nested members above these.
      const Member m = members_[g.first + i];
      ok = fn(m.key, m.value);
    }
    release(g);
    return ok;
  }

 private:
  struct Member {
    std::string_view key;
    SpanValue value;
  };

  std::size_t skip_space(std::size_t pos) const {
    while (pos < text_.size()) {
      const char c = text_[pos];
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') break;
      ++pos;
    }
    return pos;
  }

  // fn(key, value) for each member in text order; keys that held escapes
  // stay in keys_ until the caller releases them.
  template <class Fn>
  void walk_members(const SpanValue& v, Fn&& fn) {
    std::size_t pos = skip_space(v.begin + 1);
    while (text_[pos] != '}') {
      bool escaped = false;
      const std::size_t key_end = string_end(pos, escaped);
      const std::string_view key = key_at(pos, key_end, escaped);
      const SpanValue value = head(skip_space(skip_space(key_end) + 1));  // past the ":"
      fn(key, value);
      pos = skip_space(end_of(value));
      if (text_[pos] == ',') pos = skip_space(pos + 1);
    }
    v.end = pos + 1;
  }
  // Where a value ends, skipping it if nobody has walked it.
  std::size_t end_of(const SpanValue& v) const {
    if (v.end == kUnknownEnd) v.end = skip_container(v.begin, v.count);
    return v.end;
  }
  // The value starting at pos: scalars are read whole, containers are left
  // with their end unknown.
  SpanValue head(std::size_t pos) const;
  // Just past the closing quotation mark of the string at pos.
  std::size_t string_end(std::size_t pos, bool& escaped) const;
  // Just past the container at pos; count receives its element (or member) count.
  std::size_t skip_container(std::size_t pos, std::size_t& count) const;
  // An object's members on top of the stack, sorted by key, each key once
  // (the last of repeated keys); released in the reverse order of gathering.
  struct Gathered {
    std::size_t first;  // in members_
    std::size_t count;
    std::size_t keys;   // size of keys_ before
  };
  Gathered gather(const SpanValue& object);
  void release(const Gathered& g) {
    members_.resize(g.first);
    keys_.resize(g.keys);
  }
  std::string_view key_at(std::size_t quote, std::size_t end, bool escaped);

  std::string_view text_;
  std::vector<Member> members_;   // stack of gathered objects
  std::deque<std::string> keys_;  // decoded keys that held escapes (stable)
  std::string scratch_;           // the last decoded string value
};

inline SpanValue SpanSource::head(std::size_t pos) const {
  SpanValue v;
  v.begin = pos;
  switch (text_[pos]) {
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
      JsonScanner scan(text_, pos, kJsonDepthBudget);
      v.kind = JsonKind::Number;
      JsonNumber n{NumberClass::Unsigned, {0}};
      (void)scan.scan_number(n);
      v.number_class = n.cls;
      std::memcpy(&v.number_bits, &n.u, sizeof v.number_bits);  // u, i or d
      v.end = scan.pos();
      break;
    }
  }
  return v;
}

inline std::size_t SpanSource::string_end(std::size_t pos, bool& escaped) const {
  std::size_t i = pos + 1;
  for (;;) {
    // A checked string holds no raw control byte, so the stop is a quotation
    // mark or a backslash; the byte after a backslash is never the end.
    i = find_string_special(text_.data(), i, text_.size());
    if (text_[i] == '"') return i + 1;
    escaped = true;
    i += 2;
  }
}

inline ValueSummary SpanSource::summary(const SpanValue& v) {
  ValueSummary s;
  s.kind = v.kind;
  s.boolean = v.boolean;
  s.number.cls = v.number_class;
  std::memcpy(&s.number.u, &v.number_bits, sizeof v.number_bits);
  if (v.kind == JsonKind::String) {
    if (!v.escaped) {
      s.text = text_.substr(v.begin + 1, v.end - v.begin - 2);
    } else {
      JsonScanner scan(text_, v.begin, kJsonDepthBudget);
      (void)scan.scan_string<true>(s.text, scratch_);
    }
  }
  return s;
}

}  // namespace xray::decoding
