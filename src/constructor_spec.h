// src/constructor_spec.h: the spec text given to the constructor.
#pragma once

#include <optional>
#include <string_view>

#include "core/errors.h"
#include "model/spec.h"

namespace xray {

// The constructor's spec: trims Unicode White_Space from both ends; an empty
// text or exactly "{}" gives no spec; otherwise decode_spec_text then
// validate_spec on the trimmed text.
[[nodiscard]] Result<std::optional<XraySpec>> spec_from_constructor_text(std::string_view text);

// text without the Unicode White_Space code points at either end (UTF-8).
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace xray
