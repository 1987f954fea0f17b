// src/decode/decode_value.h: the value setting of typed decoding over a parsed value.
//
// The walk of decode_walk.h over a JsonValue: its objects present their
// members in ascending byte order of the keys, each key once (the later of
// repeated keys won); messages carry no position. Byte spans of a text decode
// in this setting too (command_decode.cpp), with exactly the same rules.
#pragma once

#include <utility>

#include "core/errors.h"
#include "decode/decode_walk.h"
#include "decode/tree_source.h"
#include "json/json_value.h"

namespace xray::decoding {

// Decodes a parsed value as T in the value setting.
template <class T>
[[nodiscard]] Result<T> decode_from_value(const JsonValue& value) {
  TreeSource source;
  Decoder<TreeSource, ValueSetting> decoder(source);
  const TreeSource::Value root = &value;
  T out{};
  if (!decoder.decode(root, out)) return std::move(decoder.error());
  return out;
}

}  // namespace xray::decoding
