// python/native/column_arguments.cpp: the six list arguments (tuples of
// column buffers) bound to views of a dataset's columns.
#include "native/column_arguments.h"

#include <algorithm>
#include <bit>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace xray::native {
namespace {

namespace cols = xray::columns;

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

}  // namespace

// A TypeError naming the list and column when obj is no such column.

const Py_buffer* get_column(PyObject* obj, const char* list, const char* column, ColumnType type,
                            HeldBuffers& held, bool writable) {
  HeldBuffer& slot = held.buffers[held.used];
  if (PyObject_GetBuffer(obj, &slot.view, writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO) < 0) {
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

namespace {

std::size_t rows(const Py_buffer* v) { return static_cast<std::size_t>(v->shape[0]); }

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

constexpr std::array<ColumnDesc, 6> kCandleColumns{
    {{"ts", I}, {"open", F}, {"high", F}, {"low", F}, {"close", F}, {"volume", F}}};
constexpr std::array<ColumnDesc, 4> kTradeColumns{
    {{"ts", I}, {"price", F}, {"qty", F}, {"side", C}}};
constexpr std::array<ColumnDesc, 8> kBookColumns{{{"ts", I},
                                                  {"kind", C},
                                                  {"bid_offsets", I},
                                                  {"bid_price", F},
                                                  {"bid_qty", F},
                                                  {"ask_offsets", I},
                                                  {"ask_price", F},
                                                  {"ask_qty", F}}};
constexpr std::array<ColumnDesc, 2> kFundingColumns{{{"ts", I}, {"rate", F}}};
constexpr std::array<ColumnDesc, 2> kOiColumns{{{"ts", I}, {"oi", F}}};
constexpr std::array<ColumnDesc, 4> kLiquidationColumns{
    {{"ts", I}, {"price", F}, {"qty", F}, {"side", C}}};

}  // namespace

std::span<const ColumnDesc> list_column_layout(std::size_t list) {
  switch (list) {
    case 0: return kCandleColumns;
    case 1: return kTradeColumns;
    case 2: return kBookColumns;
    case 3: return kFundingColumns;
    case 4: return kOiColumns;
    case 5: return kLiquidationColumns;
    default: return {};
  }
}

bool bind_dataset(PyObject* const args[6], cols::DatasetColumns& columns, HeldBuffers& held) {
  {
    const auto& descs = kCandleColumns;
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
    const auto& descs = kTradeColumns;
    std::array<const Py_buffer*, 4> v{};
    const std::optional<bool> given = list_columns(args[1], "trades", descs, v, held);
    if (!given) return false;
    if (*given) {
      columns.trades = cols::TradeColumns{int64_column(v[0]), double_column(v[1]),
                                          double_column(v[2]), code_column(v[3])};
    }
  }
  {
    const auto& descs = kBookColumns;
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
    const auto& descs = kFundingColumns;
    std::array<const Py_buffer*, 2> v{};
    const std::optional<bool> given = list_columns(args[3], "funding", descs, v, held);
    if (!given) return false;
    if (*given) columns.funding = cols::FundingColumns{int64_column(v[0]), double_column(v[1])};
  }
  {
    const auto& descs = kOiColumns;
    std::array<const Py_buffer*, 2> v{};
    const std::optional<bool> given = list_columns(args[4], "oi", descs, v, held);
    if (!given) return false;
    if (*given) columns.oi = cols::OiColumns{int64_column(v[0]), double_column(v[1])};
  }
  {
    const auto& descs = kLiquidationColumns;
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

namespace {

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

}  // namespace

// A TypeError for the first keyword the callable does not take, with the
// nearest one it does take when that is close; false when all are known.
bool unknown_keyword(PyObject* kwargs, const char* callable, const char* const* keywords) {
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
    for (const char* const* k = keywords; *k != nullptr; ++k) {
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
                   "%s() got an unexpected keyword argument '%U'; did you mean '%s'?", callable,
                   key, nearest);
    } else {
      std::string known;
      for (const char* const* k = keywords; *k != nullptr; ++k) {
        known += (known.empty() ? "" : k[1] == nullptr ? " and " : ", ") + std::string(*k);
      }
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'; it takes %s",
                   callable, key, known.c_str());
    }
    return true;
  }
  return false;
}

}  // namespace xray::native
