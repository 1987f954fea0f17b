// src/span_source.h: the value setting's view of a text that is already known
// to be one valid JSON value (check_json_syntax accepted it).
//
// Nothing is built: a value is a byte span of the text. Scalars are read when
// their span is found (numbers by the reader's own conversion); arrays are
// walked in place; an object's members are gathered as (key, value span)
// pairs on a reusable stack, ordered by key bytes with the later of repeated
// keys winning, exactly as the reader's objects are. So the value-setting
// decoder gives over these spans what it gives over a parsed JsonValue.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "decode_messages.h"
#include "json_value.h"

namespace xray::decoding {

inline constexpr std::size_t kUnknownEnd = ~std::size_t{0};

// One value of the text. The mutable fields are bookkeeping filled in as the
// value gets walked, so whoever holds the value learns where it ended.
struct SpanValue {
  JsonKind kind = JsonKind::Null;
  bool boolean = false;
  bool escaped = false;  // a string holding a backslash
  JsonNumber number{NumberClass::Unsigned, {0}};
  std::size_t begin = 0;                           // first byte
  mutable std::size_t end = kUnknownEnd;           // just past the last byte, once known
  mutable std::size_t count = 0;                   // arrays: elements, once end is known
  mutable std::size_t first_member = kUnknownEnd;  // objects: start of the gathered members
  mutable std::size_t member_count = 0;
  mutable std::size_t first_key = 0;  // objects: start of their decoded keys
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
  std::size_t element_count(const SpanValue& v) const {
    return v.end == kUnknownEnd ? 0 : v.count;
  }

  template <class Fn>
  bool each_element(const SpanValue& v, std::size_t& count, Fn&& fn) {
    std::size_t pos = skip_space(v.begin + 1);
    std::size_t i = 0;
    while (text_[pos] != ']') {
      SpanValue element = head(pos);
      if (!fn(i, element)) return false;
      if (element.end == kUnknownEnd) element.end = skip_container(element.begin, element.count);
      ++i;
      pos = skip_space(element.end);
      if (text_[pos] == ',') pos = skip_space(pos + 1);
    }
    v.end = pos + 1;
    v.count = i;
    count = i;
    return true;
  }

  std::size_t member_count(const SpanValue& v) {
    gather(v);
    return v.member_count;
  }

  // Members in ascending key order, each key once. The gathered members are
  // released afterwards (a second walk gathers them again).
  template <class Fn>
  bool each_member(const SpanValue& v, Fn&& fn) {
    gather(v);
    const std::size_t first = v.first_member;
    const std::size_t n = v.member_count;
    bool ok = true;
    for (std::size_t i = 0; i < n && ok; ++i) {
      // Copied out: decoding the value may gather nested members above these.
      const Member m = members_[first + i];
      ok = fn(m.key, m.value);
    }
    members_.resize(first);
    keys_.resize(v.first_key);
    v.first_member = kUnknownEnd;
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

  // The value starting at pos: scalars are read whole, containers are left
  // with their end unknown.
  SpanValue head(std::size_t pos) const;
  // Just past the closing quotation mark of the string at pos.
  std::size_t string_end(std::size_t pos, bool& escaped) const;
  // Just past the container at pos; count receives its element (or member) count.
  std::size_t skip_container(std::size_t pos, std::size_t& count) const;
  // The object's members on the stack, sorted by key, later repeats dropped
  // in favour of the last; a no-op when already gathered.
  void gather(const SpanValue& object);
  std::string_view key_at(std::size_t quote, std::size_t end, bool escaped);

  std::string_view text_;
  std::vector<Member> members_;        // stack of gathered objects
  std::deque<std::string> keys_;       // decoded keys that held escapes (stable)
  std::string scratch_;                // the last decoded string value
};

}  // namespace xray::decoding
