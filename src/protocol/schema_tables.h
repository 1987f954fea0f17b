// src/protocol/schema_tables.h: the dataset's lists and fields and the
// spec's keys, panel kinds, parameters and defaults, read off the decoding
// schema, so that nothing outside it spells them out again.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

namespace xray {

struct SchemaField {
  std::string_view key;
  bool required;
};

struct SchemaList {
  std::string_view name;            // "trades"
  std::vector<SchemaField> fields;  // a record's keys, in array-form order
};

struct SchemaParameter {
  std::string_view key;
  std::variant<double, int64_t> value;  // the default
};

struct SchemaPanel {
  std::string_view kind;  // "footprint"
  std::vector<SchemaParameter> parameters;
};

struct SchemaTables {
  std::vector<SchemaList> lists;       // in the dataset's order
  std::vector<SchemaField> spec_keys;  // in the spec's order
  std::string_view panel_tag;          // "kind"
  std::vector<SchemaPanel> panels;     // in the variant's order
  // The words of the coded fields: trade sides, book kinds, liquidation sides.
  std::vector<std::pair<std::string_view, std::vector<std::string_view>>> codes;
};

[[nodiscard]] SchemaTables schema_tables();

}  // namespace xray
