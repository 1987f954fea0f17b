// python/native/window_function.h: frame_window, the engine's window rule.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace xray::native {

// Null-terminated, added to the module at its initialisation.
extern PyMethodDef kWindowFunctions[];

}  // namespace xray::native
