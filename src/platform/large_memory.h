// Memory for the few very large arrays the program builds, such as a list
// of a million found rows. Each page of fresh memory costs a fault when it
// is first written; in 4 KiB pages that is a quarter of a million faults
// per gigabyte, and on a virtual machine they, not the copying, set the
// time a big list takes to fill. Blocks of several megabytes are therefore
// mapped on their own, aligned to 2 MiB and offered to the kernel for huge
// pages (where it has them enabled, at least on request), so that one
// fault brings in 2 MiB. Smaller blocks come from the ordinary heap.
#pragma once

#include <cstddef>
#include <new>

namespace ambrelic::platform {

// A block of at least `bytes` bytes, aligned for any type; throws
// std::bad_alloc when the memory cannot be had, as operator new does.
void* AllocateLarge(std::size_t bytes);
// Returns a block from AllocateLarge; `bytes` is the size it was asked for.
void ReleaseLarge(void* block, std::size_t bytes) noexcept;

// A standard allocator over AllocateLarge, for containers that may grow
// to hundreds of megabytes.
template <typename T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(AllocateLarge(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { ReleaseLarge(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const LargeAllocator<U>&) const noexcept { return true; }
};

}  // namespace ambrelic::platform
