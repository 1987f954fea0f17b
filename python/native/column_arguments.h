// python/native/column_arguments.h: the six list arguments (tuples of column
// buffers) bound to views of a dataset's columns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "columns/dataset_columns.h"

namespace xray::native {

enum class ColumnType { Int64, Float64, Code };

// One column of a list argument: its name and type.
struct ColumnDesc {
  const char* name;
  ColumnType type;
};

// The columns of list argument `list` (0-5, in kListKeywords' order).
std::span<const ColumnDesc> list_column_layout(std::size_t list);

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
// While held, their memory stays put, so the core may read it without the
// interpreter lock.
struct HeldBuffers {
  std::array<HeldBuffer, 26> buffers;
  std::size_t used = 0;
};

// The buffer of obj as a C-contiguous 1-D column of the type (writable when
// asked), held in held; null with a TypeError naming the list and column.
const Py_buffer* get_column(PyObject* obj, const char* list, const char* column, ColumnType type,
                            HeldBuffers& held, bool writable = false);

// The list keywords in the order the six arguments take.
inline constexpr const char* kListKeywords[] = {"candles", "trades", "book",
                                                "funding", "oi",     "liquidations"};

// Fills columns from the six arguments (None or a tuple of C-contiguous 1-D
// buffers each); false with a TypeError naming the list and column set.
bool bind_dataset(PyObject* const args[6], columns::DatasetColumns& columns, HeldBuffers& held);

// A TypeError for the first keyword of kwargs that is not among keywords
// (null-terminated), with the nearest one when it is close; false when all
// are known.
bool unknown_keyword(PyObject* kwargs, const char* callable, const char* const* keywords);

}  // namespace xray::native
