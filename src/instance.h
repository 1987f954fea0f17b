// src/instance.h: the state of one instance and the command entry point.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "engine/window.h"
#include "model/dataset.h"
#include "model/frame.h"
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

  // What "load" does with a decoded dataset: its lists sorted by ts and its
  // book indexed, then it replaces the held one. Gives the record count; a
  // cancelled load changes nothing.
  Result<uint64_t> load(Dataset dataset);

  // The frame "frame" (no at) or "frame_at" would give, as data; with a
  // trailing window of window_ms, the frame of the last window_ms ms up to
  // the cursor: from max(cursor - window_ms + 1, from_ts) to the cursor,
  // the cursor clamped to to_ts as always. The errors of those commands.
  Result<Frame> frame(std::optional<int64_t> at, std::optional<int64_t> window_ms) const;

  // The window frame(at, window_ms) reads, by the same rule and with the
  // same errors for a missing spec or dataset, for analyses beside the panels.
  Result<FrameWindow> window(std::optional<int64_t> at, std::optional<int64_t> window_ms) const;

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
