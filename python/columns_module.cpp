// python/columns_module.cpp: the extension module _columns, the dataset text
// of a "load" command written from column buffers (numpy arrays and the
// like), and the exact double text of one value. The only file of this
// module that includes Python.h; stable ABI only.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "columns/dataset_text_writer.h"
#include "columns/exact_double_text.h"

namespace {

namespace cols = xray::columns;

constexpr const char* kModuleDoc =
    "The dataset text of a \"load\" command written from column buffers "
    "(`tarnix_xray._columns`).";
constexpr const char* kLoadTextDoc =
    "load_text(*, candles=None, trades=None, book=None, funding=None, oi=None, "
    "liquidations=None, command=True)\n--\n\n"
    "The text of {\"cmd\":\"load\",\"dataset\":{...}} (or of the dataset alone when\n"
    "command is false), written from tuples of C-contiguous 1-D buffers; every\n"
    "double reads back exactly through the engine's own number conversion.";
constexpr const char* kFormatDoubleDoc =
    "format_double(x, /)\n--\n\n"
    "The text load_text writes for x: the shortest text the engine reads back as x.";
constexpr const char* kReadDoubleDoc =
    "read_double(text, /)\n--\n\n"
    "The engine's own conversion of a JSON number text to a double.";
constexpr const char* kReachableDoc =
    "reachable(x, /)\n--\n\n"
    "Whether some JSON number text reads back as exactly x in the engine.";

void raise_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

// ---------------------------------------------------------------------------
// Column buffers.

enum class ColumnType { Int64, Float64, Code };

// A buffer held from GetBuffer to the end of the call.
struct HeldBuffer {
  Py_buffer view{};
  bool held = false;
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held) PyBuffer_Release(&view);
  }
};

// Every buffer of one call: at most 26 columns (6 + 4 + 8 + 2 + 2 + 4).
struct HeldBuffers {
  std::array<HeldBuffer, 26> buffers;
  std::size_t used = 0;
};

// The type character of a native-order struct format ("d", "@q", "<l", ...),
// or 0 for any other format.
char format_char(const char* format) {
  if (format == nullptr) return 'B';  // no format: unsigned bytes
  std::string_view f(format);
  constexpr bool kLittle = std::endian::native == std::endian::little;
  if (!f.empty() &&
      (f[0] == '@' || f[0] == '=' || f[0] == (kLittle ? '<' : '>') || (!kLittle && f[0] == '!'))) {
    f.remove_prefix(1);
  }
  return f.size() == 1 ? f[0] : '\0';
}

bool type_matches(ColumnType type, char c, Py_ssize_t itemsize) {
  switch (type) {
    case ColumnType::Int64: return (c == 'q' || c == 'l') && itemsize == 8;
    case ColumnType::Float64: return c == 'd' && itemsize == 8;
    case ColumnType::Code: return (c == 'B' || c == 'b' || c == '?') && itemsize == 1;
  }
  return false;
}

const char* expected_text(ColumnType type) {
  switch (type) {
    case ColumnType::Int64: return "int64 (format 'q' or 'l')";
    case ColumnType::Float64: return "float64 (format 'd')";
    case ColumnType::Code: return "uint8, int8 or bool codes (format 'B', 'b' or '?')";
  }
  return "";
}

// Gets the buffer of obj as a C-contiguous 1-D column of the type; a
// TypeError naming the list and column otherwise.
const Py_buffer* get_column(PyObject* obj, const char* list, const char* column, ColumnType type,
                            HeldBuffers& held) {
  HeldBuffer& slot = held.buffers[held.used];
  if (PyObject_GetBuffer(obj, &slot.view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    PyObject* type_name = PyType_GetName(Py_TYPE(obj));
    if (type_name == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError,
                 "%s: column '%s' must be a buffer (a numpy array, for example), not '%U'", list,
                 column, type_name);
    Py_DECREF(type_name);
    return nullptr;
  }
  slot.held = true;
  ++held.used;
  const Py_buffer& v = slot.view;
  if (v.ndim != 1) {
    PyErr_Format(PyExc_TypeError, "%s: column '%s' must be 1-D, not %d-D", list, column, v.ndim);
    return nullptr;
  }
  if (!PyBuffer_IsContiguous(&v, 'C')) {
    PyErr_Format(PyExc_TypeError, "%s: column '%s' must be C-contiguous", list, column);
    return nullptr;
  }
  const char c = format_char(v.format);
  if (!type_matches(type, c, v.itemsize)) {
    PyErr_Format(PyExc_TypeError, "%s: column '%s' has format '%s' (%zd-byte items); expected %s",
                 list, column, v.format == nullptr ? "B" : v.format, v.itemsize,
                 expected_text(type));
    return nullptr;
  }
  return &v;
}

std::size_t rows(const Py_buffer* v) { return static_cast<std::size_t>(v->shape[0]); }

// The columns of one list argument, in order, with their names and types.
struct ColumnDesc {
  const char* name;
  ColumnType type;
};

// The buffers of a list argument: None gives false with no error; a tuple
// of the right length gives true with the columns' buffers in views.
template <std::size_t N>
std::optional<bool> list_columns(PyObject* arg, const char* list,
                                 const std::array<ColumnDesc, N>& descs,
                                 std::array<const Py_buffer*, N>& views, HeldBuffers& held) {
  if (arg == nullptr || arg == Py_None) return false;
  std::string names;
  for (const ColumnDesc& s : descs) names += (names.empty() ? "" : ", ") + std::string(s.name);
  if (!PyTuple_Check(arg) || PyTuple_Size(arg) != static_cast<Py_ssize_t>(N)) {
    PyObject* type_name = PyType_GetName(Py_TYPE(arg));
    if (type_name == nullptr) return std::nullopt;
    if (PyTuple_Check(arg)) {
      PyErr_Format(PyExc_TypeError, "%s: expected None or a tuple of %zu columns (%s), got %zd",
                   list, N, names.c_str(), PyTuple_Size(arg));
    } else {
      PyErr_Format(PyExc_TypeError, "%s: expected None or a tuple of %zu columns (%s), not '%U'",
                   list, N, names.c_str(), type_name);
    }
    Py_DECREF(type_name);
    return std::nullopt;
  }
  for (std::size_t i = 0; i < N; ++i) {
    views[i] = get_column(PyTuple_GetItem(arg, static_cast<Py_ssize_t>(i)), list, descs[i].name,
                          descs[i].type, held);
    if (views[i] == nullptr) return std::nullopt;
  }
  return true;
}

cols::Int64Column int64_column(const Py_buffer* v) {
  return {static_cast<const int64_t*>(v->buf), rows(v)};
}
cols::DoubleColumn double_column(const Py_buffer* v) {
  return {static_cast<const double*>(v->buf), rows(v)};
}
cols::CodeColumn code_column(const Py_buffer* v) {
  return {static_cast<const uint8_t*>(v->buf), rows(v), format_char(v->format) == 'b'};
}

constexpr ColumnType I = ColumnType::Int64;
constexpr ColumnType F = ColumnType::Float64;
constexpr ColumnType C = ColumnType::Code;

// Fills columns from the six arguments; false with a Python error set.
bool bind_dataset(PyObject* const args[6], cols::DatasetColumns& columns, HeldBuffers& held) {
  {
    constexpr std::array<ColumnDesc, 6> descs{
        {{"ts", I}, {"open", F}, {"high", F}, {"low", F}, {"close", F}, {"volume", F}}};
    std::array<const Py_buffer*, 6> v{};
    const std::optional<bool> given = list_columns(args[0], "candles", descs, v, held);
    if (!given) return false;
    if (*given) {
      columns.candles =
          cols::CandleColumns{int64_column(v[0]),  double_column(v[1]), double_column(v[2]),
                              double_column(v[3]), double_column(v[4]), double_column(v[5])};
    }
  }
  {
    constexpr std::array<ColumnDesc, 4> descs{{{"ts", I}, {"price", F}, {"qty", F}, {"side", C}}};
    std::array<const Py_buffer*, 4> v{};
    const std::optional<bool> given = list_columns(args[1], "trades", descs, v, held);
    if (!given) return false;
    if (*given) {
      columns.trades = cols::TradeColumns{int64_column(v[0]), double_column(v[1]),
                                          double_column(v[2]), code_column(v[3])};
    }
  }
  {
    constexpr std::array<ColumnDesc, 8> descs{{{"ts", I},
                                               {"kind", C},
                                               {"bid_offsets", I},
                                               {"bid_price", F},
                                               {"bid_qty", F},
                                               {"ask_offsets", I},
                                               {"ask_price", F},
                                               {"ask_qty", F}}};
    std::array<const Py_buffer*, 8> v{};
    const std::optional<bool> given = list_columns(args[2], "book", descs, v, held);
    if (!given) return false;
    if (*given) {
      columns.book = cols::BookColumns{int64_column(v[0]),  code_column(v[1]),   int64_column(v[2]),
                                       double_column(v[3]), double_column(v[4]), int64_column(v[5]),
                                       double_column(v[6]), double_column(v[7])};
    }
  }
  {
    constexpr std::array<ColumnDesc, 2> descs{{{"ts", I}, {"rate", F}}};
    std::array<const Py_buffer*, 2> v{};
    const std::optional<bool> given = list_columns(args[3], "funding", descs, v, held);
    if (!given) return false;
    if (*given) columns.funding = cols::FundingColumns{int64_column(v[0]), double_column(v[1])};
  }
  {
    constexpr std::array<ColumnDesc, 2> descs{{{"ts", I}, {"oi", F}}};
    std::array<const Py_buffer*, 2> v{};
    const std::optional<bool> given = list_columns(args[4], "oi", descs, v, held);
    if (!given) return false;
    if (*given) columns.oi = cols::OiColumns{int64_column(v[0]), double_column(v[1])};
  }
  {
    constexpr std::array<ColumnDesc, 4> descs{{{"ts", I}, {"price", F}, {"qty", F}, {"side", C}}};
    std::array<const Py_buffer*, 4> v{};
    const std::optional<bool> given = list_columns(args[5], "liquidations", descs, v, held);
    if (!given) return false;
    if (*given) {
      columns.liquidations = cols::LiquidationColumns{int64_column(v[0]), double_column(v[1]),
                                                      double_column(v[2]), code_column(v[3])};
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// The functions.

const char* const kKeywords[] = {"candles", "trades",       "book",    "funding",
                                 "oi",      "liquidations", "command", nullptr};

// Edits (insertions, deletions, substitutions) between two short names.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

// A TypeError for the first keyword load_text does not take, with the
// nearest one it does take when that is close; false when all are known.
bool unknown_keyword(PyObject* kwargs) {
  if (kwargs == nullptr) return false;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (name == nullptr) return false;  // left to the argument parser
    const std::string_view given(name, static_cast<std::size_t>(size));
    const char* nearest = nullptr;
    std::size_t best = 3;  // at most two edits away
    for (const char* const* k = kKeywords; *k != nullptr; ++k) {
      if (given == *k) {
        nearest = *k;
        best = 0;
        break;
      }
      if (const std::size_t d = edit_distance(given, *k); d < best) {
        best = d;
        nearest = *k;
      }
    }
    if (best == 0) continue;
    if (nearest != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "load_text() got an unexpected keyword argument '%U'; did you mean '%s'?", key,
                   nearest);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "load_text() got an unexpected keyword argument '%U'; it takes candles, "
                   "trades, book, funding, oi, liquidations and command",
                   key);
    }
    return true;
  }
  return false;
}

PyObject* load_text(PyObject*, PyObject* args, PyObject* kwargs) {
  if (unknown_keyword(kwargs)) return nullptr;
  PyObject* lists[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  int command = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOOOp:load_text",
                                   const_cast<char**>(kKeywords), &lists[0], &lists[1], &lists[2],
                                   &lists[3], &lists[4], &lists[5], &command)) {
    return nullptr;
  }
  try {
    HeldBuffers held;
    cols::DatasetColumns columns;
    if (!bind_dataset(lists, columns, held)) return nullptr;
    xray::Result<std::size_t> bound = cols::dataset_text_bound(columns, command != 0);
    if (!bound) {
      raise_value_error(bound.error().message);
      return nullptr;
    }
    const cols::TextBuffer buffer = cols::allocate_text_buffer(*bound);
    if (!buffer) return PyErr_NoMemory();
    // The buffers stay held (so their memory stays put) while the text is
    // written without the interpreter lock.
    std::optional<xray::Result<std::size_t>> written;
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
      written.emplace(cols::write_dataset_text(columns, command != 0, buffer.get()));
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
    if (!*written) {
      raise_value_error(written->error().message);
      return nullptr;
    }
    return PyUnicode_DecodeASCII(buffer.get(), static_cast<Py_ssize_t>(written->value()), nullptr);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// The float value of a real-number argument, or nullopt with TypeError set.
std::optional<double> real_argument(PyObject* arg) {
  const double x = PyFloat_AsDouble(arg);
  if (x == -1.0 && PyErr_Occurred()) return std::nullopt;
  return x;
}

PyObject* format_double(PyObject*, PyObject* arg) {
  const std::optional<double> x = real_argument(arg);
  if (!x) return nullptr;
  if (!std::isfinite(*x)) {
    const char* what = std::isnan(*x) ? "NaN" : *x > 0 ? "inf" : "-inf";
    PyErr_Format(PyExc_ValueError, "format_double: the value is %s; JSON has no text for it", what);
    return nullptr;
  }
  try {
    const std::string text = cols::exact_double_text(*x);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* read_double(PyObject*, PyObject* arg) {
  if (!PyUnicode_Check(arg)) {
    PyObject* type_name = PyType_GetName(Py_TYPE(arg));
    if (type_name != nullptr) {
      PyErr_Format(PyExc_TypeError, "read_double() argument must be str, not '%U'", type_name);
      Py_DECREF(type_name);
    }
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (data == nullptr) return nullptr;
  try {
    const xray::Result<double> x =
        cols::read_number_text(std::string_view(data, static_cast<std::size_t>(size)));
    if (!x) {
      PyErr_Format(PyExc_ValueError, "read_double: %R is not a JSON number: %s", arg,
                   x.error().message.c_str());
      return nullptr;
    }
    return PyFloat_FromDouble(*x);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* reachable(PyObject*, PyObject* arg) {
  const std::optional<double> x = real_argument(arg);
  if (!x) return nullptr;
  return PyBool_FromLong(cols::is_reachable(*x) ? 1 : 0);
}

PyMethodDef kMethods[] = {
    {"load_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_text)),
     METH_VARARGS | METH_KEYWORDS, kLoadTextDoc},
    {"format_double", format_double, METH_O, kFormatDoubleDoc},
    {"read_double", read_double, METH_O, kReadDoubleDoc},
    {"reachable", reachable, METH_O, kReachableDoc},
    {nullptr, nullptr, 0, nullptr},
};

// __all__ lists the four functions.
int module_exec(PyObject* module) {
  PyObject* all = Py_BuildValue("[ssss]", "load_text", "format_double", "read_double", "reachable");
  if (all == nullptr) return -1;
  const int added = PyObject_SetAttrString(module, "__all__", all);
  Py_DECREF(all);
  return added;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_columns",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_methods = kMethods,
    .m_slots = kModuleSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

// CPython finds the module by the name PyInit_ + "_columns"; it cannot be renamed.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__columns() { return PyModuleDef_Init(&kModuleDef); }
