// python/native/module.cpp: the extension module _native, the package's side
// of the engine: the Engine class (columns in, arrays out), the "load" text
// written from column buffers, the engine's number text, and its schema.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/support.h"
#include "core/version.h"
#include "native/book_rows_function.h"
#include "native/engine_type.h"
#include "native/frame_type.h"
#include "native/schema_export.h"
#include "native/text_functions.h"
#include "native/window_function.h"
#include "native/word_codes_function.h"

namespace {

constexpr const char* kModuleDoc =
    "The package's native module (`tarnix_xray._native`): the Engine, the \"load\" text of\n"
    "column buffers, the engine's number text and its schema.";

int add_type(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return -1;
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

int module_exec(PyObject* module) {
  try {
    if (add_type(module, "Engine", xray::native::engine_type()) < 0 ||
        add_type(module, "NativeFrame", xray::native::frame_type()) < 0 ||
        add_type(module, "FrameArray", xray::native::array_type()) < 0) {
      return -1;
    }
    if (PyModule_AddFunctions(module, xray::native::kWindowFunctions) < 0 ||
        PyModule_AddFunctions(module, xray::native::kBookRowsFunctions) < 0 ||
        PyModule_AddFunctions(module, xray::native::kWordCodesFunctions) < 0) {
      return -1;
    }
    PyObject* schema = xray::native::schema_object();
    if (schema == nullptr || PyModule_AddObject(module, "schema", schema) < 0) {
      Py_XDECREF(schema);
      return -1;
    }
    if (PyModule_AddObject(module, "__version__", xray::binding::new_str(xray::kVersion)) < 0)
      return -1;
    PyObject* all =
        Py_BuildValue("[ssssssssssss]", "Engine", "NativeFrame", "FrameArray", "load_text",
                      "format_double", "read_double", "reachable", "frame_window",
                      "group_book_rows", "word_codes", "schema", "__version__");
    if (all == nullptr) return -1;
    const int added = PyObject_SetAttrString(module, "__all__", all);
    Py_DECREF(all);
    return added;
  } catch (...) {
    xray::binding::raise_from_current_exception();
    return -1;
  }
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_methods = xray::native::kTextFunctions,
    .m_slots = kModuleSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

// CPython finds the module by the name PyInit_ + "_native"; it cannot be renamed.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kModuleDef); }
