// src/protocol/responses.cpp: the fixed response texts of the commands.
#include "protocol/responses.h"

#include "core/version.h"
#include "json/json_writer.h"

namespace xray {

std::string error_response(const XrayError& error) {
  std::string out;
  const std::string text = display_text(error);
  out.reserve(text.size() + 24);
  out.append(R"({"ok":false,"error":)");
  write_json_string(text, out);
  out.push_back('}');
  return out;
}

std::string loaded_response(uint64_t count) {
  std::string out = R"({"ok":true,"loaded":)";
  append_u64(count, out);
  out.push_back('}');
  return out;
}

std::string version_response() {
  std::string out = R"({"version":)";
  write_json_string(kVersion, out);
  out.push_back('}');
  return out;
}

}  // namespace xray
