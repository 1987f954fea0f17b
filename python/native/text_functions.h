// python/native/text_functions.h: load_text, format_double, read_double and
// reachable, the module's functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace xray::native {

// Null-terminated, for the module's m_methods.
extern PyMethodDef kTextFunctions[];

}  // namespace xray::native
