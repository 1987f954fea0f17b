// src/decode/span_source.cpp: reading values out of a text as byte spans.
#include "decode/span_source.h"

#include <algorithm>

#include "json/json_scanner.h"
#include "json/json_skip.h"

namespace xray::decoding {

template <bool kChecking>
std::size_t BasicSpanSource<kChecking>::skip_container(std::size_t pos, std::size_t& count) const {
  return skip_checked_container(text_, pos, count);
}

template <bool kChecking>
std::string_view BasicSpanSource<kChecking>::escaped_key(std::size_t quote) {
  JsonScanner scan(text_, quote, kJsonDepthBudget);
  std::string buffer;
  std::string_view decoded;
  (void)scan.scan_string<true>(decoded, buffer);
  return keys_.emplace_back(decoded);
}

template <bool kChecking>
typename BasicSpanSource<kChecking>::Gathered BasicSpanSource<kChecking>::gather(const SpanValue& object) {
  const std::size_t first = members_.size();
  const std::size_t keys = keys_.size();
  walk_members(object, [&](std::string_view key, const SpanValue& value) {
    members_.push_back({key, value});
  });

  // Ascending key bytes, stable, then only the last of equal keys kept: the
  // reader's rule for objects.
  const auto begin = members_.begin() + static_cast<std::ptrdiff_t>(first);
  const auto by_key = [](const Member& a, const Member& b) { return a.key < b.key; };
  if (members_.size() - first <= 16) {
    for (auto it = begin + 1; it < members_.end(); ++it) {
      for (auto j = it; j > begin && by_key(*j, *(j - 1)); --j) std::iter_swap(j, j - 1);
    }
  } else {
    std::stable_sort(begin, members_.end(), by_key);
  }
  std::size_t kept = first;
  for (std::size_t i = first; i < members_.size(); ++i) {
    if (i + 1 < members_.size() && members_[i].key == members_[i + 1].key) continue;
    members_[kept++] = members_[i];
  }
  members_.resize(kept);
  return {first, kept - first, keys};
}

// Both modes, member by member: the checking one has no element_count.
#define XRAY_SPAN_SOURCE_MEMBERS(kChecking)                                                   \
  template std::size_t BasicSpanSource<kChecking>::skip_container(std::size_t, std::size_t&) \
      const;                                                                                  \
  template std::string_view BasicSpanSource<kChecking>::escaped_key(std::size_t);             \
  template BasicSpanSource<kChecking>::Gathered BasicSpanSource<kChecking>::gather(const SpanValue&);
XRAY_SPAN_SOURCE_MEMBERS(false)
XRAY_SPAN_SOURCE_MEMBERS(true)
#undef XRAY_SPAN_SOURCE_MEMBERS

}  // namespace xray::decoding
