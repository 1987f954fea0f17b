// src/xray.h: the state of one instance and the command entry point.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "dataset.h"
#include "errors.h"
#include "spec.h"

namespace xray {

inline constexpr std::string_view kVersion = "0.2.0";

class XrayInstance {
 public:
  explicit XrayInstance(std::optional<XraySpec> spec = std::nullopt) : spec_(std::move(spec)) {}

  // Applies one JSON command and returns its response text. Never fails:
  // faults come back as {"ok":false,"error":...} and leave the instance unchanged.
  std::string command(std::string_view cmd_json);

  const std::optional<XraySpec>& spec() const { return spec_; }
  const Dataset& dataset() const { return dataset_; }

 private:
  std::optional<XraySpec> spec_;
  Dataset dataset_;
};

// The constructor's spec: trims Unicode White_Space from both ends; an empty
// text or exactly "{}" gives no spec; otherwise decode_spec_text then
// validate_spec on the trimmed text.
[[nodiscard]] Result<std::optional<XraySpec>> spec_from_constructor_text(std::string_view text);

// text without the Unicode White_Space code points at either end (UTF-8).
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace xray
