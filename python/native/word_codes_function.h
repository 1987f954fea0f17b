// python/native/word_codes_function.h: word_codes, string columns to codes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace xray::native {

// Null-terminated, added to the module at its initialisation.
extern PyMethodDef kWordCodesFunctions[];

}  // namespace xray::native
