#include "platform/random.h"

#include <cstring>
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
  // The ring laid out oldest first in a straight array, so that a block of
  // values is produced without index wrapping. r[i] needs r[i-3], so three
  // values at a time are independent: each lives in a register and only
  // r[i-31] is loaded.
  constexpr std::size_t kLag = 34;
  constexpr std::size_t kBlock = 4095;  // a multiple of 3
  std::uint32_t w[kLag + kBlock];
  for (std::size_t j = 0; j < kLag; ++j) w[j] = static_cast<std::uint32_t>(ring_[(pos_ + j) % kLag]);
  std::size_t done = 0;
  while (done < length) {
    const std::size_t n = length - done < kBlock ? length - done : kBlock;
    std::uint8_t* out = buffer + done;
    std::uint32_t a = w[kLag - 3], b = w[kLag - 2], c = w[kLag - 1];
    std::size_t k = 0;
    for (; k + 3 <= n; k += 3) {
      const std::size_t j = kLag + k;
      a += w[j - 31];
      b += w[j - 30];
      c += w[j - 29];
      w[j] = a;
      w[j + 1] = b;
      w[j + 2] = c;
      out[k] = static_cast<std::uint8_t>(a >> 1);
      out[k + 1] = static_cast<std::uint8_t>(b >> 1);
      out[k + 2] = static_cast<std::uint8_t>(c >> 1);
    }
    for (; k < n; ++k) {
      const std::size_t j = kLag + k;
      w[j] = w[j - 3] + w[j - 31];
      out[k] = static_cast<std::uint8_t>(w[j] >> 1);
    }
    // The last 34 values become the start of the next block.
    std::memmove(w, w + n, kLag * sizeof(std::uint32_t));
    done += n;
  }
  for (std::size_t j = 0; j < kLag; ++j) ring_[j] = static_cast<std::int32_t>(w[j]);
  pos_ = 0;  // ring_[0] holds the oldest value, r[i-34]
}

}  // namespace ambrelic::platform
