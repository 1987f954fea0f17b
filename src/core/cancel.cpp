// src/core/cancel.cpp: the thread's cancellation scope.
#include "core/cancel.h"

namespace xray {
namespace {

thread_local CancelBinding t_binding;

}  // namespace

CancelScope::CancelScope(CancelCheck check, void* context, uint32_t stride)
    : check_(check),
      context_(context),
      stride_(stride > 0 ? stride : 1),
      previous_(t_binding.scope),
      previous_owned_(t_binding.owned) {
  t_binding = CancelBinding{this, true};
}

CancelScope::~CancelScope() { t_binding = CancelBinding{previous_, previous_owned_}; }

bool CancelScope::check_now() {
  if (cancelled()) return true;
  if (check_ != nullptr && check_(context_)) cancelled_.store(true, std::memory_order_relaxed);
  return cancelled();
}

CancelBinding current_cancel() { return t_binding; }

BorrowedCancel::BorrowedCancel(CancelScope* scope) : previous_(t_binding) {
  t_binding = CancelBinding{scope, false};
}

BorrowedCancel::~BorrowedCancel() { t_binding = previous_; }

bool cancel_requested() {
  const CancelBinding binding = t_binding;
  return binding.scope != nullptr && binding.scope->cancelled();
}

XrayError cancelled_error() { return XrayError::data("command cancelled"); }

}  // namespace xray
