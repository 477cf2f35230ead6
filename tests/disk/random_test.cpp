#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "platform/large_memory.h"
#include "platform/random.h"

namespace ambrelic::platform {

// The source must give exactly the C library's sequence for a seed: the
// design draws one rand() per byte after srand(time(NULL)).
TEST(RandomSource, SameSequenceAsTheCLibrary) {
  for (std::uint32_t seed : {0u, 1u, 2u, 12345u, 1765000000u, 0xFFFFFFFFu}) {
    RandomSource src;
    src.Seed(seed);
    std::srand(seed);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(src.Next(), std::rand()) << "seed " << seed << " draw " << i;
    std::vector<std::uint8_t> bytes(5000);
    src.FillRandom(bytes.data(), bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      ASSERT_EQ(bytes[i], static_cast<std::uint8_t>(std::rand() & 0xFF)) << "seed " << seed << " byte " << i;
    }
    ASSERT_EQ(src.Next(), std::rand());
  }
}

// Fills of every length around the generator's internal blocks, mixed with
// single draws, stay on the same sequence.
TEST(RandomSource, FillsOfAnyLengthContinueTheSequence) {
  RandomSource src;
  src.Seed(1765000000u);
  std::srand(1765000000u);
  for (std::size_t length : {0u, 1u, 2u, 3u, 4094u, 4095u, 4096u, 8191u, 12290u, 31u, 34u, 35u}) {
    std::vector<std::uint8_t> bytes(length);
    src.FillRandom(bytes.data(), bytes.size());
    for (std::size_t i = 0; i < length; ++i) {
      ASSERT_EQ(bytes[i], static_cast<std::uint8_t>(std::rand() & 0xFF)) << "length " << length << " byte " << i;
    }
    ASSERT_EQ(src.Next(), std::rand()) << "after length " << length;
  }
}

TEST(RandomSource, DifferentSecondsGiveDifferentBytes) {
  RandomSource a, b;
  a.Seed(1765000000u);
  b.Seed(1765000001u);
  std::vector<std::uint8_t> x(4096), y(4096);
  a.FillRandom(x.data(), x.size());
  b.FillRandom(y.data(), y.size());
  EXPECT_NE(x, y);
}

// The large-block allocator: a container that grows through the heap's
// sizes into mapped ones keeps every element, and mapped blocks start on a
// 2 MiB boundary (the whole point of mapping them).
TEST(LargeAllocator, GrowsThroughEverySizeKeepingItsElements) {
  std::vector<std::uint64_t, LargeAllocator<std::uint64_t>> v;
  for (std::uint64_t i = 0; i < (std::uint64_t{3} << 20); ++i) v.push_back(i * 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % (std::uintptr_t{2} << 20), 0u);
  for (std::uint64_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], i * 0x9E3779B97F4A7C15ull);
  v.resize(10);
  v.shrink_to_fit();
  EXPECT_EQ(v.back(), 9 * 0x9E3779B97F4A7C15ull);
}

}  // namespace ambrelic::platform
