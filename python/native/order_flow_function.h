// python/native/order_flow_function.h: the Engine's order-flow methods, run
// over the trades the engine holds, in a frame's window.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "instance.h"

namespace xray::native {

// The methods' bodies; the Engine borrows its state (owner thread, no
// re-entry) around each call. Null with an exception set on failure.
PyObject* order_flow_footprint_bars(const XrayInstance& state, PyObject* args, PyObject* kwargs);
PyObject* order_flow_large_prints(const XrayInstance& state, PyObject* args, PyObject* kwargs);
PyObject* order_flow_book_sides(const XrayInstance& state, PyObject* args, PyObject* kwargs);

// Raises tarnix_xray.errors.XrayError with the engine's text of error.
void raise_engine_error(const XrayError& error);

}  // namespace xray::native
