// Fuzz target of the JSON reader: the tree reader, the syntax check, a
// pull-lexer walk and skip_value must agree on every input (the same value,
// or the same fault text and position), and nothing may crash or overflow.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "json_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string outcome =
      xray::testing::reader_outcome(std::string_view(reinterpret_cast<const char*>(data), size));
  if (outcome.starts_with("disagreement")) {
    std::fprintf(stderr, "%s\n", outcome.c_str());
    std::abort();
  }
  return 0;
}
