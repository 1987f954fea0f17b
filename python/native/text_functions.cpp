// python/native/text_functions.cpp: the "load" text written from column
// buffers, and the engine's own number text and reading of one double.
#include "native/text_functions.h"

#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "binding/support.h"
#include "columns/dataset_text_writer.h"
#include "columns/exact_double_text.h"
#include "native/column_arguments.h"

namespace xray::native {
namespace {

namespace cols = xray::columns;
using binding::raise_from_current_exception;

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

const char* const kKeywords[] = {"candles", "trades",       "book",    "funding",
                                 "oi",      "liquidations", "command", nullptr};

void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

PyObject* load_text(PyObject*, PyObject* args, PyObject* kwargs) {
  if (unknown_keyword(kwargs, "load_text", kKeywords)) return nullptr;
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
    bool cancelled = false;
    const xray::Result<std::size_t> written = binding::run_released(
        [&] { return cols::write_dataset_text(columns, command != 0, buffer.get()); }, cancelled);
    if (cancelled) return nullptr;
    if (!written) {
      raise_value_error(written.error().message);
      return nullptr;
    }
    return PyUnicode_DecodeASCII(buffer.get(), static_cast<Py_ssize_t>(*written), nullptr);
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

}  // namespace

PyMethodDef kTextFunctions[] = {
    {"load_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_text)),
     METH_VARARGS | METH_KEYWORDS, kLoadTextDoc},
    {"format_double", format_double, METH_O, kFormatDoubleDoc},
    {"read_double", read_double, METH_O, kReadDoubleDoc},
    {"reachable", reachable, METH_O, kReachableDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace xray::native
