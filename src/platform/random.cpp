#include "platform/random.h"

#include <ctime>

namespace ambrelic::platform {

// The ring holds the last 34 values; index arithmetic is modulo 34 so that
// r[i-3] and r[i-31] are always in it.
void RandomSource::Seed(std::uint32_t seed) {
  std::array<std::int32_t, 344> r{};
  if (seed == 0) seed = 1;
  r[0] = static_cast<std::int32_t>(seed);
  for (int i = 1; i < 31; ++i) {
    // 16807 * r[i-1] % 2147483647 without overflow (Schrage's method, as the C library does).
    const std::int32_t hi = r[i - 1] / 127773;
    const std::int32_t lo = r[i - 1] % 127773;
    std::int32_t word = 16807 * lo - 2836 * hi;
    if (word < 0) word += 2147483647;
    r[i] = word;
  }
  for (int i = 31; i < 34; ++i) r[i] = r[i - 31];
  for (int i = 34; i < 344; ++i) {
    r[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(r[i - 31]) + static_cast<std::uint32_t>(r[i - 3]));
  }
  for (int i = 0; i < 34; ++i) ring_[i] = r[310 + i];
  pos_ = 0;  // next value is r[344], which goes to ring_[0]
  seeded_ = true;
}

void RandomSource::SeedWithTime() { Seed(static_cast<std::uint32_t>(std::time(nullptr))); }

std::int32_t RandomSource::Next() {
  if (!seeded_) Seed(1);
  // ring_[pos_] holds r[i-34]; r[i-31] is at pos_+3 and r[i-3] at pos_+31.
  const std::uint32_t v = static_cast<std::uint32_t>(ring_[(pos_ + 3) % 34]) +
                          static_cast<std::uint32_t>(ring_[(pos_ + 31) % 34]);
  ring_[pos_] = static_cast<std::int32_t>(v);
  pos_ = (pos_ + 1) % 34;
  return static_cast<std::int32_t>(v >> 1);
}

void RandomSource::FillRandom(std::uint8_t* buffer, std::size_t length) {
  if (!seeded_) Seed(1);
  std::size_t p = pos_;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint32_t v = static_cast<std::uint32_t>(ring_[p < 31 ? p + 3 : p - 31]) +
                            static_cast<std::uint32_t>(ring_[p < 3 ? p + 31 : p - 3]);
    ring_[p] = static_cast<std::int32_t>(v);
    p = p == 33 ? 0 : p + 1;
    buffer[i] = static_cast<std::uint8_t>(v >> 1);
  }
  pos_ = p;
}

}  // namespace ambrelic::platform
