// python/native/book_rows_function.cpp: group_book_rows, L2 rows to the book
// columns load_columns takes, written into arrays the caller allocates.
#include "native/book_rows_function.h"

#include <array>
#include <string_view>

#include "binding/support.h"
#include "columns/book_rows.h"
#include "native/column_arguments.h"

namespace xray::native {
namespace {

constexpr std::array<ColumnDesc, 5> kRowColumns{{{"ts", ColumnType::Int64},
                                                 {"kind", ColumnType::Code},
                                                 {"side", ColumnType::Code},
                                                 {"price", ColumnType::Float64},
                                                 {"qty", ColumnType::Float64}}};

// Output arrays in load_columns' book order, and the rows each must hold.
constexpr std::array<ColumnDesc, 8> kEventColumns{{{"ts", ColumnType::Int64},
                                                   {"kind", ColumnType::Code},
                                                   {"bid_offsets", ColumnType::Int64},
                                                   {"bid_price", ColumnType::Float64},
                                                   {"bid_qty", ColumnType::Float64},
                                                   {"ask_offsets", ColumnType::Int64},
                                                   {"ask_price", ColumnType::Float64},
                                                   {"ask_qty", ColumnType::Float64}}};

PyObject* group_book_rows_function(PyObject*, PyObject* args) {
  PyObject* rows_arg = nullptr;
  PyObject* out_arg = nullptr;
  if (!PyArg_ParseTuple(args, "O!O!:group_book_rows", &PyTuple_Type, &rows_arg, &PyTuple_Type,
                        &out_arg)) {
    return nullptr;
  }
  if (PyTuple_Size(rows_arg) != 5 || PyTuple_Size(out_arg) != 8) {
    PyErr_SetString(PyExc_TypeError,
                    "group_book_rows takes (ts, kind, side, price, qty) and the 8 book columns");
    return nullptr;
  }
  try {
    HeldBuffers held;
    std::array<const Py_buffer*, 5> in{};
    for (std::size_t i = 0; i < in.size(); ++i) {
      in[i] = get_column(PyTuple_GetItem(rows_arg, static_cast<Py_ssize_t>(i)), "book rows",
                         kRowColumns[i].name, kRowColumns[i].type, held);
      if (in[i] == nullptr) return nullptr;
    }
    const auto n = static_cast<std::size_t>(in[0]->shape[0]);
    std::array<const Py_buffer*, 8> out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = get_column(PyTuple_GetItem(out_arg, static_cast<Py_ssize_t>(i)), "book events",
                          kEventColumns[i].name, kEventColumns[i].type, held, true);
      if (out[i] == nullptr) return nullptr;
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
      if (static_cast<std::size_t>(in[i]->shape[0]) != n) {
        PyErr_Format(PyExc_ValueError, "book rows: column '%s' differs in length from 'ts'",
                     kRowColumns[i].name);
        return nullptr;
      }
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
      const bool offsets = std::string_view(kEventColumns[i].name).ends_with("_offsets");
      if (static_cast<std::size_t>(out[i]->shape[0]) < n + (offsets ? 1 : 0)) {
        PyErr_Format(PyExc_ValueError, "book events: column '%s' has room for fewer rows than %zu",
                     kEventColumns[i].name, n);
        return nullptr;
      }
    }
    const auto data = [&](std::size_t i, auto* type) {
      return static_cast<decltype(type)>(out[i]->buf);
    };
    const columns::BookRows rows{
        static_cast<const int64_t*>(in[0]->buf), static_cast<const uint8_t*>(in[1]->buf),
        static_cast<const uint8_t*>(in[2]->buf), static_cast<const double*>(in[3]->buf),
        static_cast<const double*>(in[4]->buf),  n};
    const columns::BookEventColumns events{
        data(0, static_cast<int64_t*>(nullptr)), data(1, static_cast<uint8_t*>(nullptr)),
        data(2, static_cast<int64_t*>(nullptr)), data(3, static_cast<double*>(nullptr)),
        data(4, static_cast<double*>(nullptr)),  data(5, static_cast<int64_t*>(nullptr)),
        data(6, static_cast<double*>(nullptr)),  data(7, static_cast<double*>(nullptr))};
    bool cancelled = false;
    const Result<columns::BookEventCounts> counts =
        binding::run_released([&] { return columns::group_book_rows(rows, events); }, cancelled);
    if (cancelled) return nullptr;
    if (!counts) {
      PyErr_SetString(PyExc_RuntimeError, counts.error().message.c_str());
      return nullptr;
    }
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(counts->events),
                         static_cast<Py_ssize_t>(counts->bids),
                         static_cast<Py_ssize_t>(counts->asks));
  } catch (...) {
    binding::raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace

PyMethodDef kBookRowsFunctions[] = {
    {"group_book_rows", group_book_rows_function, METH_VARARGS,
     "group_book_rows(rows, out, /)\n--\n\n"
     "L2 rows (ts, kind, side, price, qty) grouped into book events, written into out\n"
     "(the 8 book columns of load_columns, each with room for every row, the offsets\n"
     "for one more); returns (events, bids, asks), the rows of out in use."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace xray::native
