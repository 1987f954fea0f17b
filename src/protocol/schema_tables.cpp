// src/protocol/schema_tables.cpp: the tables walked out of the decoding schema.
#include "protocol/schema_tables.h"

#include <tuple>
#include <type_traits>
#include <utility>

#include "protocol/dataset_schema.h"
#include "protocol/spec_schema.h"

namespace xray {
namespace {

using decoding::Schema;

template <class T>
std::vector<SchemaField> record_fields() {
  std::vector<SchemaField> fields;
  std::apply(
      [&](const auto&... f) {
        (fields.push_back({f.key, !f.has_default}), ...);
      },
      Schema<T>::desc.fields);
  return fields;
}

// A list's element type, by the member the dataset's schema names.
template <class R, class M>
SchemaList list_of(const decoding::Field<R, M>& field) {
  return {field.key, record_fields<typename M::value_type>()};
}

template <class P>
std::vector<SchemaParameter> parameters() {
  std::vector<SchemaParameter> out;
  const P initial{};  // the defaults are the members' initial values
  std::apply(
      [&](const auto&... f) {
        (out.push_back(
             {f.key, std::is_floating_point_v<std::remove_cvref_t<decltype(initial.*f.member)>>
                         ? std::variant<double, int64_t>(static_cast<double>(initial.*f.member))
                         : std::variant<double, int64_t>(static_cast<int64_t>(initial.*f.member))}),
         ...);
      },
      Schema<P>::desc.fields);
  return out;
}

template <class E>
std::pair<std::string_view, std::vector<std::string_view>> code_words(std::string_view field) {
  const auto& names = Schema<E>::desc.names;
  return {field, std::vector<std::string_view>(names.begin(), names.end())};
}

}  // namespace

SchemaTables schema_tables() {
  SchemaTables t;
  std::apply([&](const auto&... f) { (t.lists.push_back(list_of(f)), ...); },
             Schema<Dataset>::desc.fields);
  t.spec_keys = record_fields<XraySpec>();
  constexpr auto& panel = Schema<XrayPanel>::desc;
  t.panel_tag = panel.tag;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (t.panels.push_back(
         {panel.names[I], parameters<std::variant_alternative_t<I, XrayPanel::Variant>>()}),
     ...);
  }
  (std::make_index_sequence<std::variant_size_v<XrayPanel::Variant>>{});
  t.codes.push_back(code_words<TradeSide>("trades.side"));
  t.codes.push_back(code_words<BookEventKind>("book.kind"));
  t.codes.push_back(code_words<LiquidationSide>("liquidations.side"));
  return t;
}

}  // namespace xray
