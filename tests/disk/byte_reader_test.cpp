#include <gtest/gtest.h>

#include <vector>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"
#include "disk/volume_context.h"

namespace ambrelic::disk {
namespace {

TEST(ByteReader, ReadingPastTheEndIsStickyAndTold) {
  const std::vector<std::uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0xFF};
  ByteReader in(bytes);
  EXPECT_EQ(in.u16(), 0x0201u);
  EXPECT_EQ(in.u8(), 0x03u);
  EXPECT_EQ(in.u16(4), 0xFF05u) << "at an offset, the position stays";
  EXPECT_EQ(in.pos(), 3u);
  EXPECT_EQ(in.sN(2), 0x0504);
  EXPECT_EQ(in.sN(1), -1);
  EXPECT_TRUE(in.ok());
  EXPECT_EQ(in.u32(), 0u) << "past the end";
  EXPECT_FALSE(in.ok());
  // Once failed, every read gives 0, even one that would fit.
  EXPECT_EQ(in.u8(0), 0u);
  EXPECT_TRUE(in.take(1).empty());
  EXPECT_EQ(in.pos(), 6u);

  ByteReader wide(bytes);
  EXPECT_EQ(wide.uN(9), 0u) << "no field is wider than 8 bytes";
  EXPECT_FALSE(wide.ok());
  ByteReader cut(bytes);
  EXPECT_TRUE(cut.slice(5, 2).empty());
  EXPECT_FALSE(cut.ok());
  ByteReader huge(bytes);
  huge.slice(2, ~std::size_t{0});
  EXPECT_FALSE(huge.ok()) << "offset + length may not wrap";
}

TEST(ByteReader, BootSectorTooShortForItsFieldsIsRefused) {
  std::vector<std::uint8_t> sector(512, 0);
  sector[0x0B] = 0x00, sector[0x0C] = 0x02;  // 512 bytes per sector
  sector[0x0D] = 4;
  sector[0x0E] = 1;
  sector[0x10] = 2;
  sector[0x11] = 0x00, sector[0x12] = 0x02;  // 512 root entries
  sector[0x13] = 0x00, sector[0x14] = 0x80;  // 32768 sectors
  sector[0x16] = 32;
  VolumeContext ctx;
  ctx.fsKind = FsKind::Fat16;
  EXPECT_TRUE(ParseFatBootSectorBytes(ctx, sector.data(), sector.size(), 0, 0));
  VolumeContext shortCtx;
  shortCtx.fsKind = FsKind::Fat16;
  EXPECT_FALSE(ParseFatBootSectorBytes(shortCtx, sector.data(), 0x30, 0, 0))
      << "the label and type text run past the bytes given";
}

}  // namespace
}  // namespace ambrelic::disk
