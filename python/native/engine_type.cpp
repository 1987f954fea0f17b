// python/native/engine_type.cpp: the package's engine, the same core
// instance as Xray behind a second door: commands answered as Xray answers
// them, datasets loaded straight from column buffers, frames handed out as
// arrays. Loads and frames run without the interpreter lock and stop on
// Ctrl-C.
#include "native/engine_type.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "binding/support.h"
#include "constructor_spec.h"
#include "core/cancel.h"
#include "core/errors.h"
#include "dataset_from_columns.h"
#include "instance.h"
#include "native/column_arguments.h"
#include "native/frame_type.h"
#include "native/order_flow_function.h"

namespace xray::native {

// Raises tarnix_xray.errors.XrayError (one place turns the engine's errors
// into exceptions) with the engine's display text.
void raise_engine_error(const XrayError& error) {
  const std::string text = display_text(error);
  PyObject* module = PyImport_ImportModule("tarnix_xray.errors");
  PyObject* type = module == nullptr ? nullptr : PyObject_GetAttrString(module, "XrayError");
  Py_XDECREF(module);
  if (type == nullptr) return;  // the import's own error stands
  PyObject* message = binding::new_str(text);
  if (message != nullptr) {
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  }
  Py_DECREF(type);
}

namespace {

using binding::argument_text;
using binding::new_str;
using binding::optional_int64;
using binding::raise_from_current_exception;
using binding::thread_serial;

constexpr const char* kEngineDoc =
    "Engine(spec_json)\n--\n\n"
    "The engine the package drives: Xray's commands, loads from column buffers,\n"
    "frames as arrays. Bound to the thread that created it.";

struct PyEngine {
  PyObject_HEAD
  XrayInstance* state;  // owned; leaked when released on a foreign thread
  int use_flag;         // 1 while a call runs, only through std::atomic_ref
  uint64_t owner_serial;
};

PyEngine* as_engine(PyObject* self) { return reinterpret_cast<PyEngine*>(self); }

// The owner-thread and re-entry checks around one call.
class Borrow {
 public:
  explicit Borrow(PyObject* self) : engine_(as_engine(self)) {
    if (engine_->owner_serial != thread_serial()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "an Engine belongs to the thread that created it; create one per thread");
      return;
    }
    int expected = 0;
    if (!std::atomic_ref<int>(engine_->use_flag).compare_exchange_strong(expected, 1)) {
      PyErr_SetString(PyExc_RuntimeError, "the Engine is already running a call");
      return;
    }
    held_ = true;
  }
  ~Borrow() {
    if (held_) std::atomic_ref<int>(engine_->use_flag).store(0);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  explicit operator bool() const { return held_; }
  XrayInstance& state() const { return *engine_->state; }

 private:
  PyEngine* engine_;
  bool held_ = false;
};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"spec_json", nullptr};
  PyObject* arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine", const_cast<char**>(keywords), &arg)) {
    return nullptr;
  }
  const std::optional<std::string_view> text = argument_text(arg, "spec_json");
  if (!text) return nullptr;
  XrayInstance* state = nullptr;
  try {
    Result<std::optional<XraySpec>> spec = spec_from_constructor_text(*text);
    if (!spec) {
      raise_engine_error(spec.error());
      return nullptr;
    }
    state = new XrayInstance(std::move(spec).value());
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    delete state;
    return nullptr;
  }
  PyEngine* engine = as_engine(self);
  engine->state = state;
  engine->use_flag = 0;
  engine->owner_serial = thread_serial();
  return self;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyEngine* engine = as_engine(self);
  // Another thread may not touch the state, so it stays allocated.
  if (engine->owner_serial == thread_serial()) delete engine->state;
  engine->state = nullptr;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* engine_command(PyObject* self, PyObject* arg) {
  const Borrow borrow(self);
  if (!borrow) return nullptr;
  const std::optional<std::string_view> text = argument_text(arg, "cmd_json");
  if (!text) return nullptr;
  std::optional<CancelScope> cancel;
  try {
    cancel.emplace(binding::python_signal_raised, nullptr);
    std::string response = borrow.state().command(*text);
    // A cancelled command's response is dropped: the handler's exception is set.
    if (!cancel->cancelled()) return new_str(response);
  } catch (...) {
    if (!cancel || !cancel->cancelled()) raise_from_current_exception();
  }
  return nullptr;
}

PyObject* engine_load_columns(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"candles", "trades",       "book", "funding",
                                         "oi",      "liquidations", nullptr};
  if (unknown_keyword(kwargs, "load_columns", keywords)) return nullptr;
  PyObject* lists[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOOO:load_columns",
                                   const_cast<char**>(keywords), &lists[0], &lists[1], &lists[2],
                                   &lists[3], &lists[4], &lists[5])) {
    return nullptr;
  }
  const Borrow borrow(self);
  if (!borrow) return nullptr;
  try {
    HeldBuffers held;
    columns::DatasetColumns columns;
    if (!bind_dataset(lists, columns, held)) return nullptr;
    bool cancelled = false;
    Result<uint64_t> loaded = binding::run_released(
        [&]() -> Result<uint64_t> {
          Result<Dataset> dataset = dataset_from_columns(columns);
          if (!dataset) return std::move(dataset).error();
          return borrow.state().load(std::move(dataset).value());
        },
        cancelled);
    if (cancelled) return nullptr;
    if (!loaded) {
      raise_engine_error(loaded.error());
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(*loaded);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* engine_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"at", "window_ms", nullptr};
  PyObject* at_arg = nullptr;
  PyObject* window_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:frame", const_cast<char**>(keywords),
                                   &at_arg, &window_arg)) {
    return nullptr;
  }
  std::optional<int64_t> at;
  std::optional<int64_t> window_ms;
  if (!optional_int64(at_arg, "at", at) || !optional_int64(window_arg, "window_ms", window_ms)) {
    return nullptr;
  }
  const Borrow borrow(self);
  if (!borrow) return nullptr;
  try {
    bool cancelled = false;
    Result<Frame> frame =
        binding::run_released([&] { return borrow.state().frame(at, window_ms); }, cancelled);
    if (cancelled) return nullptr;
    if (!frame) {
      raise_engine_error(frame.error());
      return nullptr;
    }
    return new_frame_object(std::move(frame).value());
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* engine_bounds(PyObject* self, PyObject* /*unused*/) {
  const Borrow borrow(self);
  if (!borrow) return nullptr;
  const std::optional<DatasetBounds> b = sorted_dataset_bounds(borrow.state().dataset());
  if (!b) Py_RETURN_NONE;
  return Py_BuildValue("(LLK)", static_cast<long long>(b->from_ts),
                       static_cast<long long>(b->to_ts), static_cast<unsigned long long>(b->count));
}

// A method run over the held dataset, with the state borrowed.
template <PyObject* (*Body)(const XrayInstance&, PyObject*, PyObject*)>
PyObject* borrowed(PyObject* self, PyObject* args, PyObject* kwargs) {
  const Borrow borrow(self);
  if (!borrow) return nullptr;
  return Body(borrow.state(), args, kwargs);
}

PyMethodDef kEngineMethods[] = {
    {"command", engine_command, METH_O,
     "command($self, cmd_json, /)\n--\n\nA command's response text, as Xray.command gives it."},
    {"load_columns",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_load_columns)),
     METH_VARARGS | METH_KEYWORDS,
     "load_columns($self, *, candles=None, trades=None, book=None, funding=None, oi=None, "
     "liquidations=None)\n--\n\n"
     "Replace the dataset with the records of column buffers (the tuples load_text\n"
     "takes); returns the record count. XrayError for data the load text refuses."},
    {"frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_frame)),
     METH_VARARGS | METH_KEYWORDS,
     "frame($self, at=None, *, window_ms=None)\n--\n\n"
     "The frame at `at` (ms; the latest record or to_ts when None), over the spec's\n"
     "window or the trailing window_ms ms up to the cursor, as a NativeFrame."},
    {"footprint_bars",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(borrowed<order_flow_footprint_bars>)),
     METH_VARARGS | METH_KEYWORDS,
     "footprint_bars($self, at=None, *, window_ms=None, bar_ms=None, tick=None, ratio=3.0,\n"
     "min_volume=0.0, stacked=3, value_area=0.7, developing=False)\n--\n\n"
     "Order flow of the held trades in the frame's window: cells, bars and runs as\n"
     "columns (memoryviews) in a dict; without bar_ms the window is one bar."},
    {"large_prints",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(borrowed<order_flow_large_prints>)),
     METH_VARARGS | METH_KEYWORDS,
     "large_prints($self, at=None, *, window_ms=None, min_qty=None, quantile=None)\n--\n\n"
     "The window's trades at or above min_qty or the quantity quantile, as columns."},
    {"book_sides",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(borrowed<order_flow_book_sides>)),
     METH_VARARGS | METH_KEYWORDS,
     "book_sides($self, at=None, *, window_ms=None, panel=0)\n--\n\n"
     "The book heatmap panel's cells split into bids and asks, and the touch per bucket."},
    {"bounds", engine_bounds, METH_NOARGS,
     "bounds($self)\n--\n\n(from_ts, to_ts, count) of the held records, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kEngineSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, kEngineMethods},
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    {0, nullptr},
};

PyType_Spec kEngineSpec = {
    "tarnix_xray._native.Engine",
    static_cast<int>(sizeof(PyEngine)),
    0,
    Py_TPFLAGS_DEFAULT,
    kEngineSlots,
};

}  // namespace

PyObject* engine_type() {
  static binding::ProcessType type(&kEngineSpec);
  return type.get();
}

}  // namespace xray::native
