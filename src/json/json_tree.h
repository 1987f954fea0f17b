// src/json/json_tree.h: the storage of a JsonDocument and the builder that fills it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "json/json_value.h"

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
  std::size_t bytes_held() const { return block_bytes_ + blocks_.capacity() * sizeof(Block); }

 private:
  struct FreeBlock {
    void operator()(std::byte* block) const { std::free(block); }
  };
  using Block = std::unique_ptr<std::byte[], FreeBlock>;

  static constexpr std::size_t kFirstBlock = 512;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  // Blocks double up to kSmallBlockCap; once the arena holds kLargeTree
  // they grow to one huge page, whose slack is then small against the tree.
  static constexpr std::size_t kSmallBlockCap = std::size_t{256} << 10;
  static constexpr std::size_t kLargeTree = 8 * kHugePage;

  void* allocate_slow(std::size_t bytes);
  std::byte* new_block(std::size_t bytes);

  std::vector<Block> blocks_;
  std::size_t block_bytes_ = 0;
  std::byte* current_ = nullptr;
  std::size_t used_ = 0;
  std::size_t capacity_ = 0;
  std::size_t next_block_ = kFirstBlock;
};

// Member order of the last small object whose names all live in their nodes.
// The objects of a dataset repeat their names, so most reuse it unsorted.
struct JsonObjectShape {
  static constexpr std::size_t kMaxMembers = 8;
  std::size_t count = 0;                 // members of that object; 0: nothing cached
  std::size_t kept = 0;                  // members left once equal names were merged
  uint64_t names[2 * kMaxMembers] = {};  // the bytes of its name nodes
  uint8_t order[kMaxMembers] = {};       // member indices in the order kept
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
  // Nodes are written in place on the stack: building one elsewhere and
  // copying it would read back bytes just written piecemeal, which stalls.
  void null() { stack_.emplace_back(); }
  void boolean(bool value) {
    JsonValue& v = stack_.emplace_back();
    v.kind_ = static_cast<uint8_t>(JsonKind::Bool);
    v.tag_ = value ? 1 : 0;
  }
  void number(const JsonNumber& n) {
    JsonValue& v = stack_.emplace_back();
    v.kind_ = static_cast<uint8_t>(JsonKind::Number);
    v.tag_ = static_cast<uint8_t>(n.cls);
    switch (n.cls) {
      case NumberClass::Unsigned: v.payload_ = n.u; break;
      case NumberClass::Signed: v.payload_ = static_cast<uint64_t>(n.i); break;
      case NumberClass::Float: v.payload_ = std::bit_cast<uint64_t>(n.d); break;
    }
  }
  // Inline strings keep the bytes after their end zero, so names compare by
  // whole words (compare_inline). readable16: the 16 bytes at text.data()
  // may be read (the text goes on), so a short string moves as two words.
  void string(std::string_view text, bool readable16) {
    const std::size_t n = text.size();
    JsonValue& v = stack_.emplace_back();
    if (n > JsonValue::kInlineBytes) {
      void* bytes = arena_.allocate(n, 1);
      std::memcpy(bytes, text.data(), n);
      v.kind_ = static_cast<uint8_t>(JsonKind::String);
      v.tag_ = JsonValue::kArenaString;
      set_run(v, bytes, n);
      return;
    }
    if (std::endian::native == std::endian::little && readable16) {
      uint64_t low, high;
      std::memcpy(&low, text.data(), 8);
      std::memcpy(&high, text.data() + 8, 8);
      low &= n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
      high &= n > 8 ? (uint64_t{1} << (8 * (n - 8))) - 1 : 0;
      const uint64_t head = static_cast<uint64_t>(JsonKind::String) | n << 8 | low << 16;
      const uint64_t tail = low >> 48 | high << 16;
      std::memcpy(reinterpret_cast<char*>(&v), &head, 8);
      std::memcpy(reinterpret_cast<char*>(&v) + 8, &tail, 8);
      return;
    }
    v.kind_ = static_cast<uint8_t>(JsonKind::String);
    v.tag_ = static_cast<uint8_t>(n);
    if (n != 0) std::memcpy(reinterpret_cast<char*>(&v) + 2, text.data(), n);
  }
  void close_array(std::size_t mark);
  void close_object(std::size_t mark);

  // Member names (always strings) that both live in their nodes.
  static bool both_inline(const JsonValue& a, const JsonValue& b) {
    return a.tag_ != JsonValue::kArenaString && b.tag_ != JsonValue::kArenaString;
  }
  // Bytes 2..15 hold the text, zero past its end, so they compare as two
  // big-endian words; a tie leaves the shorter text first ("a" before "a\0").
  static int compare_inline(const JsonValue& a, const JsonValue& b) {
    const uint64_t a_high = big_endian_word(a, 2);
    const uint64_t b_high = big_endian_word(b, 2);
    if (a_high != b_high) return a_high < b_high ? -1 : 1;
    const uint64_t a_low = big_endian_word(a, 8);
    const uint64_t b_low = big_endian_word(b, 8);
    if (a_low != b_low) return a_low < b_low ? -1 : 1;
    return static_cast<int>(a.tag_) - static_cast<int>(b.tag_);
  }

  // The one value left once the whole text has been read.
  JsonValue root() const { return stack_.back(); }

 private:
  // Bytes offset..offset+7 of a node as a number ordered like those bytes.
  static uint64_t big_endian_word(const JsonValue& v, std::size_t offset) {
    uint64_t word;
    std::memcpy(&word, reinterpret_cast<const char*>(&v) + offset, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
  }
  // Fills shape_ with the order of the count name, value pairs; false when
  // the object is too large or has a name in the arena.
  bool order_small_object(const JsonValue* pairs, std::size_t count);
  // Pops the children from mark on and pushes their container's node.
  void replace_children(std::size_t mark, JsonKind kind, const void* run, std::size_t count);
  static void set_run(JsonValue& v, const void* start, std::size_t count) {
    v.count_low_ = static_cast<uint32_t>(count);
    v.count_high_ = static_cast<uint16_t>(static_cast<uint64_t>(count) >> 32);
    v.payload_ = static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(start));
  }

  std::vector<JsonValue> stack_;
  JsonArena& arena_;
  JsonObjectShape shape_;
};

// Orders members by name bytes, keeping the later of equal names; returns
// the count left. Stable, so equal names keep their document order first.
std::size_t order_members(JsonMember* members, std::size_t count);

}  // namespace xray
