// src/instance.h: the state of one instance and the command entry point.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "model/dataset.h"
#include "model/spec.h"

namespace xray {

namespace decoding {
struct ListSplitting;
}  // namespace decoding

class XrayInstance {
 public:
  explicit XrayInstance(std::optional<XraySpec> spec = std::nullopt) : spec_(std::move(spec)) {}

  // Applies one JSON command and returns its response text. Never fails:
  // faults come back as {"ok":false,"error":...} and leave the instance unchanged.
  std::string command(std::string_view cmd_json);

  const std::optional<XraySpec>& spec() const { return spec_; }
  const Dataset& dataset() const { return dataset_; }

  // How "load" splits its long lists over threads (not owned); tests use
  // small chunks and pools of their own. Null, the default: the process
  // pool's threads when it has two or more.
  void split_loads_with(const decoding::ListSplitting* splitting) { load_splitting_ = splitting; }

 private:
  std::optional<XraySpec> spec_;
  Dataset dataset_;
  const decoding::ListSplitting* load_splitting_ = nullptr;
};

}  // namespace xray
