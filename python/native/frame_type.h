// python/native/frame_type.h: a frame held natively, its panels handed out
// as read-only buffers (numpy views without copies) and its text written on
// request.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "model/frame.h"

namespace xray::native {

// A new frame object owning frame; null with an exception set.
PyObject* new_frame_object(Frame frame);

// The frame and array types, made once per process; null with an exception set.
PyObject* frame_type();
PyObject* array_type();

}  // namespace xray::native
