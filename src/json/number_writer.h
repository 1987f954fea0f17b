// src/json/number_writer.h: the number rule written straight into a buffer, with
// fast paths for the values frames are made of.
#pragma once

#include <cstddef>

#include "json/json_writer.h"

namespace xray {

// Room write_json_number may use: the longest number text or "null".
inline constexpr std::size_t kNumberTextMax = kDoubleTextMax;

// Writes value as format_double would, or null when it is not finite, at out
// (at least kNumberTextMax bytes) and returns the end of the text. Zeros,
// integers below 10^15 and decimals of up to 15 significant digits with at
// most 9 decimals are written directly; every other value goes through
// format_double_to.
char* write_json_number(double value, char* out);

}  // namespace xray
