// python/native/schema_export.h: the engine's schema tables as Python values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace xray::native {

// A new dict: "lists" (list -> record fields), "load_columns" (list -> the
// column buffers load_columns and load_text take), "spec_keys",
// "required_spec_keys", "panel_tag", "panels" (kind -> {parameter:
// default}), "codes" ("list.field" -> words by code). Null with an
// exception set.
PyObject* schema_object();

}  // namespace xray::native
