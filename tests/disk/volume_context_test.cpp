#include <gtest/gtest.h>

#include "disk/volume_context.h"

namespace ambrelic::disk {

TEST(KindFromPartitionType, MapsEveryKnownTypeAndNothingElse) {
  EXPECT_EQ(KindFromPartitionType(0x01), FsKind::Fat12);
  for (int t : {0x04, 0x06, 0x0E}) EXPECT_EQ(KindFromPartitionType(t), FsKind::Fat16) << t;
  for (int t : {0x0B, 0x0C}) EXPECT_EQ(KindFromPartitionType(t), FsKind::Fat32) << t;
  for (int t : {0x07, 0x86, 0x87}) EXPECT_EQ(KindFromPartitionType(t), FsKind::Ntfs) << t;
  int others = 0;
  for (int t = 0; t < 256; ++t) {
    if (KindFromPartitionType(static_cast<std::uint8_t>(t)) == FsKind::None) ++others;
  }
  EXPECT_EQ(others, 256 - 9);
  for (int t : {0x00, 0x05, 0x0F, 0x83, 0xEE}) EXPECT_EQ(KindFromPartitionType(t), FsKind::None) << t;
}

}  // namespace ambrelic::disk
