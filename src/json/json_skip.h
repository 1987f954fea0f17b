// src/json/json_skip.h: finding the end of a container in a text that is already
// known to be valid JSON, eight bytes at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace xray {

// text[pos] is "[" or "{" of a valid text. Returns the offset just past the
// matching bracket; count receives the number of elements (or members).
// Only quotation marks, backslashes, brackets and commas are looked at.
[[nodiscard]] std::size_t skip_checked_container(std::string_view text, std::size_t pos,
                                                 std::size_t& count);

// The same, eight bytes at a time on every platform: what the above falls
// back to without SSE2, kept callable so that it is tested everywhere.
[[nodiscard]] std::size_t skip_checked_container_by_words(std::string_view text, std::size_t pos,
                                                          std::size_t& count);

}  // namespace xray
