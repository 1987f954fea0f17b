// src/decode/span_source.h: the value setting's view of a text as byte spans:
// either a text already known to be one valid JSON value (check_json_syntax
// accepted it), or, in the checking mode, a text that is checked by the
// reader's scanner as it is walked.
//
// Nothing is built: a value is a byte span of the text. Scalars are read when
// their span is found (numbers by the reader's own conversion); arrays and
// objects are walked in place, in text order. Where key order matters (the
// one-member objects of enumerations, unions) an object's members are
// gathered as (key, value span) pairs on a reusable stack and ordered by key
// bytes with the later of repeated keys winning, exactly as the reader's
// objects are. So the value-setting decoder gives over these spans what it
// gives over a parsed JsonValue.
//
// The checking mode walks with the reader's scanner, so every byte it passes
// is judged as check_json_syntax would; a value nobody walks is checked as it
// is skipped. At the first fault it stops and stays failed (what was decoded
// meanwhile is then meaningless); it does not say which fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode_messages.h"
#include "json/json_scanner.h"
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

template <bool kChecking>
class BasicSpanSource {
 public:
  using Value = SpanValue;
  // A list's length is known ahead only by skipping it, which the checking
  // mode cannot afford: its lists grow instead.
  static constexpr bool kCountsAhead = !kChecking;

  // Unless checking, text must be a whole JSON text that check_json_syntax
  // accepted.
  explicit BasicSpanSource(std::string_view text) : text_(text) {}

  // The value the text holds (its end is found as it gets walked).
  SpanValue root() {
    if constexpr (kChecking) {
      JsonScanner scan(text_, 0, kJsonDepthBudget);
      return checked_head(scan);
    } else {
      return head(skip_space(0));
    }
  }

  // Checking: whether a fault was met (or the walk was abandoned).
  bool failed() const { return failed_; }
  // Checking: stops every walk at its next step; failed() from now on.
  void abandon() { failed_ = true; }
  // Checking: whether only whitespace follows the walked root.
  bool only_space_after(const SpanValue& root) const {
    return !failed_ && root.end != kUnknownEnd && skip_space(root.end) == text_.size();
  }

  JsonKind kind(const SpanValue& v) const { return v.kind; }
  ValueSummary summary(const SpanValue& v);
  // Found by skipping the array when it has not been walked yet.
  std::size_t element_count(const SpanValue& v) const {
    static_assert(kCountsAhead, "a checking walk does not count ahead");
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
    if constexpr (kChecking) return checked_elements(v, count, fn);
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
    if constexpr (kChecking) return checked_members(v, fn);
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
  // Where a value ends, skipping it if nobody has walked it. Checking, a
  // fault gives the text's end and leaves the end unknown.
  std::size_t end_of(const SpanValue& v) const {
    if (v.end != kUnknownEnd) return v.end;
    if constexpr (kChecking) {
      if (!failed_) v.end = checked_skip(v);
      return failed_ ? text_.size() : v.end;
    } else {
      v.end = skip_container(v.begin, v.count);
      return v.end;
    }
  }

  bool fault() const {
    failed_ = true;
    return false;
  }

  // The checking walks: the reader's scanner steps through the container,
  // each value is read by checked_head, and what fn left unwalked is skipped
  // by checked_skip.
  template <class Fn>
  bool checked_elements(const SpanValue& v, std::size_t& count, Fn& fn) {
    if (failed_) return false;
    JsonScanner scan(text_, v.begin, v.budget);
    if (!scan.open_container()) return fault();
    std::size_t i = 0;
    for (JsonStep step = scan.array_step(true); step != JsonStep::End;
         step = scan.array_step(false)) {
      if (step == JsonStep::Fault) return fault();
      const SpanValue element = checked_head(scan);
      if (failed_ || !fn(i, element)) return false;
      ++i;
      const std::size_t end = end_of(element);
      if (failed_) return false;
      scan.seek(end);
    }
    v.end = scan.pos();
    v.count = i;
    count = i;
    return true;
  }

  template <class Fn>
  void checked_members(const SpanValue& v, Fn& fn) {
    if (failed_) return;
    JsonScanner scan(text_, v.begin, v.budget);
    if (!scan.open_container()) return (void)fault();
    for (JsonStep step = scan.member_step(true); step != JsonStep::End;
         step = scan.member_step(false)) {
      if (step == JsonStep::Fault) return (void)fault();
      const std::size_t quote = scan.pos();
      std::string_view raw;
      if (!scan.scan_string<false>(raw, check_scratch_)) return (void)fault();
      const std::size_t key_end = scan.pos();
      // Unescaped, the scan viewed the key itself (as in checked_head).
      const bool escaped = raw.size() != key_end - quote - 2;
      const std::string_view key = escaped ? escaped_key(quote) : raw;
      if (!scan.colon()) return (void)fault();
      const SpanValue value = checked_head(scan);
      if (failed_) return;
      fn(key, value);
      const std::size_t end = end_of(value);
      if (failed_) return;
      scan.seek(end);
    }
    v.end = scan.pos();
  }

  // The value at the scanner (after whitespace): scalars are read whole and
  // the scanner moves past them; containers are left at their bracket.
  SpanValue checked_head(JsonScanner& scan) const;
  // Just past the value v, checked; the text's end after a fault.
  std::size_t checked_skip(const SpanValue& v) const;
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
  std::string_view key_at(std::size_t quote, std::size_t end, bool escaped) {
    if (!escaped) return std::string_view(text_.data() + quote + 1, end - quote - 2);
    return escaped_key(quote);
  }
  // The decoded key of the string at quote, kept in keys_.
  std::string_view escaped_key(std::size_t quote);

  std::string_view text_;
  std::vector<Member> members_;   // stack of gathered objects
  std::deque<std::string> keys_;  // decoded keys that held escapes (stable)
  std::string scratch_;           // the last decoded string value
  mutable std::string check_scratch_;  // cleared by checking scans of escaped strings
  mutable bool failed_ = false;
};

using SpanSource = BasicSpanSource<false>;
using CheckingSpanSource = BasicSpanSource<true>;

template <bool kChecking>
SpanValue BasicSpanSource<kChecking>::checked_head(JsonScanner& scan) const {
  SpanValue v;
  scan.skip_whitespace();
  if (scan.at_end()) {
    fault();
    return v;
  }
  v.begin = scan.pos();
  bool ok = true;
  switch (scan.byte()) {
    case '"': {
      std::string_view raw;
      v.kind = JsonKind::String;
      ok = scan.scan_string<false>(raw, check_scratch_);
      // Unescaped, the scan views the whole span; escaped, it keeps nothing.
      v.escaped = ok && raw.size() != scan.pos() - v.begin - 2;
      break;
    }
    case 'n': ok = scan.scan_literal("null"); break;
    case 't':
      v.kind = JsonKind::Bool;
      v.boolean = true;
      ok = scan.scan_literal("true");
      break;
    case 'f':
      v.kind = JsonKind::Bool;
      ok = scan.scan_literal("false");
      break;
    case '[':
    case '{':
      v.kind = scan.byte() == '[' ? JsonKind::Array : JsonKind::Object;
      v.budget = scan.budget();
      return v;
    case '-': case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      JsonNumber n{NumberClass::Unsigned, {0}};
      v.kind = JsonKind::Number;
      ok = scan.scan_number(n);
      v.number_class = n.cls;
      std::memcpy(&v.number_bits, &n.u, sizeof v.number_bits);  // u, i or d
      break;
    }
    default: ok = false;
  }
  if (!ok) fault();
  v.end = ok ? scan.pos() : kUnknownEnd;
  return v;
}

template <bool kChecking>
std::size_t BasicSpanSource<kChecking>::checked_skip(const SpanValue& v) const {
  JsonScanner scan(text_, v.begin, v.budget);
  if (!skip_json_value(scan)) {
    fault();
    return text_.size();
  }
  return scan.pos();
}

template <bool kChecking>
inline SpanValue BasicSpanSource<kChecking>::head(std::size_t pos) const {
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

template <bool kChecking>
inline std::size_t BasicSpanSource<kChecking>::string_end(std::size_t pos, bool& escaped) const {
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

template <bool kChecking>
inline ValueSummary BasicSpanSource<kChecking>::summary(const SpanValue& v) {
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
