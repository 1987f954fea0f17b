// src/load_fast.h: "load" straight from the command text, without a tree.
//
// The two decode_* functions expect a whole text that check_json_syntax
// accepted, and give exactly what reading it with read_json_value and
// decoding the value would give: the same dataset, or the same first error.
#pragma once

#include <optional>
#include <string_view>

#include "dataset.h"
#include "errors.h"

namespace xray {

// The dataset the text holds, by the value setting's rules.
[[nodiscard]] Result<Dataset> decode_dataset_checked_text(std::string_view text);

// When the command is an object whose "cmd" is the string "load": its
// decoded "dataset" member, or "load requires 'dataset'". std::nullopt for
// every other command (including one without a usable "cmd").
[[nodiscard]] std::optional<Result<Dataset>> decode_checked_load_command(std::string_view text);

// One pass that checks the whole text and decodes the dataset of a "load"
// command at once, for the common case only: the text is valid, its object
// holds one "cmd", which is "load", and one "dataset", which decodes. Then
// the dataset, the same as the exact path's; otherwise std::nullopt, with
// everything the pass built released, and the exact path (check, then
// decode_checked_load_command or the tree) decides.
[[nodiscard]] std::optional<Dataset> load_in_one_pass(std::string_view text);

}  // namespace xray
