// src/protocol/model_decode.cpp: the dataset and the spec through the typed decoder.
#include "protocol/model_decode.h"

#include "decode/decode_text.h"
#include "decode/decode_value.h"
#include "protocol/dataset_schema.h"
#include "protocol/spec_schema.h"

namespace xray {

Result<Dataset> decode_dataset_value(const JsonValue& value) {
  return decoding::decode_from_value<Dataset>(value);
}

Result<XraySpec> decode_spec_text(std::string_view text) {
  return decoding::decode_from_text<XraySpec>(text);
}

Result<XraySpec> decode_spec_value(const JsonValue& value) {
  return decoding::decode_from_value<XraySpec>(value);
}

}  // namespace xray
