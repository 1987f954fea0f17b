// src/decode/checking_span_source.h: byte spans of a text that is checked
// as it is walked.
//
// Every step is one of the reader's scanner steps (value heads, container
// steps, member names, colons), and a value nobody reads is checked as it is
// skipped, so every byte the walk passes is judged exactly as
// check_json_syntax and the pull lexer judge it: the same fault text at the
// same offset, found in the same order. Values are read only when asked
// for, so a decoder can judge a member's key before its colon is read, or an
// array's surplus element before anything of it is. At the first fault the
// source stops every walk and stays failed, keeping that fault; what was
// decoded meanwhile is then meaningless. The load path uses it to check and
// decode in one pass; the text setting decodes with it, and its faults are
// the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "decode/decode_messages.h"
#include "decode/list_chunks.h"
#include "decode/span_source.h"
#include "json/json_scanner.h"

namespace xray::decoding {

class CheckingSpanSource : public SpanSourceBase {
 public:
  // A list's length is known ahead only by skipping it, which a checking
  // walk cannot afford: its lists grow instead.
  static constexpr bool kCountsAhead = false;
  static constexpr bool kChecks = true;

  explicit CheckingSpanSource(std::string_view text) : SpanSourceBase(text) {}

  // Long lists are decoded in chunks by these rules from now on; null (the
  // default): every list in one thread.
  void split_lists(const ListSplitting* splitting) { splitting_ = splitting; }
  const ListSplitting* list_splitting() const { return splitting_; }

  // The value the text holds (its end is found as it gets walked).
  SpanValue root() {
    JsonScanner scan(text(), 0, kJsonDepthBudget);
    SpanValue v;
    head(scan, v);
    return v;
  }

  // Whether a fault was met (or the walk was abandoned).
  bool failed() const { return failed_; }
  // Stops every walk at its next step; failed() from now on.
  void abandon() { failed_ = true; }
  // The first fault met, as the reader words and places it.
  std::optional<XrayError> fault_error() const {
    if (!fault_) return std::nullopt;
    return fault_->error();
  }
  // Only whitespace may follow the root: "trailing characters" otherwise.
  // False after any fault.
  bool finish(const SpanValue& root) {
    const std::size_t end = end_of(root);
    if (failed_) return false;
    JsonScanner scan(text(), end, kJsonDepthBudget);
    return scan.finish() || fault(scan);
  }

  // An element as the walk hands it over: nothing of it read yet.
  class Element {
   public:
    // Offset of its first byte.
    std::size_t position() const { return scan_.pos(); }
    // Reads it (at most once).
    [[gnu::always_inline]] const SpanValue& value() {
      taken_ = true;
      source_.head(scan_, span_);
      return span_;
    }

   private:
    friend class CheckingSpanSource;
    Element(CheckingSpanSource& source, JsonScanner& scan) : source_(source), scan_(scan) {}

    CheckingSpanSource& source_;
    JsonScanner& scan_;
    bool taken_ = false;
    SpanValue span_;
  };

  // A member as the walk hands it over: its key read, nothing after it.
  class Member {
   public:
    std::string_view key() const { return key_; }
    // Just past the closing quotation mark of the key.
    std::size_t key_end() const { return scan_.pos(); }
    // Reads the ":" and the value (at most once).
    [[gnu::always_inline]] const SpanValue& value() {
      taken_ = true;
      if (scan_.colon()) {
        source_.head(scan_, span_);
      } else {
        source_.fault(scan_);
        span_ = SpanValue{};
      }
      return span_;
    }

   private:
    friend class CheckingSpanSource;
    Member(CheckingSpanSource& source, JsonScanner& scan) : source_(source), scan_(scan) {}

    CheckingSpanSource& source_;
    JsonScanner& scan_;
    std::string_view key_;
    bool taken_ = false;
    SpanValue span_;
  };

  // fn(element) for each element in order, until fn gives false; an element
  // fn did not read is checked as it is skipped. True when the array was
  // walked to its end; false when fn stopped it or a fault did.
  template <class Fn>
  bool each_element(const SpanValue& array, Fn&& fn) {
    if (failed_) return false;
    JsonScanner scan(text(), array.begin, array.budget);
    if (!scan.open_container()) return fault(scan);
    Element element(*this, scan);
    std::size_t count = 0;
    for (JsonStep step = scan.array_step(true); step != JsonStep::End;
         step = scan.array_step(false)) {
      if (step == JsonStep::Fault) return fault(scan);
      ++count;
      element.taken_ = false;
      if (!fn(element) || failed_) return false;
      if (!past_value(scan, element.taken_, element.span_)) return false;
    }
    array.end = scan.pos();
    array.count = count;
    return true;
  }

  // fn(element) for the elements of array from the one whose first byte is
  // at `from` (its "," already read), as each_element hands them, until the
  // next one starts at or past `until` or the array closes. Failed when fn
  // gave false or a fault stopped it.
  template <class Fn>
  RangeEnd each_element_from(const SpanValue& array, std::size_t from, std::size_t until, Fn&& fn) {
    if (failed_) return {};
    // Inside the array the budget is one lower, as opening it made it.
    JsonScanner scan(text(), from, array.budget - 1);
    Element element(*this, scan);
    for (;;) {
      element.taken_ = false;
      if (!fn(element) || failed_) return {};
      if (!past_value(scan, element.taken_, element.span_)) return {};
      const JsonStep step = scan.array_step(false);
      if (step == JsonStep::Fault) {
        fault(scan);
        return {};
      }
      if (step == JsonStep::End) return {RangeEnd::How::Closed, scan.pos()};
      if (scan.pos() >= until) return {RangeEnd::How::Stopped, scan.pos()};
    }
  }

  // The two numbers of an array written tightly, "[number,number]", read
  // as head() reads them and taken as a double is taken from a number, and
  // the array's end noted: what walking it and decoding both elements as
  // doubles would give, without the walk or the values in between. False,
  // with nothing recorded, for any other array (blanks, other values, a
  // fault): the walk judges those.
  bool tight_double_pair(const SpanValue& array, double& first, double& second) {
    if (failed_ || array.budget <= 1) return false;  // opening it would exceed the nesting budget
    JsonScanner scan(text(), array.begin + 1, array.budget - 1);
    if (!tight_double(scan, first) || scan.at_end() || scan.byte() != ',') return false;
    scan.seek(scan.pos() + 1);
    if (!tight_double(scan, second) || scan.at_end() || scan.byte() != ']') return false;
    array.end = scan.pos() + 1;
    array.count = 2;
    return true;
  }

  // The pairs of an array of tightly written pairs, "[[n,n],[n,n]]" or "[]",
  // each read as tight_double_pair reads one and handed to add(first,
  // second) in order, and the array's end and length noted: what walking it
  // would give. False for any other array, or when add gives false, perhaps
  // after handing over some pairs: the caller drops those and walks it.
  template <class Add>
  bool tight_double_pairs(const SpanValue& array, Add&& add) {
    // Opening the array and a pair must stay within the nesting budget.
    if (failed_ || array.budget <= 2) return false;
    const std::string_view t = text();
    JsonScanner scan(t, array.begin + 1, array.budget - 2);
    std::size_t p = array.begin + 1;
    std::size_t count = 0;
    if (p < t.size() && t[p] != ']') {
      for (;;) {
        if (p >= t.size() || t[p] != '[') return false;
        scan.seek(p + 1);
        double first;
        double second;
        if (!tight_double(scan, first) || scan.at_end() || scan.byte() != ',') return false;
        scan.seek(scan.pos() + 1);
        if (!tight_double(scan, second) || scan.at_end() || scan.byte() != ']') return false;
        if (!add(first, second)) return false;
        ++count;
        p = scan.pos() + 1;
        if (p < t.size() && t[p] == ']') break;
        if (p >= t.size() || t[p] != ',') return false;
        ++p;
      }
    }
    if (p >= t.size()) return false;
    array.end = p + 1;
    array.count = count;
    return true;
  }

  // fn(member) for each member as written, until fn gives false; a value fn
  // did not read is checked as it is skipped.
  template <class Fn>
  bool each_member(const SpanValue& object, Fn&& fn) {
    const std::size_t keys = key_mark();
    const bool ok = walk_members(object, fn);
    release_keys(keys);
    return ok;
  }

  // The same in the reader's member order, each key once (after the whole
  // object has been walked).
  template <class Fn>
  bool each_member_by_key(const SpanValue& object, Fn&& fn) {
    return by_key([&](auto&& on_member) { return walk_members(object, on_member); }, fn);
  }

 private:
  // Records the scanner's fault (the first one stays) and gives false.
  bool fault(const JsonScanner& scan) {
    if (!fault_) fault_ = scan;
    failed_ = true;
    return false;
  }

  // each_member without releasing the decoded keys.
  template <class Fn>
  bool walk_members(const SpanValue& object, Fn& fn) {
    if (failed_) return false;
    JsonScanner scan(text(), object.begin, object.budget);
    if (!scan.open_container()) return fault(scan);
    Member member(*this, scan);
    for (JsonStep step = scan.member_step(true); step != JsonStep::End;
         step = scan.member_step(false)) {
      if (step == JsonStep::Fault) return fault(scan);
      const std::size_t quote = scan.pos();
      std::size_t length = 0;
      if (scan.scan_short_string(length)) {
        member.key_ = std::string_view(text().data() + quote + 1, length);
      } else {
        std::string_view raw;
        if (!scan.scan_string<false>(raw, check_scratch_)) return fault(scan);
        // Unescaped, the scan viewed the key itself; escaped, it kept nothing.
        const bool escaped = raw.size() != scan.pos() - quote - 2;
        member.key_ = escaped ? escaped_key(quote) : raw;
      }
      member.taken_ = false;
      if (!fn(member) || failed_) return false;
      if (!member.taken_ && !scan.colon()) return fault(scan);
      if (!past_value(scan, member.taken_, member.span_)) return false;
    }
    object.end = scan.pos();
    return true;
  }

  // Moves the scanner past the value at it: read (taken, as span) or not.
  [[gnu::always_inline]] bool past_value(JsonScanner& scan, bool taken, const SpanValue& span) {
    if (!taken) return skip_json_value(scan) || fault(scan);
    const std::size_t end = end_of(span);
    if (failed_) return false;
    scan.seek(end);
    return true;
  }

  // The value at the scanner (after whitespace), written into v: a scalar is
  // read whole and the scanner moves past it; a container is left at its
  // bracket. Written in place: a value built elsewhere and copied would be
  // read back while its fields are still being stored, which stalls.
  void head(JsonScanner& scan, SpanValue& v);
  // A number starting right at the scanner, read as head() reads one, as a
  // double; false when there is none or it is at fault.
  [[gnu::always_inline]] static bool tight_double(JsonScanner& scan, double& out) {
    if (scan.at_end()) return false;
    const char c = scan.byte();
    if (c != '-' && (c < '0' || c > '9')) return false;
    JsonNumber n{NumberClass::Unsigned, {0}};
    if (!scan.scan_number(n)) return false;
    out = number_as_double(n);
    return true;
  }
  // Where a value ends, checking and skipping it if nobody has walked it;
  // the text's end after a fault.
  std::size_t end_of(const SpanValue& v);

  std::string check_scratch_;  // cleared by checking scans of escaped strings
  std::optional<JsonScanner> fault_;
  bool failed_ = false;
  const ListSplitting* splitting_ = nullptr;
};

inline void CheckingSpanSource::head(JsonScanner& scan, SpanValue& v) {
  v = SpanValue{};
  scan.skip_whitespace();
  if (scan.at_end()) {
    scan.fail_eof(json_fault::kEofValue);
    fault(scan);
    return;
  }
  v.begin = scan.pos();
  bool ok = true;
  switch (scan.byte()) {
    case '"': {
      v.kind = JsonKind::String;
      std::size_t length = 0;
      if (scan.scan_short_string(length)) break;
      std::string_view raw;
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
      return;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      JsonNumber n{NumberClass::Unsigned, {0}};
      v.kind = JsonKind::Number;
      ok = scan.scan_number(n);
      v.number_class = n.cls;
      std::memcpy(&v.number_bits, &n.u, sizeof v.number_bits);  // u, i or d
      break;
    }
    default: ok = scan.fail_here(json_fault::kExpectedValue);
  }
  if (!ok) {
    fault(scan);
    return;
  }
  v.end = scan.pos();
}

inline std::size_t CheckingSpanSource::end_of(const SpanValue& v) {
  if (v.end != kUnknownEnd) return v.end;
  if (failed_) return text().size();
  JsonScanner scan(text(), v.begin, v.budget);
  if (!skip_json_value(scan)) {
    fault(scan);
    return text().size();
  }
  v.end = scan.pos();
  return v.end;
}

}  // namespace xray::decoding
