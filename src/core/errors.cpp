// src/core/errors.cpp: the display text of an error.
#include "core/errors.h"

namespace xray {

std::string display_text(const XrayError& error) {
  std::string_view prefix;
  switch (error.kind) {
    case ErrorKind::Parse: prefix = "parse: "; break;
    case ErrorKind::BadSpec: prefix = "bad spec: "; break;
    case ErrorKind::Data: prefix = "data: "; break;
  }
  std::string text;
  text.reserve(prefix.size() + error.message.size());
  text.append(prefix);
  text.append(error.message);
  return text;
}

}  // namespace xray
