// src/json/json_reader.h: strict JSON text to a JsonValue tree, or a syntax check alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "json/json_value.h"

namespace xray {

// Reads the one value a whole text holds; only whitespace may follow it.
// Faults are Parse errors: "<fault> at line L column C".
[[nodiscard]] Result<JsonDocument> read_json_value(std::string_view text);

// Checks that a whole text is one JSON value, building nothing. Gives exactly
// the fault read_json_value would give.
[[nodiscard]] Status check_json_syntax(std::string_view text);

}  // namespace xray
