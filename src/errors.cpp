// src/errors.cpp: display text and the error response.
#include "errors.h"

#include "json_text.h"

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

std::string error_response(const XrayError& error) {
  std::string out;
  const std::string text = display_text(error);
  out.reserve(text.size() + 24);
  out.append(R"({"ok":false,"error":)");
  write_json_string(text, out);
  out.push_back('}');
  return out;
}

}  // namespace xray
