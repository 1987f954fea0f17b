// python/native/book_rows_function.h: group_book_rows, L2 rows to book events.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace xray::native {

// Null-terminated, added to the module at its initialisation.
extern PyMethodDef kBookRowsFunctions[];

}  // namespace xray::native
