// The clock the progress windows pace themselves by (the stand-in for
// GetTickCount): monotonic milliseconds, read from the kernel's coarse clock.
// Its few milliseconds of resolution are plenty to space refreshes 10 or 40
// milliseconds apart, and a read costs a fraction of the precise clock's,
// which matters to code asking at every cluster of a scan.
#pragma once

#include <cstdint>
#include <ctime>

namespace ambrelic::platform {

inline std::int64_t TickMilliseconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace ambrelic::platform
