// python/native/window_function.cpp: the engine's window rule for callers
// that plan frames before any engine holds data (batch chunks, say).
#include "native/window_function.h"

#include <cstdint>
#include <optional>

#include "binding/support.h"
#include "engine/window.h"

namespace xray::native {
namespace {

using binding::optional_int64;
PyObject* frame_window_function(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"cursor", "window_ms", "from_ts", "to_ts", nullptr};
  PyObject* given[4] = {nullptr, nullptr, nullptr, nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:frame_window",
                                   const_cast<char**>(keywords), &given[0], &given[1], &given[2],
                                   &given[3])) {
    return nullptr;
  }
  std::optional<int64_t> cursor, window_ms, from_ts, to_ts;
  if (!optional_int64(given[0], "cursor", cursor) ||
      !optional_int64(given[1], "window_ms", window_ms) ||
      !optional_int64(given[2], "from_ts", from_ts) || !optional_int64(given[3], "to_ts", to_ts)) {
    return nullptr;
  }
  if (!cursor || (window_ms && *window_ms <= 0)) {
    PyErr_SetString(PyExc_ValueError, "frame_window needs an int cursor and a positive window_ms");
    return nullptr;
  }
  const FrameWindow w = frame_window(from_ts, to_ts, *cursor, window_ms);
  if (!w.from_ts) return Py_BuildValue("(OL)", Py_None, static_cast<long long>(w.cursor_ts));
  return Py_BuildValue("(LL)", static_cast<long long>(*w.from_ts),
                       static_cast<long long>(w.cursor_ts));
}

}  // namespace

PyMethodDef kWindowFunctions[] = {
    {"frame_window",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_window_function)),
     METH_VARARGS | METH_KEYWORDS,
     "frame_window(cursor, *, window_ms=None, from_ts=None, to_ts=None)\n--\n\n"
     "(from_ts or None, cursor_ts) of the frame at cursor: the cursor clamped to to_ts;\n"
     "with window_ms, from max(cursor - window_ms + 1, from_ts)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace xray::native
