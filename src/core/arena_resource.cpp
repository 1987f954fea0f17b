// src/core/arena_resource.cpp: blocks per thread, one shared list of them.
#include "core/arena_resource.h"

namespace xray {
namespace {

// A block holds some thousands of book levels: a lock per block is rare.
constexpr std::size_t kBlockBytes = std::size_t{1} << 18;

// This thread's place in the block it takes from, and whose block it is.
struct Cursor {
  uint64_t arena = 0;
  std::byte* at = nullptr;
  std::byte* end = nullptr;
};
thread_local Cursor cursor;

thread_local std::pmr::memory_resource* current = nullptr;

}  // namespace

std::atomic<uint64_t>& ArenaResource::next_id() {
  static std::atomic<uint64_t> id{1};
  return id;
}

void* ArenaResource::do_allocate(std::size_t bytes, std::size_t alignment) {
  if (cursor.arena == id_) {
    const auto at = reinterpret_cast<uintptr_t>(cursor.at);
    const uintptr_t aligned = (at + alignment - 1) & ~(uintptr_t{alignment} - 1);
    if (aligned + bytes <= reinterpret_cast<uintptr_t>(cursor.end)) {
      cursor.at = reinterpret_cast<std::byte*>(aligned + bytes);
      return reinterpret_cast<void*>(aligned);
    }
  }
  // A new block; one for a large list alone leaves this thread's block as it is.
  const bool alone = bytes + alignment > kBlockBytes / 4;
  const std::size_t size = alone ? bytes + alignment : kBlockBytes;
  std::byte* block = nullptr;
  {
    const std::lock_guard lock(mutex_);
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
    block = blocks_.back().get();
  }
  const auto start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t aligned = (start + alignment - 1) & ~(uintptr_t{alignment} - 1);
  if (!alone) cursor = Cursor{id_, reinterpret_cast<std::byte*>(aligned + bytes), block + size};
  return reinterpret_cast<void*>(aligned);
}

std::pmr::memory_resource* current_arena() { return current; }

ArenaScope::ArenaScope(std::pmr::memory_resource* arena) : before_(current) { current = arena; }
ArenaScope::~ArenaScope() { current = before_; }

}  // namespace xray
