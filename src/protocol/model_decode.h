// src/protocol/model_decode.h: the JSON forms of the dataset and the spec.
#pragma once

#include <string_view>

#include "core/errors.h"
#include "json/json_value.h"
#include "model/dataset.h"
#include "model/spec.h"

namespace xray {

// The "dataset" member of "load", value setting.
[[nodiscard]] Result<Dataset> decode_dataset_value(const JsonValue& value);
// The constructor's text (already trimmed), text setting: members in document
// order, duplicates rejected, every message with the position suffix.
[[nodiscard]] Result<XraySpec> decode_spec_text(std::string_view text);
// The "spec" member of "set_spec", value setting.
[[nodiscard]] Result<XraySpec> decode_spec_value(const JsonValue& value);

}  // namespace xray
