#include "platform/large_memory.h"

#include <sys/mman.h>
#include <sys/prctl.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace ambrelic::platform {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this a block comes from the heap: mapping it alone would cost more
// than the faults it saves.
constexpr std::size_t kMappedFrom = std::size_t{4} << 20;

std::size_t MappedLength(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Whether the kernel gives this process huge pages when asked: set to
// "always" or "madvise" (not "never"), and not turned off for the process.
bool HugePagesOnRequest() {
  if (prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0) > 0) return false;
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string setting;
  std::getline(in, setting);
  return setting.find("[always]") != std::string::npos || setting.find("[madvise]") != std::string::npos;
}

}  // namespace

void* AllocateLarge(std::size_t bytes) {
  if (bytes < kMappedFrom) return ::operator new(bytes);
  const std::size_t length = MappedLength(bytes);
  if (length < bytes || length + kHugePage < length) throw std::bad_alloc();
  // Map one huge page more than needed and give back what lies before the
  // first 2 MiB boundary and after the block, so that the block starts on
  // a boundary and every page of it can be a huge one.
  void* mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
  const std::size_t before = aligned - start;
  if (before != 0) munmap(mapped, before);
  const std::size_t after = kHugePage - before;
  if (after != 0) munmap(reinterpret_cast<void*>(aligned + length), after);
  void* block = reinterpret_cast<void*>(aligned);
  // Advice only: without huge pages the block works as any other.
  madvise(block, length, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
  // Where the kernel has no huge pages to give, bringing the 4 KiB pages in
  // with one call still costs far less than a fault for each (a million rows
  // fill in 1.7 s instead of 3-4 s). With huge pages it would only add the
  // block's unused end. Kernels before 5.14 refuse it, and the pages come
  // in as they are first written.
  static const bool hugePages = HugePagesOnRequest();
  if (!hugePages) madvise(block, length, MADV_POPULATE_WRITE);
#endif
  return block;
}

void ReleaseLarge(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < kMappedFrom) {
    ::operator delete(block);
    return;
  }
  munmap(block, MappedLength(bytes));
}

}  // namespace ambrelic::platform
