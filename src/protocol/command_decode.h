// src/protocol/command_decode.h: a command text read without a tree.
//
// Every function here gives exactly what reading the text with
// read_json_value and decoding the members of its object would give: the
// same values, or the same first error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "decode/list_chunks.h"
#include "model/dataset.h"
#include "model/spec.h"

namespace xray {

// The members a command may carry, read from a text that check_json_syntax
// accepted, in one walk over its object (the last of repeated names wins).
struct CheckedCommand {
  std::optional<std::string> name;         // "cmd", when it is a string
  std::optional<Result<Dataset>> dataset;  // "dataset", decoded
  std::optional<Result<XraySpec>> spec;    // "spec", decoded
  std::optional<int64_t> ts;               // ms, "ts" when it is a 64-bit integer
};

[[nodiscard]] CheckedCommand read_checked_command(std::string_view text);

// The dataset a whole checked text holds, by the value setting's rules.
[[nodiscard]] Result<Dataset> decode_dataset_checked_text(std::string_view text);

// The common "load" in one pass that checks the whole text and decodes its
// dataset at once: the text is valid, its object holds one "cmd", which is
// "load", and one "dataset", which decodes. Then the dataset; otherwise
// std::nullopt, with everything the pass built released, and the caller
// checks the text and reads it with read_checked_command. With splitting,
// long lists are decoded in chunks on its threads; the outcome is the same.
[[nodiscard]] std::optional<Dataset> decode_load_in_one_pass(
    std::string_view text, const decoding::ListSplitting* splitting = nullptr);

}  // namespace xray
