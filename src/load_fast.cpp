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
  std::optional<decoding::SpanValue> cmd;
  std::optional<decoding::SpanValue> dataset;
  (void)source.each_member(root, [&](std::string_view key, const decoding::SpanValue& value) {
    if (key == "cmd") cmd = value;
    if (key == "dataset") dataset = value;
    return true;
  });
  if (!cmd || cmd->kind != JsonKind::String || source.summary(*cmd).text != "load") {
    return std::nullopt;
  }
  if (!dataset) return Result<Dataset>(XrayError::bad_spec("load requires 'dataset'"));
  return decode_dataset_span(source, *dataset);
}

}  // namespace xray
