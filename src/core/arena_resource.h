// src/core/arena_resource.h: memory handed out in large blocks and given
// back all at once, for the many small lists of one dataset.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <vector>

namespace xray {

// Any number of threads may take memory at once: each takes from a block of
// its own and asks the shared list only for a new block. Giving memory back
// does nothing; the blocks go when the arena does. Lists in it never pay a
// free each, which was most of the cost of dropping a loaded book.
class ArenaResource final : public std::pmr::memory_resource {
 public:
  ArenaResource() = default;
  ArenaResource(const ArenaResource&) = delete;
  ArenaResource& operator=(const ArenaResource&) = delete;

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* /*p*/, std::size_t /*bytes*/, std::size_t /*alignment*/) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  // Told apart from any earlier arena at the same address.
  const uint64_t id_ = next_id().fetch_add(1, std::memory_order_relaxed);
  std::mutex mutex_;
  std::vector<std::unique_ptr<std::byte[]>> blocks_;

  static std::atomic<uint64_t>& next_id();
};

// The arena that lists decoded on this thread take their memory from, or
// null (the heap). A scope sets it for its lifetime, and puts back the one
// before.
std::pmr::memory_resource* current_arena();

class ArenaScope {
 public:
  explicit ArenaScope(std::pmr::memory_resource* arena);
  ~ArenaScope();
  ArenaScope(const ArenaScope&) = delete;
  ArenaScope& operator=(const ArenaScope&) = delete;

 private:
  std::pmr::memory_resource* before_;
};

}  // namespace xray
