// The wipe's random source: the C library's rand() sequence after
// srand(seed), one byte (the low 8 bits) per rand() result, produced without
// a function call per byte. The generator state is our own, so seeding it
// never disturbs anyone else's use of rand().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ambrelic::platform {

class RandomSource {
 public:
  // srand(seed): the same sequence as the C library's rand() with that seed.
  void Seed(std::uint32_t seed);
  // Seeds with the current time in seconds, as srand(time(NULL)) does.
  void SeedWithTime();
  // One rand() result (0 .. RAND_MAX).
  std::int32_t Next();
  // Fills length bytes, each the low 8 bits of one rand() result.
  void FillRandom(std::uint8_t* buffer, std::size_t length);

 private:
  // glibc's additive feedback generator: r[i] = r[i-3] + r[i-31].
  std::array<std::int32_t, 34> ring_{};
  std::size_t pos_ = 0;
  bool seeded_ = false;
};

}  // namespace ambrelic::platform
