// python/native/schema_export.cpp: the schema tables of the core, and the
// column layout of the list arguments, as one dict of tuples.
#include "native/schema_export.h"

#include <string_view>
#include <variant>
#include <vector>

#include "binding/support.h"
#include "native/column_arguments.h"
#include "protocol/schema_tables.h"

namespace xray::native {
namespace {

using binding::new_str;

// Steals value; false with an exception set.
bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  if (value == nullptr) return false;
  PyObject* k = new_str(key);
  const int done = k == nullptr ? -1 : PyDict_SetItem(dict, k, value);
  Py_XDECREF(k);
  Py_DECREF(value);
  return done == 0;
}

template <class Items, class Name>
PyObject* names_tuple(const Items& items, Name&& name) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (tuple == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* text = new_str(name(item));
    if (text == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SetItem(tuple, i++, text);
  }
  return tuple;
}

PyObject* lists_dict(const SchemaTables& t) {
  PyObject* lists = PyDict_New();
  if (lists == nullptr) return nullptr;
  for (const SchemaList& list : t.lists) {
    if (!set_item(lists, list.name,
                  names_tuple(list.fields, [](const SchemaField& f) { return f.key; }))) {
      Py_DECREF(lists);
      return nullptr;
    }
  }
  return lists;
}

PyObject* load_columns_dict() {
  PyObject* layout = PyDict_New();
  if (layout == nullptr) return nullptr;
  for (std::size_t i = 0; i < std::size(kListKeywords); ++i) {
    const auto columns = list_column_layout(i);
    if (!set_item(layout, kListKeywords[i], names_tuple(columns, [](const ColumnDesc& c) {
                    return std::string_view(c.name);
                  }))) {
      Py_DECREF(layout);
      return nullptr;
    }
  }
  return layout;
}

PyObject* panels_dict(const SchemaTables& t) {
  PyObject* panels = PyDict_New();
  if (panels == nullptr) return nullptr;
  for (const SchemaPanel& panel : t.panels) {
    PyObject* parameters = PyDict_New();
    bool ok = parameters != nullptr;
    for (const SchemaParameter& p : panel.parameters) {
      if (!ok) break;
      PyObject* value = std::holds_alternative<double>(p.value)
                            ? PyFloat_FromDouble(std::get<double>(p.value))
                            : PyLong_FromLongLong(std::get<int64_t>(p.value));
      ok = set_item(parameters, p.key, value);
    }
    if (!ok || !set_item(panels, panel.kind, parameters)) {
      if (!ok) Py_XDECREF(parameters);
      Py_DECREF(panels);
      return nullptr;
    }
  }
  return panels;
}

PyObject* codes_dict(const SchemaTables& t) {
  PyObject* codes = PyDict_New();
  if (codes == nullptr) return nullptr;
  for (const auto& [field, words] : t.codes) {
    if (!set_item(codes, field, names_tuple(words, [](std::string_view w) { return w; }))) {
      Py_DECREF(codes);
      return nullptr;
    }
  }
  return codes;
}

}  // namespace

PyObject* schema_object() {
  const SchemaTables t = schema_tables();
  std::vector<SchemaField> required;
  for (const SchemaField& f : t.spec_keys) {
    if (f.required) required.push_back(f);
  }
  const auto key = [](const SchemaField& f) { return f.key; };
  PyObject* schema = PyDict_New();
  if (schema == nullptr) return nullptr;
  if (set_item(schema, "lists", lists_dict(t)) &&
      set_item(schema, "load_columns", load_columns_dict()) &&
      set_item(schema, "spec_keys", names_tuple(t.spec_keys, key)) &&
      set_item(schema, "required_spec_keys", names_tuple(required, key)) &&
      set_item(schema, "panel_tag", new_str(t.panel_tag)) &&
      set_item(schema, "panels", panels_dict(t)) && set_item(schema, "codes", codes_dict(t))) {
    return schema;
  }
  Py_DECREF(schema);
  return nullptr;
}

}  // namespace xray::native
