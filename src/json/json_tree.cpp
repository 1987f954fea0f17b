// src/json/json_tree.cpp: arena blocks, container closing and member order.
#include "json/json_tree.h"

#include <algorithm>
#include <new>

#include "json/json_member_order.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace xray {

// Blocks of 2 MiB and more start on a huge page and are advised as huge
// pages where the system offers them: a large tree then takes one page fault
// per 2 MiB instead of one per 4 KiB, which otherwise costs about a third of
// the read. Every block is aligned for every node type.
std::byte* JsonArena::new_block(std::size_t bytes) {
  void* block = nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugePage) {
    if (posix_memalign(&block, kHugePage, bytes) != 0) block = nullptr;
    if (block != nullptr) madvise(block, bytes, MADV_HUGEPAGE);  // advice: failing changes nothing
  } else {
    block = std::malloc(bytes);
  }
#else
  block = std::malloc(bytes);
#endif
  if (block == nullptr) throw std::bad_alloc();  // as operator new would
  blocks_.emplace_back(static_cast<std::byte*>(block));
  block_bytes_ += bytes;
  return blocks_.back().get();
}

void* JsonArena::allocate_slow(std::size_t bytes) {
  if (bytes > next_block_ / 4) return new_block(bytes);
  current_ = new_block(next_block_);
  capacity_ = next_block_;
  used_ = bytes;
  next_block_ = std::min(next_block_ * 2, block_bytes_ >= kLargeTree ? kHugePage : kSmallBlockCap);
  return current_;
}

void JsonTreeBuilder::close_array(std::size_t mark) {
  const std::size_t count = stack_.size() - mark;
  JsonValue* elements = nullptr;
  if (count != 0) {
    elements = static_cast<JsonValue*>(arena_.allocate(count * sizeof(JsonValue), 8));
    std::uninitialized_copy(stack_.begin() + static_cast<std::ptrdiff_t>(mark), stack_.end(),
                            elements);
  }
  replace_children(mark, JsonKind::Array, elements, count);
}

void JsonTreeBuilder::close_object(std::size_t mark) {
  std::size_t count = (stack_.size() - mark) / 2;
  const JsonValue* pairs = stack_.data() + mark;
  JsonMember* members = nullptr;
  if (count != 0 && order_small_object(pairs, count)) {
    members = static_cast<JsonMember*>(arena_.allocate(shape_.kept * sizeof(JsonMember), 8));
    for (std::size_t i = 0; i < shape_.kept; ++i) {
      const JsonValue* pair = pairs + 2 * std::size_t{shape_.order[i]};
      new (members + i) JsonMember{pair[0], pair[1]};
    }
    replace_children(mark, JsonKind::Object, members, shape_.kept);
    return;
  }
  if (count != 0) {
    members = static_cast<JsonMember*>(arena_.allocate(count * sizeof(JsonMember), 8));
    const JsonValue* pair = pairs;
    for (std::size_t i = 0; i < count; ++i, pair += 2) {
      new (members + i) JsonMember{pair[0], pair[1]};
    }
    count = order_members(members, count);
  }
  replace_children(mark, JsonKind::Object, members, count);
}

bool JsonTreeBuilder::order_small_object(const JsonValue* pairs, std::size_t count) {
  if (count > JsonObjectShape::kMaxMembers) return false;
  uint64_t names[2 * JsonObjectShape::kMaxMembers];
  bool same = count == shape_.count;
  for (std::size_t i = 0; i < count; ++i) {
    const JsonValue& name = pairs[2 * i];
    if (name.tag_ == JsonValue::kArenaString) return false;
    // Inline names are zero past their end, so equal bytes mean equal names.
    std::memcpy(&names[2 * i], &name, sizeof name);
    same =
        same && names[2 * i] == shape_.names[2 * i] && names[2 * i + 1] == shape_.names[2 * i + 1];
  }
  if (same) return true;
  uint8_t order[JsonObjectShape::kMaxMembers];
  for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<uint8_t>(i);
  shape_.kept = order_members_by_key(order, count, [pairs](uint8_t a, uint8_t b) {
    return compare_inline(pairs[2 * std::size_t{a}], pairs[2 * std::size_t{b}]);
  });
  std::memcpy(shape_.order, order, shape_.kept);
  shape_.count = count;
  std::memcpy(shape_.names, names, 2 * count * sizeof names[0]);
  return true;
}

void JsonTreeBuilder::replace_children(std::size_t mark, JsonKind kind, const void* run,
                                       std::size_t count) {
  stack_.resize(mark);
  JsonValue& v = stack_.emplace_back();
  v.kind_ = static_cast<uint8_t>(kind);
  set_run(v, run, count);
}

std::size_t order_members(JsonMember* members, std::size_t count) {
  return order_members_by_key(members, count, [](const JsonMember& a, const JsonMember& b) {
    if (JsonTreeBuilder::both_inline(a.name, b.name)) {
      return JsonTreeBuilder::compare_inline(a.name, b.name);
    }
    return a.key().compare(b.key());
  });
}

}  // namespace xray
