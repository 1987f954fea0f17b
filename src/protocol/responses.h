// src/protocol/responses.h: the fixed response texts of the commands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/errors.h"

namespace xray {

inline constexpr std::string_view kOkResponse = R"({"ok":true})";

// {"ok":false,"error":"<display text>"}
[[nodiscard]] std::string error_response(const XrayError& error);
// {"ok":true,"loaded":N}
[[nodiscard]] std::string loaded_response(uint64_t count);
// {"version":"<kVersion>"}
[[nodiscard]] std::string version_response();

}  // namespace xray
