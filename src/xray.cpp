// src/xray.cpp: command dispatch over the instance state.
#include "xray.h"

#include <utility>

#include "frame.h"
#include "json_reader.h"
#include "json_text.h"
#include "load_fast.h"

namespace xray {
namespace {

constexpr std::string_view kOk = R"({"ok":true})";

std::string version_response() {
  std::string out = R"({"version":)";
  write_json_string(kVersion, out);
  out.push_back('}');
  return out;
}

// "ts" of frame_at: an integer that fits a signed 64-bit value.
std::optional<int64_t> integer_ts(const JsonValue* ts) {
  if (ts == nullptr || !ts->is_number()) return std::nullopt;
  const JsonNumber n = ts->as_number();
  if (n.cls == NumberClass::Signed) return n.i;
  if (n.cls == NumberClass::Unsigned && n.u <= static_cast<uint64_t>(INT64_MAX)) {
    return static_cast<int64_t>(n.u);
  }
  return std::nullopt;
}

}  // namespace

class CommandRunner {
 public:
  CommandRunner(std::optional<XraySpec>& spec, Dataset& dataset) : spec_(spec), dataset_(dataset) {}

  Result<std::string> run(std::string_view cmd_json) {
    // "load" is decoded straight from the text: a tree of a large dataset
    // would cost several times the text in memory. Usually one pass checks
    // and decodes at once; when it gives up, the text is checked first and
    // then decoded. Every other command is small and is read as a tree.
    if (std::optional<Dataset> loaded = load_in_one_pass(cmd_json)) {
      return load(std::move(*loaded));
    }
    if (Status syntax = check_json_syntax(cmd_json); !syntax) return std::move(syntax).error();
    if (std::optional<Result<Dataset>> loaded = decode_checked_load_command(cmd_json)) {
      return load(std::move(*loaded));
    }
    Result<JsonDocument> doc = read_json_value(cmd_json);
    if (!doc) return std::move(doc).error();
    const JsonValue& root = doc->root();
    const JsonValue* cmd = root.is_object() ? root.find("cmd") : nullptr;
    if (cmd == nullptr || !cmd->is_string()) return XrayError::bad_spec("missing 'cmd'");
    const std::string_view name = cmd->as_string();
    if (name == "set_spec") return set_spec(root);
    if (name == "frame") return frame();
    if (name == "frame_at") return frame_at(root);
    if (name == "bounds") return bounds();
    if (name == "reset") {
      dataset_ = Dataset{};
      return std::string(kOk);
    }
    if (name == "version") return version_response();
    return XrayError::bad_spec("unknown cmd: " + std::string(name));
  }

 private:
  Result<std::string> load(Result<Dataset> decoded) {
    if (!decoded) return std::move(decoded).error();
    sort_by_ts(*decoded);
    const uint64_t count = record_count(*decoded);
    dataset_ = std::move(decoded).value();
    std::string out = R"({"ok":true,"loaded":)";
    append_u64(count, out);
    out.push_back('}');
    return out;
  }

  Result<std::string> set_spec(const JsonValue& root) {
    const JsonValue* member = root.find("spec");
    if (member == nullptr) return XrayError::bad_spec("set_spec requires 'spec'");
    Result<XraySpec> decoded = decode_spec_value(*member);
    if (!decoded) return std::move(decoded).error();
    if (Status valid = validate_spec(*decoded); !valid) return std::move(valid).error();
    spec_ = std::move(decoded).value();
    return std::string(kOk);
  }

  Result<std::string> frame() {
    if (!spec_) return XrayError::bad_spec("no spec set");
    // The stored lists are sorted, so their ends give the bounds.
    const std::optional<DatasetBounds> bounds = sorted_dataset_bounds(dataset_);
    if (!bounds) return XrayError::data("no dataset");
    return framed(spec_->to_ts.value_or(bounds->to_ts));
  }

  Result<std::string> frame_at(const JsonValue& root) {
    const std::optional<int64_t> ts = integer_ts(root.find("ts"));
    if (!ts) return XrayError::bad_spec("frame_at requires integer 'ts'");
    if (!spec_) return XrayError::bad_spec("no spec set");
    // Bounds are absent exactly when no record is held.
    if (record_count(dataset_) == 0) return XrayError::data("no dataset");
    return framed(*ts);
  }

  Result<std::string> framed(int64_t cursor) {
    Result<Frame> frame = evaluate_frame(dataset_, *spec_, cursor);
    if (!frame) return std::move(frame).error();
    return encode_frame(*frame);
  }

  Result<std::string> bounds() {
    const std::optional<DatasetBounds> b = sorted_dataset_bounds(dataset_);
    if (!b) return XrayError::data("no dataset");
    return encode_bounds(b->from_ts, b->to_ts, b->count);
  }

  std::optional<XraySpec>& spec_;
  Dataset& dataset_;
};

std::string XrayInstance::command(std::string_view cmd_json) {
  Result<std::string> response = CommandRunner(spec_, dataset_).run(cmd_json);
  if (!response) return error_response(response.error());
  return std::move(response).value();
}

}  // namespace xray
