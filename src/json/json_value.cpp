// src/json/json_value.cpp: member look-up and the document that owns a tree.
#include "json/json_value.h"

#include "json/json_tree.h"

namespace xray {

const JsonValue* JsonValue::find(std::string_view name) const {
  const std::span<const JsonMember> all = members();
  std::size_t low = 0;
  std::size_t high = all.size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    const int order = all[mid].key().compare(name);
    if (order == 0) return &all[mid].value;
    if (order < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return nullptr;
}

JsonDocument::JsonDocument() = default;
JsonDocument::JsonDocument(JsonDocument&&) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&&) noexcept = default;
JsonDocument::~JsonDocument() = default;

const JsonValue& JsonDocument::root() const {
  static const JsonValue kNull{};
  return storage_ ? storage_->root : kNull;
}

std::size_t JsonDocument::bytes_held() const {
  return storage_ ? sizeof(Storage) + storage_->arena.bytes_held() : 0;
}

}  // namespace xray
