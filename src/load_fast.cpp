// src/load_fast.cpp: the dataset of "load" decoded from byte spans.
#include "load_fast.h"

#include "dataset_schema.h"
#include "decode_value.h"
#include "span_source.h"

namespace xray {
namespace {

Result<Dataset> decode_dataset_span(decoding::SpanSource& source,
                                    const decoding::SpanValue& value) {
  decoding::ValueDecoder<decoding::SpanSource> decoder(source);
  Dataset out;
  if (!decoder.decode(value, out)) return std::move(decoder.error());
  return out;
}

}  // namespace

Result<Dataset> decode_dataset_checked_text(std::string_view text) {
  decoding::SpanSource source(text);
  const decoding::SpanValue root = source.root();
  return decode_dataset_span(source, root);
}

std::optional<Result<Dataset>> decode_checked_load_command(std::string_view text) {
  decoding::SpanSource source(text);
  const decoding::SpanValue root = source.root();
  if (root.kind != JsonKind::Object) return std::nullopt;
  // The members in document order, the last of repeated names winning. The
  // dataset is decoded where it stands, so it is never skipped over first;
  // whether it was wanted is known once the last "cmd" has been seen.
  std::optional<decoding::SpanValue> cmd;
  std::optional<Result<Dataset>> dataset;
  source.each_member_in_order(root, [&](std::string_view key, const decoding::SpanValue& value) {
    if (key == "cmd") cmd = value;
    if (key == "dataset") dataset = decode_dataset_span(source, value);
  });
  if (!cmd || cmd->kind != JsonKind::String || source.summary(*cmd).text != "load") {
    return std::nullopt;
  }
  if (!dataset) return Result<Dataset>(XrayError::bad_spec("load requires 'dataset'"));
  return std::move(*dataset);
}

std::optional<Dataset> load_in_one_pass(std::string_view text) {
  decoding::CheckingSpanSource source(text);
  const decoding::SpanValue root = source.root();
  if (source.failed() || root.kind != JsonKind::Object) return std::nullopt;
  bool load = false;
  std::optional<Dataset> dataset;
  // Anything but the common case abandons the walk at once; the exact path
  // knows what repeated members and other commands mean.
  source.each_member_in_order(root, [&](std::string_view key, const decoding::SpanValue& value) {
    if (key == "cmd") {
      if (load || value.kind != JsonKind::String || source.summary(value).text != "load") {
        source.abandon();
      }
      load = true;
    } else if (key == "dataset") {
      if (dataset) return source.abandon();
      decoding::ValueDecoder<decoding::CheckingSpanSource> decoder(source);
      if (!decoder.decode(value, dataset.emplace())) source.abandon();
    }
  });
  if (!load || !dataset || !source.only_space_after(root)) return std::nullopt;
  return dataset;
}

}  // namespace xray
