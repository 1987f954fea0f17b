// python/module.cpp: the extension module _tarnix_xray and its Xray class.
// The only file that includes Python.h; it uses the stable ABI only, so one
// build serves every interpreter from the floor version up.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/support.h"
#include "constructor_spec.h"
#include "core/cancel.h"
#include "core/errors.h"
#include "core/version.h"
#include "instance.h"

namespace {

using xray::binding::argument_text;
using xray::binding::new_str;
using xray::binding::python_signal_raised;
using xray::binding::raise_from_current_exception;
using xray::binding::thread_serial;

constexpr const char* kModuleDoc = "The native module (`tarnix_xray._tarnix_xray`).";
constexpr const char* kXrayDoc =
    "Xray(spec_json)\n--\n\n"
    "An xray instance driven by JSON commands.\n\n"
    "`unsendable`: a handle owns a mutable dataset and spec, so it is bound to the\n"
    "thread that created it.";
constexpr const char* kCommandDoc =
    "command($self, cmd_json)\n--\n\nApply a command JSON and return the resulting response JSON.";
constexpr const char* kVersionDoc = "version()\n--\n\nThe library version.";

// The thread-binding and re-entry texts are part of the interface: callers match them.
constexpr const char* kSentToAnotherThread =
    "_tarnix_xray::PyXray is unsendable, but sent to another thread";
constexpr const char* kDroppedOnAnotherThread =
    "_tarnix_xray::PyXray is unsendable, but is being dropped on another thread";

constexpr intptr_t kIdle = 0;
constexpr intptr_t kInCommand = -1;

struct PyXray {
  PyObject_HEAD
  xray::XrayInstance* state;  // owned; leaked when released on a foreign thread
  intptr_t use_flag;          // kIdle or kInCommand, only through std::atomic_ref
  uint64_t owner_serial;      // thread_serial() of the constructing thread
  unsigned long owner_ident;  // its threading.get_ident(), for messages
};

PyXray* as_xray(PyObject* self) { return reinterpret_cast<PyXray*>(self); }

// ---------------------------------------------------------------------------
// Argument binding: one required parameter, by position or by keyword.

struct Parameter {
  const char* callable;  // "Xray.__new__()" or "Xray.command()"
  const char* name;      // "spec_json" or "cmd_json"
};

// Returns the bound argument (borrowed), or nullptr with a TypeError set.
// The TypeError texts are CPython's own wording, kept exact: callers match them.
PyObject* bind_argument(PyObject* args, PyObject* kwargs, const Parameter& param) {
  const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_Size(args);
  if (positional < 0) return nullptr;
  if (positional > 1) {
    // "1 positional arguments" (sic) is the wording callers match; do not correct it.
    PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given",
                 param.callable, positional);
    return nullptr;
  }
  PyObject* bound = positional == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      // CPython hands over str keys only; %U names the key without calling __str__.
      if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, param.name) != 0) {
        PyErr_Format(PyExc_TypeError,
                     PyUnicode_Check(key) ? "%s got an unexpected keyword argument '%U'"
                                          : "%s got an unexpected keyword argument '%S'",
                     param.callable, key);
        return nullptr;
      }
      if (bound != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", param.callable,
                     param.name);
        return nullptr;
      }
      bound = value;
    }
  }
  if (bound == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", param.callable,
                 param.name);
  }
  return bound;
}

// ---------------------------------------------------------------------------
// The Xray type.

PyObject* xray_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg = bind_argument(args, kwargs, {"Xray.__new__()", "spec_json"});
  if (arg == nullptr) return nullptr;
  const std::optional<std::string_view> text = argument_text(arg, "spec_json");
  if (!text) return nullptr;

  xray::XrayInstance* state = nullptr;
  try {
    xray::Result<std::optional<xray::XraySpec>> spec = xray::spec_from_constructor_text(*text);
    if (!spec) {
      const std::string message = xray::display_text(spec.error());
      PyObject* py_message = new_str(message);
      if (py_message != nullptr) {
        PyErr_SetObject(PyExc_ValueError, py_message);
        Py_DECREF(py_message);
      }
      return nullptr;
    }
    // Decoding and validation have succeeded: only now is anything allocated.
    state = new xray::XrayInstance(std::move(spec).value());
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }

  auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  PyObject* no_args = PyTuple_New(0);
  PyObject* self = no_args == nullptr ? nullptr : base_new(type, no_args, nullptr);
  Py_XDECREF(no_args);
  if (self == nullptr) {
    delete state;
    return nullptr;
  }
  PyXray* xr = as_xray(self);
  xr->state = state;
  xr->use_flag = kIdle;
  xr->owner_serial = thread_serial();
  xr->owner_ident = PyThread_get_thread_ident();
  return self;
}

void xray_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyXray* xr = as_xray(self);
  if (xr->owner_serial == thread_serial()) {
    delete xr->state;
  } else {
    // Another thread may not touch the state, so it stays allocated. The
    // report names the type: the object itself is half gone and must not
    // escape into a hook.
    PyObject* type_pending = nullptr;
    PyObject* value_pending = nullptr;
    PyObject* traceback_pending = nullptr;
    PyErr_Fetch(&type_pending, &value_pending, &traceback_pending);
    PyErr_SetString(PyExc_RuntimeError, kDroppedOnAnotherThread);
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
    PyErr_Restore(type_pending, value_pending, traceback_pending);
  }
  xr->state = nullptr;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* xray_command(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* arg = bind_argument(args, kwargs, {"Xray.command()", "cmd_json"});
  if (arg == nullptr) return nullptr;

  PyXray* xr = as_xray(self);
  if (const uint64_t current = thread_serial(); xr->owner_serial != current) {
    PyErr_Format(
        PyExc_RuntimeError, "%s (owner: thread #%llu, ident %lu; current: thread #%llu, ident %lu)",
        kSentToAnotherThread, static_cast<unsigned long long>(xr->owner_serial), xr->owner_ident,
        static_cast<unsigned long long>(current), PyThread_get_thread_ident());
    return nullptr;
  }

  std::atomic_ref<intptr_t> use_flag(xr->use_flag);
  intptr_t expected = kIdle;
  if (!use_flag.compare_exchange_strong(expected, kInCommand)) {
    // Re-entry while a command runs; the text is part of the interface: callers match it.
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }

  PyObject* result = nullptr;
  if (const std::optional<std::string_view> text = argument_text(arg, "cmd_json")) {
    std::optional<xray::CancelScope> cancel;
    try {
      cancel.emplace(python_signal_raised, nullptr);
      std::string response = xr->state->command(*text);
      // A cancelled command's response is dropped: the handler's exception is set.
      if (!cancel->cancelled()) result = new_str(response);
    } catch (...) {
      if (!cancel || !cancel->cancelled()) raise_from_current_exception();
    }
  }
  use_flag.store(kIdle);
  return result;
}

PyObject* xray_version(PyObject* /*unused*/, PyObject* /*unused*/) {
  return new_str(xray::kVersion);
}

PyMethodDef kXrayMethods[] = {
    {"command", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(xray_command)),
     METH_VARARGS | METH_KEYWORDS, kCommandDoc},
    {"version", xray_version, METH_NOARGS | METH_STATIC, kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kXraySlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(xray_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(xray_dealloc)},
    {Py_tp_methods, kXrayMethods},
    {Py_tp_doc, const_cast<char*>(kXrayDoc)},
    {0, nullptr},
};

// The module part makes __module__ "builtins" and __name__ "Xray". A name
// without a dot would leave __module__ unset (an AttributeError) and raise a
// DeprecationWarning when the type is created. Keep "builtins": callers match __module__.
PyType_Spec kXraySpec = {
    "builtins.Xray", static_cast<int>(sizeof(PyXray)), 0, Py_TPFLAGS_DEFAULT, kXraySlots,
};

PyObject* xray_type() {
  static xray::binding::ProcessType type(&kXraySpec);
  return type.get();
}

// ---------------------------------------------------------------------------
// The module.

// Sets module.name = value and appends name to the module's __all__, which is
// created on first use.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  PyObject* py_name = PyUnicode_FromString(name);
  const int appended = py_name == nullptr ? -1 : PyList_Append(all, py_name);
  Py_XDECREF(py_name);
  Py_DECREF(all);
  if (appended < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int module_exec(PyObject* module) {
  try {
    PyObject* version = new_str(xray::kVersion);
    if (version == nullptr) return -1;
    const int added = add_public(module, "__version__", version);
    Py_DECREF(version);
    if (added < 0) return -1;
    PyObject* type = xray_type();
    if (type == nullptr) return -1;
    return add_public(module, "Xray", type);
  } catch (...) {
    raise_from_current_exception();
    return -1;
  }
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tarnix_xray",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = kModuleSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

// CPython finds the module by the name PyInit_ + "_tarnix_xray"; it cannot be renamed.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__tarnix_xray() { return PyModuleDef_Init(&kModuleDef); }
