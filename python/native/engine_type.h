// python/native/engine_type.h: the Engine class of the package's module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace xray::native {

// The Engine type, made once per process; null with an exception set.
PyObject* engine_type();

}  // namespace xray::native
