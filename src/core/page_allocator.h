// src/core/page_allocator.h: memory taken from the system in whole pages and
// handed back to it when freed.
//
// For large buffers that live briefly on worker threads: the heap of a
// thread keeps the pages of what it frees among what it still holds, so a
// process that once held such buffers would stay that much larger.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace xray {

template <class T>
struct PageAllocator {
  using value_type = T;

  PageAllocator() = default;
  template <class U>
  explicit PageAllocator(const PageAllocator<U>& /*unused*/) {}

  T* allocate(std::size_t n) {
    void* p =
        mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    // As std::allocator does: the host turns it into its out-of-memory error.
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) { munmap(p, n * sizeof(T)); }

  friend bool operator==(const PageAllocator&, const PageAllocator&) { return true; }
};

}  // namespace xray
