// python/native/word_codes_function.cpp: word_codes, the codes of a string
// column held in Arrow's layout (offsets and one byte buffer), read in place.
#include "native/word_codes_function.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/support.h"
#include "columns/word_codes.h"
#include "native/column_arguments.h"

namespace xray::native {
namespace {

// The buffer of obj, 1-D and C-contiguous; its item size and format char
// checked by the caller. Null with an exception set.
const Py_buffer* held_buffer(PyObject* obj, HeldBuffers& held, bool writable) {
  HeldBuffer& slot = held.buffers[held.used];
  if (PyObject_GetBuffer(obj, &slot.view, writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO) < 0) {
    return nullptr;
  }
  slot.held = true;
  ++held.used;
  if (slot.view.ndim != 1 || !PyBuffer_IsContiguous(&slot.view, 'C')) {
    PyErr_SetString(PyExc_TypeError, "word_codes takes 1-D C-contiguous buffers");
    return nullptr;
  }
  return &slot.view;
}

PyObject* word_codes_function(PyObject*, PyObject* args) {
  PyObject *offsets_arg, *data_arg, *validity_arg, *words_arg, *out_arg;
  Py_ssize_t validity_at = 0;
  if (!PyArg_ParseTuple(args, "OOOnO!O:word_codes", &offsets_arg, &data_arg, &validity_arg,
                        &validity_at, &PyDict_Type, &words_arg, &out_arg)) {
    return nullptr;
  }
  try {
    std::vector<std::string> texts;
    std::vector<columns::WordCode> words;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(words_arg, &pos, &key, &value)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
      const long code = PyLong_Check(value) ? PyLong_AsLong(value) : -1;
      if (text == nullptr || code < 0 || code > 255) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "words map str to a code 0-255");
        return nullptr;
      }
      texts.emplace_back(text, static_cast<std::size_t>(size));
    }
    pos = 0;
    std::size_t k = 0;
    while (PyDict_Next(words_arg, &pos, &key, &value)) {
      words.push_back({texts[k++], static_cast<uint8_t>(PyLong_AsLong(value))});
    }
    HeldBuffers held;
    const Py_buffer* offsets = held_buffer(offsets_arg, held, false);
    const Py_buffer* data = offsets == nullptr ? nullptr : held_buffer(data_arg, held, false);
    const Py_buffer* out = data == nullptr ? nullptr : held_buffer(out_arg, held, true);
    if (out == nullptr) return nullptr;
    const Py_buffer* validity = nullptr;
    if (validity_arg != Py_None && (validity = held_buffer(validity_arg, held, false)) == nullptr) {
      return nullptr;
    }
    columns::StringColumn column;
    const auto rows = static_cast<std::size_t>(out->shape[0]);
    const auto offset_count = static_cast<std::size_t>(offsets->shape[0]);
    if ((offsets->itemsize != 4 && offsets->itemsize != 8) || out->itemsize != 1 ||
        data->itemsize != 1 || offset_count != rows + 1 || validity_at < 0 ||
        (validity != nullptr && static_cast<std::size_t>(validity->len) * 8 <
                                    static_cast<std::size_t>(validity_at) + rows)) {
      PyErr_SetString(
          PyExc_ValueError,
          "word_codes: offsets (int32 or int64) one longer than out, bytes for the rest");
      return nullptr;
    }
    if (offsets->itemsize == 4) {
      column.offsets32 = static_cast<const int32_t*>(offsets->buf);
    } else {
      column.offsets64 = static_cast<const int64_t*>(offsets->buf);
    }
    // Offsets must stay inside the bytes: checked once here, not per row.
    for (std::size_t i = 0; i < offset_count; ++i) {
      const int64_t at = column.offsets64 != nullptr ? column.offsets64[i] : column.offsets32[i];
      const int64_t before = i == 0                        ? 0
                             : column.offsets64 != nullptr ? column.offsets64[i - 1]
                                                           : column.offsets32[i - 1];
      if (at < 0 || at > data->len || (i > 0 && at < before)) {
        PyErr_SetString(PyExc_ValueError, "word_codes: offsets outside the bytes");
        return nullptr;
      }
    }
    column.data = static_cast<const uint8_t*>(data->buf);
    column.validity = validity == nullptr ? nullptr : static_cast<const uint8_t*>(validity->buf);
    column.validity_at = static_cast<std::size_t>(validity_at);
    column.rows = rows;
    const std::optional<std::size_t> bad =
        columns::word_codes(column, words, static_cast<uint8_t*>(out->buf));
    if (!bad) Py_RETURN_NONE;
    return PyLong_FromSize_t(*bad);
  } catch (...) {
    binding::raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace

PyMethodDef kWordCodesFunctions[] = {
    {"word_codes", word_codes_function, METH_VARARGS,
     "word_codes(offsets, data, validity, validity_at, words, out, /)\n--\n\n"
     "The codes of a string column in Arrow's layout (offsets int32 or int64, one longer\n"
     "than out; data bytes; validity bits from bit validity_at, or None) by words\n"
     "(lower-case word -> code), written into out; None, or the first row that is\n"
     "missing or matches no word (ASCII case and surrounding white space ignored)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace xray::native
