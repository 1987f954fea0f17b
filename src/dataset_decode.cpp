// src/dataset_decode.cpp: the "dataset" member of "load" as a Dataset.
#include "dataset.h"
#include "dataset_schema.h"
#include "decode_value.h"

namespace xray {

Result<Dataset> decode_dataset_value(const JsonValue& value) {
  return decoding::decode_from_value<Dataset>(value);
}

}  // namespace xray
