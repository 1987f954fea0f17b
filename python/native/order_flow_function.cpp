// python/native/order_flow_function.cpp: footprint bars and large prints of
// the held trades, handed out as a dict of typed, read-only memoryviews
// (numpy reads them without a copy).
#include "native/order_flow_function.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binding/support.h"
#include "engine/order_flow_job.h"
#include "engine/window.h"
#include "panels/order_flow/book_sides.h"
#include "panels/order_flow/footprint_bars.h"
#include "panels/panels.h"

namespace xray::native {
namespace {

using binding::optional_int64;
using binding::raise_from_current_exception;

// One column as a read-only memoryview of the given format over a bytes copy.
template <class T>
PyObject* column(const std::vector<T>& values) {
  PyObject* bytes =
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size() * sizeof(T)));
  if (bytes == nullptr) return nullptr;
  if (!values.empty())
    std::memcpy(PyBytes_AsString(bytes), values.data(), values.size() * sizeof(T));
  PyObject* view = PyMemoryView_FromObject(bytes);
  Py_DECREF(bytes);
  if (view == nullptr) return nullptr;
  PyObject* typed = PyObject_CallMethod(view, "cast", "s", binding::buffer_format<T>());
  Py_DECREF(view);
  return typed;
}

// Adds name: value to dict, taking value; false with an exception set.
bool put(PyObject* dict, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  const int failed = PyDict_SetItemString(dict, name, value);
  Py_DECREF(value);
  return failed == 0;
}

template <class T>
bool put_column(PyObject* dict, const char* name, const std::vector<T>& values) {
  return put(dict, name, column(values));
}

bool optional_double(PyObject* arg, const char* name, std::optional<double>& out) {
  if (arg == nullptr || arg == Py_None) return true;
  const double value = PyFloat_AsDouble(arg);
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Format(PyExc_TypeError, "%s must be a number or None", name);
    return false;
  }
  out = value;
  return true;
}

// The trades of the window, and the window itself, or false with XrayError set.
bool window_trades(const XrayInstance& state, PyObject* at_arg, PyObject* window_arg,
                   std::span<const Trade>& trades, FrameWindow& window) {
  std::optional<int64_t> at;
  std::optional<int64_t> window_ms;
  if (!optional_int64(at_arg, "at", at) || !optional_int64(window_arg, "window_ms", window_ms)) {
    return false;
  }
  Result<FrameWindow> found = state.window(at, window_ms);
  if (!found) {
    raise_engine_error(found.error());
    return false;
  }
  window = *found;
  trades = cut_window(state.dataset(), window.from_ts, window.cursor_ts).trades;
  return true;
}

PyObject* window_dict(const FrameWindow& window) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* from = window.from_ts ? PyLong_FromLongLong(*window.from_ts) : Py_NewRef(Py_None);
  if (!put(dict, "from_ts", from) ||
      !put(dict, "cursor_ts", PyLong_FromLongLong(window.cursor_ts))) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// The window's dict with what put_all adds to it, or null with an exception set.
template <class PutAll>
PyObject* window_answer(const FrameWindow& window, PutAll put_all) {
  PyObject* dict = window_dict(window);
  if (dict == nullptr) return nullptr;
  if (!put_all(dict)) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// body's answer; anything it throws becomes a Python exception.
template <class Body>
PyObject* guarded(Body body) {
  try {
    return body();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// Runs work without the interpreter lock; its failure raised.
template <class T, class Work>
std::optional<T> released(Work work) {
  bool cancelled = false;
  Result<T> result = binding::run_released(work, cancelled);
  if (cancelled) return std::nullopt;
  if (!result) {
    raise_engine_error(result.error());
    return std::nullopt;
  }
  return std::move(result).value();
}

bool put_bars(PyObject* d, const FootprintBars& b) {
  return put(d, "tick", PyFloat_FromDouble(b.tick.size)) &&
         put(d, "tick_decimals", PyLong_FromLong(b.tick.decimals)) &&
         put_column(d, "cell_bar", b.cell_bar) && put_column(d, "level", b.level) &&
         put_column(d, "price", b.price) && put_column(d, "bid_vol", b.bid_vol) &&
         put_column(d, "ask_vol", b.ask_vol) && put_column(d, "trades", b.trades) &&
         put_column(d, "buy_imbalance", b.buy_imbalance) &&
         put_column(d, "sell_imbalance", b.sell_imbalance) && put_column(d, "bar_ts", b.bar_ts) &&
         put_column(d, "open", b.open) && put_column(d, "high", b.high) &&
         put_column(d, "low", b.low) && put_column(d, "close", b.close) &&
         put_column(d, "volume", b.volume) && put_column(d, "delta", b.delta) &&
         put_column(d, "cvd", b.cvd) && put_column(d, "poc", b.poc) &&
         put_column(d, "va_low", b.va_low) && put_column(d, "va_high", b.va_high) &&
         put_column(d, "bar_trades", b.bar_trades) &&
         put_column(d, "unfinished_high", b.unfinished_high) &&
         put_column(d, "unfinished_low", b.unfinished_low) &&
         put_column(d, "naked_poc", b.naked_poc) &&
         put_column(d, "developing_poc", b.developing_poc) &&
         put_column(d, "developing_va_low", b.developing_va_low) &&
         put_column(d, "developing_va_high", b.developing_va_high) &&
         put_column(d, "run_bar", b.run_bar) && put_column(d, "run_side", b.run_side) &&
         put_column(d, "run_low", b.run_low) && put_column(d, "run_high", b.run_high) &&
         put_column(d, "run_levels", b.run_levels);
}

}  // namespace

PyObject* order_flow_footprint_bars(const XrayInstance& state, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"at",         "window_ms",  "bar_ms",  "tick",
                                         "ratio",      "min_volume", "stacked", "value_area",
                                         "developing", nullptr};
  PyObject* at = nullptr;
  PyObject* window_ms = nullptr;
  PyObject* bar_arg = nullptr;
  PyObject* tick_arg = nullptr;
  OrderFlowParams params;
  unsigned int stacked = params.stacked;
  int developing = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOOddIdp:footprint_bars",
                                   const_cast<char**>(keywords), &at, &window_ms, &bar_arg,
                                   &tick_arg, &params.ratio, &params.min_volume, &stacked,
                                   &params.value_area, &developing)) {
    return nullptr;
  }
  params.stacked = stacked;
  params.developing = developing != 0;
  if (!optional_int64(bar_arg, "bar_ms", params.bar_ms) ||
      !optional_double(tick_arg, "tick", params.tick)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    std::span<const Trade> trades;
    FrameWindow window{};
    if (!window_trades(state, at, window_ms, trades, window)) return nullptr;
    std::optional<FootprintBars> bars =
        released<FootprintBars>([&] { return footprint_bars_pooled(trades, params); });
    if (!bars) return nullptr;
    return window_answer(window, [&](PyObject* d) { return put_bars(d, *bars); });
  });
}

PyObject* order_flow_large_prints(const XrayInstance& state, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"at", "window_ms", "min_qty", "quantile", nullptr};
  PyObject* at = nullptr;
  PyObject* window_ms = nullptr;
  PyObject* min_arg = nullptr;
  PyObject* quantile_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOO:large_prints",
                                   const_cast<char**>(keywords), &at, &window_ms, &min_arg,
                                   &quantile_arg)) {
    return nullptr;
  }
  std::optional<double> min_qty;
  std::optional<double> quantile;
  if (!optional_double(min_arg, "min_qty", min_qty) ||
      !optional_double(quantile_arg, "quantile", quantile)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    std::span<const Trade> trades;
    FrameWindow window{};
    if (!window_trades(state, at, window_ms, trades, window)) return nullptr;
    std::optional<LargePrints> prints =
        released<LargePrints>([&] { return large_prints(trades, min_qty, quantile); });
    if (!prints) return nullptr;
    return window_answer(window, [&](PyObject* d) {
      return put(d, "threshold", PyFloat_FromDouble(prints->threshold)) &&
             put_column(d, "ts", prints->ts) && put_column(d, "price", prints->price) &&
             put_column(d, "qty", prints->qty) && put_column(d, "side", prints->side);
    });
  });
}

PyObject* order_flow_book_sides(const XrayInstance& state, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"at", "window_ms", "panel", nullptr};
  PyObject* at = nullptr;
  PyObject* window_ms = nullptr;
  Py_ssize_t wanted = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$On:book_sides", const_cast<char**>(keywords),
                                   &at, &window_ms, &wanted)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    std::span<const Trade> trades;
    FrameWindow window{};
    if (!window_trades(state, at, window_ms, trades, window)) return nullptr;
    // The spec's wanted'th book heatmap panel.
    const XrayPanel* panel = nullptr;
    Py_ssize_t seen = 0;
    for (const XrayPanel& p : state.spec()->panels) {
      if (std::holds_alternative<XrayPanel::BookHeatmap>(p.config) && seen++ == wanted) panel = &p;
    }
    if (panel == nullptr) {
      raise_engine_error(XrayError::bad_spec("the spec has " + std::to_string(seen) +
                                             " book_heatmap panel(s), no number " +
                                             std::to_string(wanted)));
      return nullptr;
    }
    const auto& config = std::get<XrayPanel::BookHeatmap>(panel->config);
    struct Sides {
      PanelData::BookHeatmap heatmap;
      BookSides sides;
    };
    std::optional<Sides> sides = released<Sides>([&]() -> Result<Sides> {
      const DatasetWindow cut = cut_window(state.dataset(), window.from_ts, window.cursor_ts);
      if (Status fits = check_panel_size(*panel, cut); !fits) return std::move(fits).error();
      PanelData heatmap = compute_book_heatmap(config, cut);
      Sides out{std::get<PanelData::BookHeatmap>(std::move(heatmap.data)), {}};
      if (!cancel_requested()) out.sides = book_sides(config, cut, out.heatmap);
      if (cancel_requested()) return cancelled_error();
      return out;
    });
    if (!sides) return nullptr;
    return window_answer(window, [&](PyObject* d) {
      return put_column(d, "time", sides->heatmap.time) &&
             put_column(d, "price", sides->heatmap.price) &&
             put_column(d, "intensity", sides->heatmap.intensity) &&
             put_column(d, "bids", sides->sides.bids) && put_column(d, "asks", sides->sides.asks) &&
             put_column(d, "best_bid", sides->sides.best_bid) &&
             put_column(d, "best_ask", sides->sides.best_ask);
    });
  });
}

}  // namespace xray::native
