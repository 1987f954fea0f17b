// src/json_tree.h: the storage of a JsonDocument and the builder that fills it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "json_value.h"

namespace xray {

// A bump arena of blocks. Small allocations share blocks that grow up to a
// cap; a large one (a long array, a long string) gets a block of its own, so
// the slack at block ends stays small against the tree.
class JsonArena {
 public:
  void* allocate(std::size_t bytes, std::size_t align) {
    const std::size_t at = (used_ + align - 1) & ~(align - 1);
    if (at + bytes <= capacity_) {
      used_ = at + bytes;
      return current_ + at;
    }
    return allocate_slow(bytes);
  }
  // Heap bytes of every block and of the block list.
  std::size_t bytes_held() const {
    return block_bytes_ + blocks_.capacity() * sizeof(std::unique_ptr<std::byte[]>);
  }

 private:
  static constexpr std::size_t kFirstBlock = 512;
  static constexpr std::size_t kMaxBlock = std::size_t{256} << 10;

  void* allocate_slow(std::size_t bytes);
  std::byte* new_block(std::size_t bytes);

  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::size_t block_bytes_ = 0;
  std::byte* current_ = nullptr;
  std::size_t used_ = 0;
  std::size_t capacity_ = 0;
  std::size_t next_block_ = kFirstBlock;
};

struct JsonDocument::Storage {
  JsonValue root;
  JsonArena arena;
};

// Sink of the value parser that builds the tree: every finished value is
// pushed on a scratch stack; a closing container moves its children from
// the top of that stack into one contiguous arena run and replaces them by
// its own node. Object members sit on the stack as name, value pairs.
class JsonTreeBuilder {
 public:
  static constexpr bool kDecodeStrings = true;

  explicit JsonTreeBuilder(JsonArena& arena) : arena_(arena) { stack_.reserve(256); }

  std::size_t mark() const { return stack_.size(); }
  void null() { stack_.push_back(JsonValue{}); }
  void boolean(bool value) { stack_.push_back(node(JsonKind::Bool, value ? 1 : 0, 0)); }
  void number(const JsonNumber& n) {
    uint64_t bits = n.u;
    if (n.cls == NumberClass::Signed) bits = static_cast<uint64_t>(n.i);
    if (n.cls == NumberClass::Float) bits = std::bit_cast<uint64_t>(n.d);
    stack_.push_back(node(JsonKind::Number, static_cast<uint8_t>(n.cls), bits));
  }
  void string(std::string_view text) {
    JsonValue v;
    v.kind_ = static_cast<uint8_t>(JsonKind::String);
    if (text.size() <= JsonValue::kInlineBytes) {
      v.tag_ = static_cast<uint8_t>(text.size());
      if (!text.empty()) std::memcpy(reinterpret_cast<char*>(&v) + 2, text.data(), text.size());
    } else {
      void* bytes = arena_.allocate(text.size(), 1);
      std::memcpy(bytes, text.data(), text.size());
      v.tag_ = JsonValue::kArenaString;
      set_run(v, bytes, text.size());
    }
    stack_.push_back(v);
  }
  void close_array(std::size_t mark);
  void close_object(std::size_t mark);

  // The one value left once the whole text has been read.
  JsonValue root() const { return stack_.back(); }

 private:
  static JsonValue node(JsonKind kind, uint8_t tag, uint64_t payload) {
    JsonValue v;
    v.kind_ = static_cast<uint8_t>(kind);
    v.tag_ = tag;
    v.payload_ = payload;
    return v;
  }
  static void set_run(JsonValue& v, const void* start, std::size_t count) {
    v.count_low_ = static_cast<uint32_t>(count);
    v.count_high_ = static_cast<uint16_t>(static_cast<uint64_t>(count) >> 32);
    v.payload_ = static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(start));
  }

  std::vector<JsonValue> stack_;
  JsonArena& arena_;
};

// Orders members by name bytes, keeping the later of equal names; returns
// the count left. Stable, so equal names keep their document order first.
std::size_t order_members(JsonMember* members, std::size_t count);

}  // namespace xray
