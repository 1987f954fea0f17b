// src/instance.cpp: command dispatch over the instance state.
#include "instance.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "core/cancel.h"
#include "decode/list_chunks.h"
#include "engine/evaluate_frame.h"
#include "engine/pool_tasks.h"
#include "engine/window.h"
#include "engine/worker_pool.h"
#include "json/json_reader.h"
#include "protocol/command_decode.h"
#include "protocol/frame_encode.h"
#include "protocol/responses.h"

namespace xray {

class CommandRunner {
 public:
  friend class XrayInstance;
  CommandRunner(std::optional<XraySpec>& spec, Dataset& dataset,
                const decoding::ListSplitting& splitting)
      : spec_(spec), dataset_(dataset), splitting_(splitting) {}

  Result<std::string> run(std::string_view cmd_json) {
    // No tree is built: a tree of a large dataset would cost several times
    // the text in memory. The common "load" is checked and decoded in one
    // pass, its long lists in chunks on several threads; every other text
    // is checked, then its members are read once.
    if (std::optional<Dataset> loaded = decode_load_in_one_pass(cmd_json, &splitting_)) {
      return load(std::move(*loaded));
    }
    // A pass given up because the host cancelled is not tried again.
    if (cancel_requested()) return cancelled_error();
    if (Status syntax = check_json_syntax(cmd_json); !syntax) return std::move(syntax).error();
    CheckedCommand command = read_checked_command(cmd_json);
    if (!command.name) return XrayError::bad_spec("missing 'cmd'");
    const std::string_view name = *command.name;
    if (name == "load") {
      if (!command.dataset) return XrayError::bad_spec("load requires 'dataset'");
      return load(std::move(*command.dataset));
    }
    if (name == "set_spec") return set_spec(std::move(command.spec));
    if (name == "frame") return frame();
    if (name == "frame_at") return frame_at(command.ts);
    if (name == "bounds") return bounds();
    if (name == "reset") {
      dataset_ = Dataset{};
      return std::string(kOkResponse);
    }
    if (name == "version") return version_response();
    return XrayError::bad_spec("unknown cmd: " + std::string(name));
  }

 private:
  Result<std::string> load(Result<Dataset> decoded) {
    if (!decoded) return std::move(decoded).error();
    Result<uint64_t> count = store(std::move(decoded).value());
    if (!count) return std::move(count).error();
    return loaded_response(*count);
  }

  Result<uint64_t> store(Dataset decoded) {
    order_lists(decoded);
    // The last moment to stop: after it the dataset is replaced.
    if (CancelPoll().now()) return cancelled_error();
    const uint64_t count = record_count(decoded);
    dataset_ = std::move(decoded);
    return count;
  }

  Result<std::string> set_spec(std::optional<Result<XraySpec>> decoded) {
    if (!decoded) return XrayError::bad_spec("set_spec requires 'spec'");
    if (!*decoded) return std::move(*decoded).error();
    if (Status valid = validate_spec(**decoded); !valid) return std::move(valid).error();
    if (cancel_requested()) return cancelled_error();
    spec_ = std::move(*decoded).value();
    return std::string(kOkResponse);
  }

  Result<std::string> frame() {
    if (!spec_) return XrayError::bad_spec("no spec set");
    // The stored lists are sorted, so their ends give the bounds.
    const std::optional<DatasetBounds> bounds = sorted_dataset_bounds(dataset_);
    if (!bounds) return XrayError::data("no dataset");
    return framed(spec_->to_ts.value_or(bounds->to_ts));
  }

  Result<std::string> frame_at(std::optional<int64_t> ts) {
    if (!ts) return XrayError::bad_spec("frame_at requires integer 'ts'");
    if (!spec_) return XrayError::bad_spec("no spec set");
    // Bounds are absent exactly when no record is held.
    if (record_count(dataset_) == 0) return XrayError::data("no dataset");
    return framed(*ts);
  }

  Result<std::string> framed(int64_t cursor) {
    Result<Frame> frame = evaluate_frame(dataset_, *spec_, cursor);
    if (!frame) return std::move(frame).error();
    std::string text = encode_frame(*frame);
    if (cancel_requested()) return cancelled_error();
    return text;
  }

  Result<std::string> bounds() {
    const std::optional<DatasetBounds> b = sorted_dataset_bounds(dataset_);
    if (!b) return XrayError::data("no dataset");
    return encode_bounds(b->from_ts, b->to_ts, b->count);
  }

  // Sorts the lists and indexes the book. A long book (an event for every
  // 16 bytes of a window, 16,384 by default) is sorted and indexed beside
  // the other lists when there are threads for both: each list is sorted on
  // its own, so the outcome is that of sort_by_ts.
  void order_lists(Dataset& dataset) {
    TaskRunner* runner = splitting_.runner;
    if (runner == nullptr || runner->width() < 2 ||
        dataset.book.size() < splitting_.chunk_bytes / 16) {
      sort_by_ts(dataset);
      dataset.book_blocks = index_book_events(dataset.book);
      return;
    }
    Dataset book;
    book.book = std::move(dataset.book);
    auto sort = [&](std::size_t task) {
      if (task == 1) return sort_by_ts(dataset);
      sort_by_ts(book);
      book.book_blocks = index_book_events(book.book);
    };
    runner->run_tasks(2, sort);
    dataset.book = std::move(book.book);
    dataset.book_blocks = std::move(book.book_blocks);
  }

  std::optional<XraySpec>& spec_;
  Dataset& dataset_;
  const decoding::ListSplitting& splitting_;
};

// Runs fn with a CommandRunner over the instance. The process pool is looked
// up on every command: a forked child gets a pool of its own.
template <class Fn>
auto with_runner(std::optional<XraySpec>& spec, Dataset& dataset,
                 const decoding::ListSplitting* splitting, Fn&& fn) {
  WorkerPool& pool = process_pool();
  PoolTasks pool_tasks(pool);
  decoding::ListSplitting by_pool;
  if (pool.size() > 1) by_pool.runner = &pool_tasks;
  CommandRunner runner(spec, dataset, splitting ? *splitting : by_pool);
  return fn(runner);
}

Result<uint64_t> XrayInstance::load(Dataset dataset) {
  Result<uint64_t> count = with_runner(spec_, dataset_, load_splitting_, [&](CommandRunner& r) {
    return r.store(std::move(dataset));
  });
  if (!count && cancel_requested()) return cancelled_error();
  return count;
}

Result<Frame> XrayInstance::frame(std::optional<int64_t> at,
                                  std::optional<int64_t> window_ms) const {
  if (!spec_) return XrayError::bad_spec("no spec set");
  const std::optional<DatasetBounds> bounds = sorted_dataset_bounds(dataset_);
  if (!bounds) return XrayError::data("no dataset");
  const int64_t cursor = at.value_or(spec_->to_ts.value_or(bounds->to_ts));
  if (!window_ms) return evaluate_frame(dataset_, *spec_, cursor);
  if (*window_ms <= 0) return XrayError::bad_spec("window_ms must be positive");
  const FrameWindow window = frame_window(spec_->from_ts, spec_->to_ts, cursor, window_ms);
  XraySpec windowed = *spec_;
  windowed.from_ts = window.from_ts;
  return evaluate_frame(dataset_, windowed, window.cursor_ts);
}

Result<FrameWindow> XrayInstance::window(std::optional<int64_t> at,
                                         std::optional<int64_t> window_ms) const {
  if (!spec_) return XrayError::bad_spec("no spec set");
  const std::optional<DatasetBounds> bounds = sorted_dataset_bounds(dataset_);
  if (!bounds) return XrayError::data("no dataset");
  if (window_ms && *window_ms <= 0) return XrayError::bad_spec("window_ms must be positive");
  const int64_t cursor = at.value_or(spec_->to_ts.value_or(bounds->to_ts));
  return frame_window(spec_->from_ts, spec_->to_ts, cursor, window_ms);
}

std::string XrayInstance::command(std::string_view cmd_json) {
  Result<std::string> response = with_runner(spec_, dataset_, load_splitting_,
                                             [&](CommandRunner& r) { return r.run(cmd_json); });
  // A step stopped by a cancellation may have failed in its own words.
  if (!response) return error_response(cancel_requested() ? cancelled_error() : response.error());
  return std::move(response).value();
}

}  // namespace xray
