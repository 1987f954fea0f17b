// src/span_source.cpp: reading values out of an already checked text.
#include "span_source.h"

#include <algorithm>

#include "json_scanner.h"

namespace xray::decoding {
namespace {

// Byte classes for skipping a container: only these bytes change what the
// skip has to do; every other byte of a valid text is plain.
enum ByteClass : uint8_t { kPlain, kSpace, kQuote, kOpen, kClose, kComma };

constexpr auto kClasses = [] {
  std::array<uint8_t, 256> t{};
  t[' '] = t['\t'] = t['\n'] = t['\r'] = kSpace;
  t['"'] = kQuote;
  t['['] = t['{'] = kOpen;
  t[']'] = t['}'] = kClose;
  t[','] = kComma;
  return t;
}();

}  // namespace

SpanValue SpanSource::head(std::size_t pos) const {
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
      (void)scan.scan_number(v.number);
      v.end = scan.pos();
      break;
    }
  }
  return v;
}

std::size_t SpanSource::string_end(std::size_t pos, bool& escaped) const {
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

std::size_t SpanSource::skip_container(std::size_t pos, std::size_t& count) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text_.data());
  std::size_t depth = 0;
  std::size_t commas = 0;
  bool any = false;  // something stands at the first level
  for (;;) {
    switch (kClasses[bytes[pos]]) {
      case kPlain:
        any = any || depth == 1;
        ++pos;
        break;
      case kSpace: ++pos; break;
      case kQuote: {
        any = any || depth == 1;
        bool escaped = false;
        pos = string_end(pos, escaped);
        break;
      }
      case kOpen:
        any = any || depth == 1;
        ++depth;
        ++pos;
        break;
      case kClose:
        ++pos;
        if (--depth == 0) {
          count = any ? commas + 1 : 0;
          return pos;
        }
        break;
      case kComma:
        commas += depth == 1 ? 1 : 0;
        ++pos;
        break;
    }
  }
}

std::string_view SpanSource::key_at(std::size_t quote, std::size_t end, bool escaped) {
  if (!escaped) return text_.substr(quote + 1, end - quote - 2);
  JsonScanner scan(text_, quote, kJsonDepthBudget);
  std::string buffer;
  std::string_view decoded;
  (void)scan.scan_string<true>(decoded, buffer);
  return keys_.emplace_back(decoded);
}

ValueSummary SpanSource::summary(const SpanValue& v) {
  ValueSummary s;
  s.kind = v.kind;
  s.boolean = v.boolean;
  s.number = v.number;
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

void SpanSource::gather(const SpanValue& object) {
  if (object.first_member != kUnknownEnd) return;
  const std::size_t first = members_.size();
  object.first_key = keys_.size();
  std::size_t pos = skip_space(object.begin + 1);
  while (text_[pos] != '}') {
    bool escaped = false;
    const std::size_t key_end = string_end(pos, escaped);
    const std::string_view key = key_at(pos, key_end, escaped);
    pos = skip_space(skip_space(key_end) + 1);  // past the ":"
    SpanValue value = head(pos);
    if (value.end == kUnknownEnd) value.end = skip_container(value.begin, value.count);
    members_.push_back(Member{key, value});
    pos = skip_space(value.end);
    if (text_[pos] == ',') pos = skip_space(pos + 1);
  }
  object.end = pos + 1;

  // Ascending key bytes, stable, then only the last of equal keys kept: the
  // reader's rule for objects.
  const auto begin = members_.begin() + static_cast<std::ptrdiff_t>(first);
  const auto by_key = [](const Member& a, const Member& b) { return a.key < b.key; };
  if (members_.size() - first <= 16) {
    for (auto it = begin + 1; it < members_.end(); ++it) {
      for (auto j = it; j > begin && by_key(*j, *(j - 1)); --j) std::iter_swap(j, j - 1);
    }
  } else {
    std::stable_sort(begin, members_.end(), by_key);
  }
  std::size_t kept = first;
  for (std::size_t i = first; i < members_.size(); ++i) {
    if (i + 1 < members_.size() && members_[i].key == members_[i + 1].key) continue;
    members_[kept++] = members_[i];
  }
  members_.resize(kept);
  object.first_member = first;
  object.member_count = kept - first;
}

}  // namespace xray::decoding
