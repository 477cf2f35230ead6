#include "platform/resident_bytes.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <atomic>
#include <mutex>
#include <vector>

namespace ambrelic::platform {
namespace {

// The views out, as the SIGBUS handler sees them: it may run on any thread
// at any moment, so it reads only these atomics.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<std::uintptr_t> begin{0}, end{0};
  // The first and the last page that failed (none while first > last).
  std::atomic<std::uintptr_t> spoiledFirst{UINTPTR_MAX}, spoiledLast{0};
};

void Unspoil(Slot& s) {
  s.spoiledFirst.store(UINTPTR_MAX, std::memory_order_relaxed);
  s.spoiledLast.store(0, std::memory_order_relaxed);
}
constexpr std::size_t kSlots = 64;
std::array<Slot, kSlots> g_slots;

struct sigaction g_previous {};
std::once_flag g_installed;
bool g_guarded = false;
std::uintptr_t g_pageBytes = 4096;

// A fault inside a view puts a page of zeros over the page that failed,
// read-only as the view is, and marks the view; the access then runs again
// and reads zeros. Any other SIGBUS goes where it went before.
void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& s : g_slots) {
    if (!s.taken.load(std::memory_order_acquire)) continue;
    if (address < s.begin.load(std::memory_order_acquire) || address >= s.end.load(std::memory_order_acquire)) {
      continue;
    }
    const std::uintptr_t page = address & ~(g_pageBytes - 1);
    if (::mmap(reinterpret_cast<void*>(page), g_pageBytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) != MAP_FAILED) {
      // Lock-free, as a signal handler must be: the range only widens.
      std::uintptr_t first = s.spoiledFirst.load(std::memory_order_relaxed);
      while (page < first && !s.spoiledFirst.compare_exchange_weak(first, page, std::memory_order_acq_rel)) {
      }
      std::uintptr_t last = s.spoiledLast.load(std::memory_order_relaxed);
      while (page > last && !s.spoiledLast.compare_exchange_weak(last, page, std::memory_order_acq_rel)) {
      }
      return;
    }
    break;
  }
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(signal, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
  } else {
    // The default: the faulting access runs again and ends the program,
    // as it would have without us.
    ::signal(SIGBUS, SIG_DFL);
  }
}

void Install() {
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page > 0) g_pageBytes = static_cast<std::uintptr_t>(page);
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  g_guarded = ::sigaction(SIGBUS, &action, &g_previous) == 0;
}

int TakeSlot() {
  for (std::size_t i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (g_slots[i].taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace

ResidentBytes::~ResidentBytes() {
  if (slot_ < 0) return;
  Slot& s = g_slots[static_cast<std::size_t>(slot_)];
  s.begin.store(0, std::memory_order_release);
  s.end.store(0, std::memory_order_release);
  ::munmap(map_, mapBytes_);
  Unspoil(s);
  s.taken.store(false, std::memory_order_release);
}

bool ResidentBytes::Spoiled() const { return Spoiled(data_, size_); }

bool ResidentBytes::Spoiled(const std::uint8_t* from, std::size_t length) const {
  const Slot& s = g_slots[static_cast<std::size_t>(slot_)];
  const std::uintptr_t last = s.spoiledLast.load(std::memory_order_acquire);
  const std::uintptr_t first = s.spoiledFirst.load(std::memory_order_acquire);
  const auto begin = reinterpret_cast<std::uintptr_t>(from);
  return length != 0 && first <= last && begin <= last + g_pageBytes - 1 && begin + length > first;
}

std::unique_ptr<ResidentBytes> MapResident(int fd, std::uint64_t offset, std::size_t length) {
  std::call_once(g_installed, Install);
  if (!g_guarded || length == 0) return nullptr;
  const std::uint64_t start = offset / g_pageBytes * g_pageBytes;
  const std::size_t lead = static_cast<std::size_t>(offset - start);
  const std::size_t mapBytes = lead + length;
  void* map = ::mmap(nullptr, mapBytes, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
  if (map == MAP_FAILED) return nullptr;
  const std::size_t pages = (mapBytes + g_pageBytes - 1) / g_pageBytes;
  thread_local std::vector<unsigned char> resident;
  resident.resize(pages);
  bool whole = ::mincore(map, mapBytes, resident.data()) == 0;
  for (std::size_t i = 0; whole && i < pages; ++i) whole = (resident[i] & 1) != 0;
  const int slot = whole ? TakeSlot() : -1;
  if (slot < 0) {
    ::munmap(map, mapBytes);
    return nullptr;
  }
#ifdef MADV_POPULATE_READ
  // The page tables filled at once: the pages are in memory, so this
  // reads nothing, and the pass's prefetches then reach them.
  ::madvise(map, mapBytes, MADV_POPULATE_READ);
#endif
  std::unique_ptr<ResidentBytes> view(new ResidentBytes());
  view->map_ = map;
  view->mapBytes_ = mapBytes;
  view->data_ = static_cast<const std::uint8_t*>(map) + lead;
  view->size_ = length;
  view->slot_ = slot;
  Slot& s = g_slots[static_cast<std::size_t>(slot)];
  Unspoil(s);
  s.begin.store(reinterpret_cast<std::uintptr_t>(map), std::memory_order_release);
  s.end.store(reinterpret_cast<std::uintptr_t>(map) + mapBytes, std::memory_order_release);
  return view;
}

}  // namespace ambrelic::platform
