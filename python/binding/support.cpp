// python/binding/support.cpp: exceptions, thread serials, str arguments and
// cancellation checks shared by both extension modules.
#include "binding/support.h"

#include <atomic>
#include <exception>
#include <new>
#include <string>

namespace xray::binding {

void raise_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

void add_note_to_pending_error(const char* note) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    PyObject* done = PyObject_CallMethod(value, "add_note", "s", note);
    if (done == nullptr) PyErr_Clear();
    Py_XDECREF(done);
  }
  PyErr_Restore(type, value, traceback);
}

uint64_t thread_serial() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t serial = next.fetch_add(1, std::memory_order_relaxed);
  return serial;
}

std::optional<std::string_view> argument_text(PyObject* arg, const char* param) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyUnicode_Check(arg)) {
    // Exact texts, quotes around None included: callers match them.
    if (arg == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
    } else if (PyObject* type_name = PyType_GetName(Py_TYPE(arg)); type_name != nullptr) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", type_name);
      Py_DECREF(type_name);
    }
  } else {
    data = PyUnicode_AsUTF8AndSize(arg, &size);  // lone surrogates: UnicodeEncodeError
  }
  if (data == nullptr) {
    const std::string note = std::string("while processing '") + param + "'";
    add_note_to_pending_error(note.c_str());
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The lock is not held while the type is created: creation may run Python
// code (a collection) that lets another thread in, which would then wait on
// the lock while holding the interpreter lock. Should two creations race,
// the first one published wins and the other is dropped.
PyObject* ProcessType::get() {
  {
    const std::lock_guard<std::mutex> lock(guard_);
    if (published_ != nullptr) return published_;
  }
  PyObject* created = PyType_FromSpec(spec_);
  if (created == nullptr) return nullptr;
  PyObject* spare = nullptr;
  {
    const std::lock_guard<std::mutex> lock(guard_);
    if (published_ == nullptr) {
      published_ = created;
    } else {
      spare = created;
    }
  }
  Py_XDECREF(spare);
  return published_;
}

bool optional_int64(PyObject* arg, const char* name, std::optional<int64_t>& out) {
  if (arg == nullptr || arg == Py_None) return true;
  if (!PyLong_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int (ms) or None", name);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(arg, &overflow);
  if (overflow != 0) {
    PyErr_Format(PyExc_ValueError, "%s %R is out of the range of int64 ms", name, arg);
    return false;
  }
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool python_signal_raised(void* /*unused*/) { return PyErr_CheckSignals() != 0; }

bool ReleasedInterpreter::signal_raised(void* context) {
  auto* self = static_cast<ReleasedInterpreter*>(context);
  const auto now = std::chrono::steady_clock::now();
  if (now - self->last_check_ < kCheckEvery) return false;
  self->last_check_ = now;
  PyEval_RestoreThread(self->saved_);
  const bool raised = PyErr_CheckSignals() != 0;
  self->saved_ = PyEval_SaveThread();
  return raised;
}

}  // namespace xray::binding
