// src/decode/decode_text.h: the text setting of typed decoding.
//
// The walk of decode_walk.h over a text checked as it is walked: members in
// document order, a repeated field key rejected, the first rejection ends
// it, and every message ends in the reader's position suffix. The text's own
// faults are the reader's, found in the reader's order. A rejection is
// reported just past the byte at which it was found: a container of the
// wrong type at its opening bracket (nothing inside is read), a scalar after
// its last byte, a missing field or a short array at the closing bracket, a
// repeated key after its closing quotation mark, a value past the end of a
// fixed-length array at its first byte. A tagged union's non-tag members and
// an enumeration's one-member map are judged once the object's "}" has been
// read, so their rejections sit there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "core/errors.h"
#include "decode/checking_span_source.h"
#include "decode/decode_walk.h"
#include "decode/span_source.h"

namespace xray::decoding {

class TextSetting {
 public:
  static constexpr bool kMembersAsWritten = true;
  static constexpr bool kSurplusIsTrailing = true;

  explicit TextSetting(std::string_view text) : text_(text) {}

  // Just past the byte at which a value was found.
  static std::size_t found_at(const SpanValue& v) { return is_container(v) ? v.begin + 1 : v.end; }
  // Just past the closing bracket of a container that has been walked.
  static std::size_t closed_at(const SpanValue& v) { return v.end; }
  template <class Members>
  static std::size_t key_at(const Members& members) {
    return members.key_end();
  }
  template <class Elements>
  static std::size_t element_at(const Elements& elements) {
    return elements.position() + 1;
  }

  // message with the position suffix of offset at, or of the offset all_at fixed.
  [[nodiscard]] XrayError reject(std::size_t at, std::string message) const;

  // Runs fn with every rejection it makes reported at offset at; an
  // enclosing such run keeps its own offset.
  template <class Fn>
  bool all_at(std::size_t at, Fn&& fn) {
    if (fixed_ != kNotFixed) return fn();
    fixed_ = at;
    const bool ok = fn();
    fixed_ = kNotFixed;
    return ok;
  }

 private:
  static constexpr std::size_t kNotFixed = ~std::size_t{0};

  std::string_view text_;
  std::size_t fixed_ = kNotFixed;
};

// Decodes one value of type T from a whole text: only whitespace may follow.
template <class T>
[[nodiscard]] Result<T> decode_from_text(std::string_view text) {
  CheckingSpanSource source(text);
  Decoder<CheckingSpanSource, TextSetting> decoder(source, TextSetting(text));
  const SpanValue root = source.root();
  T out{};
  if (source.failed() || !decoder.decode(root, out) || !source.finish(root)) {
    return std::move(decoder.error());
  }
  return out;
}

}  // namespace xray::decoding
