#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

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

TEST(RandomSource, DifferentSecondsGiveDifferentBytes) {
  RandomSource a, b;
  a.Seed(1765000000u);
  b.Seed(1765000001u);
  std::vector<std::uint8_t> x(4096), y(4096);
  a.FillRandom(x.data(), x.size());
  b.FillRandom(y.data(), y.size());
  EXPECT_NE(x, y);
}

}  // namespace ambrelic::platform
