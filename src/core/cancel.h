// src/core/cancel.h: stopping a long command early at the host's request.
//
// The host installs a CancelScope on the thread that runs a command; long
// loops of the core poll it through a CancelPoll. Only that thread ever
// calls the host's check (a host may allow it nowhere else); the worker
// threads of a frame borrow the scope and read the answer the caller's
// polls have kept. A command that finds itself cancelled ends with
// cancelled_error() and leaves its instance as it was.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/errors.h"

namespace xray {

// True when the running command should stop. Called only on the thread that
// installed it; it may run host code (signal handlers) before it answers.
using CancelCheck = bool (*)(void* context);

class CancelScope {
 public:
  // Polls ask the check once per `stride` calls: often enough to answer
  // within milliseconds, rarely enough to cost nothing measurable.
  static constexpr uint32_t kDefaultStride = 1024;

  // Installs the scope for this thread until it is destroyed; scopes nest.
  CancelScope(CancelCheck check, void* context, uint32_t stride = kDefaultStride);
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

  // The kept answer: once true, it stays true. Any thread.
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }
  uint32_t stride() const { return stride_; }
  // Asks the check unless the answer is already true. Installing thread only.
  bool check_now();

 private:
  CancelCheck check_;
  void* context_;
  uint32_t stride_;
  std::atomic<bool> cancelled_{false};
  CancelScope* previous_;
  bool previous_owned_;
};

// The scope commands on this thread answer to, and whether this thread
// installed it (may ask the check) or borrowed it (reads the kept answer).
struct CancelBinding {
  CancelScope* scope = nullptr;
  bool owned = false;
};
CancelBinding current_cancel();

// Lends the scope of the thread that handed out work to a worker thread
// while it does that work.
class BorrowedCancel {
 public:
  explicit BorrowedCancel(CancelScope* scope);
  ~BorrowedCancel();
  BorrowedCancel(const BorrowedCancel&) = delete;
  BorrowedCancel& operator=(const BorrowedCancel&) = delete;

 private:
  CancelBinding previous_;
};

// A loop's poll. Reads the thread's binding once; due() costs a decrement
// except every stride-th call.
class CancelPoll {
 public:
  CancelPoll()
      : binding_(current_cancel()), countdown_(binding_.scope ? binding_.scope->stride() : 0) {}

  // True when the command should stop.
  bool due() {
    if (binding_.scope == nullptr || --countdown_ != 0) return false;
    countdown_ = binding_.scope->stride();
    return now();
  }
  // Asks at once (owned) or reads the kept answer (borrowed).
  bool now() {
    if (binding_.scope == nullptr) return false;
    return binding_.owned ? binding_.scope->check_now() : binding_.scope->cancelled();
  }

 private:
  CancelBinding binding_;
  uint32_t countdown_;
};

// Whether the command on this thread was cancelled, without asking the check.
bool cancel_requested();

// What a cancelled command returns; a host with a check of its own reports
// its own error instead.
XrayError cancelled_error();

}  // namespace xray
