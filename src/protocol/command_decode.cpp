// src/protocol/command_decode.cpp: command members decoded from byte spans of the text.
#include "protocol/command_decode.h"

#include "decode/checking_span_source.h"
#include "decode/decode_walk.h"
#include "decode/span_source.h"
#include "protocol/dataset_schema.h"
#include "protocol/spec_schema.h"

namespace xray {
namespace {

template <class T>
Result<T> decode_span(decoding::SpanSource& source, const decoding::SpanValue& value) {
  decoding::Decoder<decoding::SpanSource, decoding::ValueSetting> decoder(source);
  T out;
  if (!decoder.decode(value, out)) return std::move(decoder.error());
  return out;
}

// "ts" of frame_at: an integer that fits a signed 64-bit value.
std::optional<int64_t> integer_ts(const decoding::ValueSummary& ts) {
  if (ts.kind != JsonKind::Number) return std::nullopt;
  const JsonNumber n = ts.number;
  if (n.cls == NumberClass::Signed) return n.i;
  if (n.cls == NumberClass::Unsigned && n.u <= static_cast<uint64_t>(INT64_MAX)) {
    return static_cast<int64_t>(n.u);
  }
  return std::nullopt;
}

}  // namespace

Result<Dataset> decode_dataset_checked_text(std::string_view text) {
  decoding::SpanSource source(text);
  const decoding::SpanValue root = source.root();
  return decode_span<Dataset>(source, root);
}

CheckedCommand read_checked_command(std::string_view text) {
  CheckedCommand command;
  decoding::SpanSource source(text);
  const decoding::SpanValue root = source.root();
  if (root.kind != JsonKind::Object) return command;
  // The members in document order. Values are decoded where they stand, so
  // a large dataset is never skipped over first; whether it was wanted is
  // known once the last "cmd" has been seen.
  (void)source.each_member(root, [&](const decoding::SpanMember& member) {
    const std::string_view key = member.key();
    const decoding::SpanValue& value = member.value();
    if (key == "cmd") {
      command.name.reset();
      if (value.kind == JsonKind::String) command.name = std::string(source.summary(value).text);
    } else if (key == "dataset") {
      command.dataset = decode_span<Dataset>(source, value);
    } else if (key == "spec") {
      command.spec = decode_span<XraySpec>(source, value);
    } else if (key == "ts") {
      command.ts = integer_ts(source.summary(value));
    }
    return true;
  });
  return command;
}

std::optional<Dataset> decode_load_in_one_pass(std::string_view text,
                                               const decoding::ListSplitting* splitting) {
  decoding::CheckingSpanSource source(text);
  source.split_lists(splitting);
  const decoding::SpanValue root = source.root();
  if (source.failed() || root.kind != JsonKind::Object) return std::nullopt;
  bool load = false;
  std::optional<Dataset> dataset;
  // Anything but the common case abandons the walk at once; the exact path
  // knows what repeated members and other commands mean.
  (void)source.each_member(root, [&](decoding::CheckingSpanSource::Member& member) {
    const std::string_view key = member.key();
    if (key == "cmd") {
      const decoding::SpanValue& value = member.value();
      if (load || value.kind != JsonKind::String || source.summary(value).text != "load") {
        source.abandon();
      }
      load = true;
    } else if (key == "dataset") {
      if (dataset) {
        source.abandon();
        return false;
      }
      decoding::Decoder<decoding::CheckingSpanSource, decoding::ValueSetting> decoder(source);
      if (!decoder.decode(member.value(), dataset.emplace())) source.abandon();
    }
    return !source.failed();
  });
  if (!load || !dataset || !source.finish(root)) return std::nullopt;
  return dataset;
}

}  // namespace xray
