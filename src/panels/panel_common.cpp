// src/panels/panel_common.cpp: the out-of-line helpers of the panels.
#include "panels/panel_common.h"

#include <algorithm>

namespace xray {

std::string u128_text(UInt128 value) {
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

std::string i128_text(Int128 value) {
  if (value >= 0) return u128_text(static_cast<UInt128>(value));
  std::string text = u128_text(static_cast<UInt128>(-(value + 1)) + 1);
  text.insert(text.begin(), '-');
  return text;
}

}  // namespace xray
