// python/binding/support.h: what both extension modules need of CPython:
// C++ exceptions turned into Python ones, the owner thread's serial, the
// UTF-8 view of a str argument, and the cancellation checks of a command.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/cancel.h"

namespace xray::binding {

// Turns the C++ exception being handled into a Python error, so none crosses
// into CPython. Call only from inside a catch block.
void raise_from_current_exception();

// Adds `note` to the pending exception through its add_note method. If that
// fails, the original exception is kept without the note.
void add_note_to_pending_error(const char* note);

// A number per thread, never reused within the process. Thread idents are
// not enough: a new thread often inherits the ident of a finished one, and
// would then pass for the owner of that thread's instances.
uint64_t thread_serial();

// The UTF-8 text of a str argument. For a compact ASCII str this is the
// string's own buffer, so a command of hundreds of MB is not copied; the view
// lives as long as the argument. On failure the error carries the note
// "while processing '<param>'".
std::optional<std::string_view> argument_text(PyObject* arg, const char* param);

PyObject* new_str(std::string_view text);

// An int argument as int64 (ms), or nullopt for None or an absent argument;
// false with a TypeError or ValueError naming it otherwise.
bool optional_int64(PyObject* arg, const char* name, std::optional<int64_t>& out);

// A heap type made once per process and shared by every initialisation of
// the module; a failed attempt leaves the way open for the next one.
class ProcessType {
 public:
  explicit ProcessType(PyType_Spec* spec) : spec_(spec) {}
  // Borrowed; null with an exception set when the type cannot be made.
  PyObject* get();

 private:
  PyType_Spec* spec_;
  std::mutex guard_;
  PyObject* published_ = nullptr;  // kept for the life of the process
};

// The core's cancellation check while the command's thread holds the
// interpreter lock: runs the pending signal handlers. One that raises
// (SIGINT's raises KeyboardInterrupt) stops the command, which then changes
// nothing, and its exception is the command's.
bool python_signal_raised(void* unused);

// The interpreter lock given up for the life of the object, so other
// threads run while the core works. Its cancellation check takes the lock
// back to run the signal handlers, at most once per kCheckEvery: a busy
// interpreter could otherwise hold each poll up by its switch interval.
class ReleasedInterpreter {
 public:
  static constexpr std::chrono::milliseconds kCheckEvery{10};

  ReleasedInterpreter() : saved_(PyEval_SaveThread()) {}
  ~ReleasedInterpreter() { PyEval_RestoreThread(saved_); }
  ReleasedInterpreter(const ReleasedInterpreter&) = delete;
  ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

  // A CancelCheck; context is the ReleasedInterpreter.
  static bool signal_raised(void* context);

 private:
  PyThreadState* saved_;
  std::chrono::steady_clock::time_point last_check_ = std::chrono::steady_clock::now();
};

// Runs work() without the interpreter lock, stopped by Ctrl-C as a command
// is: cancelled is set when a signal handler raised, its exception then
// pending. An exception of work is raised again with the lock held.
template <class Work>
auto run_released(Work&& work, bool& cancelled) -> decltype(work()) {
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  {
    ReleasedInterpreter released;
    CancelScope scope(&ReleasedInterpreter::signal_raised, &released);
    try {
      result.emplace(work());
    } catch (...) {
      failure = std::current_exception();
    }
    cancelled = scope.cancelled();
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// The buffer-protocol format of an array element: double, int64_t, or a byte.
template <class T>
constexpr const char* buffer_format() {
  if constexpr (std::is_same_v<T, double>) return "d";
  if constexpr (std::is_same_v<T, int64_t>) return "q";
  return "B";
}

}  // namespace xray::binding
