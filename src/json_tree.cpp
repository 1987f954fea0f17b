// src/json_tree.cpp: arena blocks, container closing and member order.
#include "json_tree.h"

#include <algorithm>
#include <new>

namespace xray {

std::byte* JsonArena::new_block(std::size_t bytes) {
  blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes));
  block_bytes_ += bytes;
  return blocks_.back().get();
}

void* JsonArena::allocate_slow(std::size_t bytes) {
  // Blocks come from operator new[], aligned for every node type.
  if (bytes > next_block_ / 4) return new_block(bytes);
  current_ = new_block(next_block_);
  capacity_ = next_block_;
  used_ = bytes;
  next_block_ = std::min(next_block_ * 2, kMaxBlock);
  return current_;
}

void JsonTreeBuilder::close_array(std::size_t mark) {
  const std::size_t count = stack_.size() - mark;
  JsonValue array = node(JsonKind::Array, 0, 0);
  if (count != 0) {
    auto* elements = static_cast<JsonValue*>(arena_.allocate(count * sizeof(JsonValue), 8));
    std::uninitialized_copy(stack_.begin() + static_cast<std::ptrdiff_t>(mark), stack_.end(),
                            elements);
    set_run(array, elements, count);
  }
  stack_.resize(mark);
  stack_.push_back(array);
}

void JsonTreeBuilder::close_object(std::size_t mark) {
  const std::size_t count = (stack_.size() - mark) / 2;
  JsonValue object = node(JsonKind::Object, 0, 0);
  if (count != 0) {
    auto* members = static_cast<JsonMember*>(arena_.allocate(count * sizeof(JsonMember), 8));
    const JsonValue* pair = stack_.data() + mark;
    for (std::size_t i = 0; i < count; ++i, pair += 2) {
      new (members + i) JsonMember{pair[0], pair[1]};
    }
    set_run(object, members, order_members(members, count));
  }
  stack_.resize(mark);
  stack_.push_back(object);
}

namespace {

bool name_less(const JsonMember& a, const JsonMember& b) { return a.key() < b.key(); }

// Insertion sort: stable and quick for the few members most objects have.
void insertion_sort(JsonMember* members, std::size_t count) {
  for (std::size_t i = 1; i < count; ++i) {
    const JsonMember moving = members[i];
    std::size_t j = i;
    for (; j > 0 && name_less(moving, members[j - 1]); --j) members[j] = members[j - 1];
    members[j] = moving;
  }
}

}  // namespace

std::size_t order_members(JsonMember* members, std::size_t count) {
  bool sorted = true;
  bool repeated = false;
  for (std::size_t i = 1; i < count; ++i) {
    const int order = members[i - 1].key().compare(members[i].key());
    sorted = sorted && order <= 0;
    repeated = repeated || order == 0;
  }
  if (sorted && !repeated) return count;
  if (!sorted) {
    if (count <= 16) {
      insertion_sort(members, count);
    } else {
      std::stable_sort(members, members + count, name_less);
    }
  }
  // Equal names are adjacent and in document order: keep the last of each run.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count && members[i].key() == members[i + 1].key()) continue;
    members[kept++] = members[i];
  }
  return kept;
}

}  // namespace xray
