// python/native/frame_type.cpp: the frame object and the arrays over it.
//
// The arrays read the frame's own vectors: a panel's columns come out
// without a copy, the heatmap's cells as one (time, price) matrix. Numbers
// the frame text writes as null (any value that is not finite) are NaN
// here, the one NaN Python's float("nan") gives, so parsing the text and
// reading the arrays give the same bits.
#include "native/frame_type.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "binding/support.h"
#include "protocol/frame_encode.h"

namespace xray::native {
namespace {

using binding::new_str;
using binding::raise_from_current_exception;

// The liquidation map's events as columns; the other panels' vectors are
// read in place.
struct LiquidationColumns {
  std::vector<int64_t> ts;
  std::vector<double> price_bin;
  std::vector<double> qty;
  std::vector<uint8_t> side;  // 0 long, 1 short
};

struct HeldFrame {
  Frame frame;
  std::vector<LiquidationColumns> liquidations;  // one per liquidation panel, in order
};

struct PyFrame {
  PyObject_HEAD
  HeldFrame* held;  // owned
};

struct PyArray {
  PyObject_HEAD
  PyObject* owner;  // the frame object whose memory this is
  void* data;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
  int ndim;
  const char* format;
  Py_ssize_t itemsize;
};

// A buffer of length 0 still needs an address.
alignas(8) char empty_data[8];

void nan_for_non_finite(std::vector<double>& values) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (double& v : values) {
    if (!std::isfinite(v)) v = kNaN;
  }
}

struct NonFiniteToNaN {
  void operator()(PanelData::Footprint& p) const {
    nan_for_non_finite(p.price_bins);
    nan_for_non_finite(p.buy_vol);
    nan_for_non_finite(p.sell_vol);
  }
  void operator()(PanelData::BookHeatmap& p) const {
    nan_for_non_finite(p.price);
    nan_for_non_finite(p.intensity);
  }
  void operator()(PanelData::LiquidationMap& /*unused*/) const {}
  void operator()(PanelData::FundingOiDivergence& p) const {
    nan_for_non_finite(p.funding);
    nan_for_non_finite(p.oi);
    nan_for_non_finite(p.price);
  }
};

LiquidationColumns liquidation_columns(const PanelData::LiquidationMap& p) {
  LiquidationColumns c;
  const std::size_t n = p.events.size();
  c.ts.reserve(n);
  c.price_bin.reserve(n);
  c.qty.reserve(n);
  c.side.reserve(n);
  for (const BinnedLiquidation& e : p.events) {
    c.ts.push_back(e.ts);
    c.price_bin.push_back(e.price_bin);
    c.qty.push_back(e.qty);
    c.side.push_back(static_cast<uint8_t>(e.side));
  }
  nan_for_non_finite(c.price_bin);
  nan_for_non_finite(c.qty);
  return c;
}

// ---------------------------------------------------------------------------
// Arrays.

// A 1-D array over values, or 2-D (rows x values.size() / rows) when rows is given.
template <class T>
PyObject* new_array(PyObject* owner, std::vector<T>& values, Py_ssize_t rows = -1) {
  PyObject* type = array_type();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
  PyObject* self = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  auto* a = reinterpret_cast<PyArray*>(self);
  Py_INCREF(owner);
  a->owner = owner;
  a->data = values.empty() ? static_cast<void*>(empty_data) : static_cast<void*>(values.data());
  a->itemsize = sizeof(T);
  a->format = binding::buffer_format<T>();
  const auto n = static_cast<Py_ssize_t>(values.size());
  if (rows < 0) {
    a->ndim = 1;
    a->shape[0] = n;
    a->strides[0] = sizeof(T);
  } else {
    const Py_ssize_t width = rows == 0 ? 0 : n / rows;
    a->ndim = 2;
    a->shape[0] = rows;
    a->shape[1] = width;
    a->strides[0] = width * static_cast<Py_ssize_t>(sizeof(T));
    a->strides[1] = sizeof(T);
  }
  return self;
}

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* a = reinterpret_cast<PyArray*>(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "frame arrays are read-only");
    view->obj = nullptr;
    return -1;
  }
  Py_ssize_t len = a->itemsize;
  for (int i = 0; i < a->ndim; ++i) len *= a->shape[i];
  Py_INCREF(self);
  view->obj = self;
  view->buf = a->data;
  view->len = len;
  view->readonly = 1;
  view->itemsize = a->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(a->format) : nullptr;
  view->ndim = a->ndim;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? a->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  if (view->shape == nullptr && a->ndim > 1 && (flags & PyBUF_ND) != PyBUF_ND) {
    view->ndim = 1;  // a plain byte view of the C-contiguous cells
  }
  return 0;
}

void array_releasebuffer(PyObject* /*self*/, Py_buffer* /*view*/) {}

void array_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<PyArray*>(self)->owner);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyType_Slot kArraySlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(array_releasebuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
    {Py_tp_doc, const_cast<char*>("Read-only memory of one frame column (buffer protocol).")},
    {0, nullptr},
};

PyType_Spec kArraySpec = {
    "tarnix_xray._native.FrameArray",
    static_cast<int>(sizeof(PyArray)),
    0,
    // Made by frames only: an array from Python would point nowhere.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kArraySlots,
};

// ---------------------------------------------------------------------------
// The frame.

HeldFrame& held_of(PyObject* self) { return *reinterpret_cast<PyFrame*>(self)->held; }

// Adds name: array to dict; false with an exception set.
bool put(PyObject* dict, const char* name, PyObject* array) {
  if (array == nullptr) return false;
  const int done = PyDict_SetItemString(dict, name, array);
  Py_DECREF(array);
  return done == 0;
}

// (kind, {column: array}) of one panel.
PyObject* panel_tuple(PyObject* self, PanelData& panel, LiquidationColumns* liquidations) {
  PyObject* columns = PyDict_New();
  if (columns == nullptr) return nullptr;
  const char* kind = "";
  bool ok = true;
  if (auto* p = std::get_if<PanelData::Footprint>(&panel.data)) {
    kind = "footprint";
    ok = put(columns, "price_bins", new_array(self, p->price_bins)) &&
         put(columns, "buy_vol", new_array(self, p->buy_vol)) &&
         put(columns, "sell_vol", new_array(self, p->sell_vol));
  } else if (auto* h = std::get_if<PanelData::BookHeatmap>(&panel.data)) {
    kind = "book_heatmap";
    ok = put(columns, "time", new_array(self, h->time)) &&
         put(columns, "price", new_array(self, h->price)) &&
         put(columns, "intensity",
             new_array(self, h->intensity, static_cast<Py_ssize_t>(h->time.size())));
  } else if (std::holds_alternative<PanelData::LiquidationMap>(panel.data)) {
    kind = "liquidation_map";
    ok = put(columns, "ts", new_array(self, liquidations->ts)) &&
         put(columns, "price_bin", new_array(self, liquidations->price_bin)) &&
         put(columns, "qty", new_array(self, liquidations->qty)) &&
         put(columns, "side", new_array(self, liquidations->side));
  } else if (auto* f = std::get_if<PanelData::FundingOiDivergence>(&panel.data)) {
    kind = "funding_oi_divergence";
    ok = put(columns, "time", new_array(self, f->time)) &&
         put(columns, "funding", new_array(self, f->funding)) &&
         put(columns, "oi", new_array(self, f->oi)) &&
         put(columns, "price", new_array(self, f->price));
  }
  if (!ok) {
    Py_DECREF(columns);
    return nullptr;
  }
  PyObject* tuple = Py_BuildValue("(sN)", kind, columns);
  return tuple;
}

PyObject* frame_panels(PyObject* self, PyObject* /*unused*/) {
  HeldFrame& held = held_of(self);
  PyObject* panels = PyTuple_New(static_cast<Py_ssize_t>(held.frame.panels.size()));
  if (panels == nullptr) return nullptr;
  std::size_t liquidation = 0;
  for (std::size_t i = 0; i < held.frame.panels.size(); ++i) {
    PanelData& panel = held.frame.panels[i];
    LiquidationColumns* columns = nullptr;
    if (std::holds_alternative<PanelData::LiquidationMap>(panel.data)) {
      columns = &held.liquidations[liquidation++];
    }
    PyObject* item = panel_tuple(self, panel, columns);
    if (item == nullptr) {
      Py_DECREF(panels);
      return nullptr;
    }
    PyTuple_SetItem(panels, static_cast<Py_ssize_t>(i), item);
  }
  return panels;
}

PyObject* frame_text(PyObject* self, PyObject* /*unused*/) {
  try {
    return new_str(encode_frame(held_of(self).frame));
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* frame_symbol(PyObject* self, void* /*unused*/) {
  return new_str(held_of(self).frame.symbol);
}

PyObject* frame_cursor_ts(PyObject* self, void* /*unused*/) {
  return PyLong_FromLongLong(held_of(self).frame.cursor_ts);
}

void frame_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PyFrame*>(self)->held;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyMethodDef kFrameMethods[] = {
    {"panels", frame_panels, METH_NOARGS,
     "panels($self)\n--\n\nEach panel as (kind, {column: read-only buffer}), in spec order."},
    {"text", frame_text, METH_NOARGS,
     "text($self)\n--\n\nThe frame's response text, byte for byte the command's."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kFrameGetSet[] = {
    {"symbol", frame_symbol, nullptr, "The spec's symbol.", nullptr},
    {"cursor_ts", frame_cursor_ts, nullptr, "The effective end of the window, ms.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kFrameSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_methods, kFrameMethods},
    {Py_tp_getset, kFrameGetSet},
    {Py_tp_doc, const_cast<char*>("One evaluated frame, held natively.")},
    {0, nullptr},
};

PyType_Spec kFrameSpec = {
    "tarnix_xray._native.NativeFrame",
    static_cast<int>(sizeof(PyFrame)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kFrameSlots,
};

}  // namespace

PyObject* array_type() {
  static binding::ProcessType type(&kArraySpec);
  return type.get();
}

PyObject* frame_type() {
  static binding::ProcessType type(&kFrameSpec);
  return type.get();
}

PyObject* new_frame_object(Frame frame) {
  PyObject* type = frame_type();
  if (type == nullptr) return nullptr;
  std::unique_ptr<HeldFrame> held;
  try {
    held = std::make_unique<HeldFrame>();
    held->frame = std::move(frame);
    for (PanelData& panel : held->frame.panels) {
      std::visit(NonFiniteToNaN{}, panel.data);
      if (auto* p = std::get_if<PanelData::LiquidationMap>(&panel.data)) {
        held->liquidations.push_back(liquidation_columns(*p));
      }
    }
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
  PyObject* self = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<PyFrame*>(self)->held = held.release();
  return self;
}

}  // namespace xray::native
