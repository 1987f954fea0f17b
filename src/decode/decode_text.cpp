// src/decode/decode_text.cpp: positioned rejections of the text setting.
#include "decode/decode_text.h"

#include "json/json_scanner.h"

namespace xray::decoding {

XrayError TextSetting::reject(std::size_t at, std::string message) const {
  message.append(position_suffix(text_, fixed_ != kNotFixed ? fixed_ : at));
  return XrayError::parse(std::move(message));
}

}  // namespace xray::decoding
