#include <gtest/gtest.h>

#include <vector>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"

namespace ambrelic::disk {
namespace {

std::vector<std::uint8_t> Fat16Sector() {
  std::vector<std::uint8_t> s(512, 0);
  std::span<std::uint8_t> b(s);
  put16(b, 0x0B, 512);
  s[0x0D] = 4;
  put16(b, 0x0E, 1);
  s[0x10] = 2;
  put16(b, 0x11, 512);
  put16(b, 0x13, 0);
  put16(b, 0x16, 200);
  put32(b, 0x20, 1000000);
  put32(b, 0x27, 0x12345678);
  return s;
}

}  // namespace

TEST(FatBootSector, Fat16LayoutVolumeRelativeAnd9x) {
  auto s = Fat16Sector();
  VolumeContext ctx;
  ctx.fsKind = FsKind::Fat16;
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0));
  EXPECT_EQ(ctx.rootDirSector, 401u);
  EXPECT_EQ(ctx.dataStartSector, 433u);
  // The count claims 249,892 clusters; the 200-sector table has entries for
  // clusters 0 to 51,199 only.
  EXPECT_EQ(ctx.lastCluster, 51199u);
  EXPECT_EQ(ctx.bytesPerCluster, 2048u);
  EXPECT_EQ(ctx.volumeSerial, 0x12345678u);
  EXPECT_EQ(ctx.rootCluster, 0u);

  VolumeContext nine;
  nine.IsNtPlatform = 0;
  nine.fsKind = FsKind::Fat16;
  ASSERT_TRUE(ParseFatBootSectorBytes(nine, s.data(), s.size(), 63));
  EXPECT_EQ(nine.rootDirSector, 464u);
  EXPECT_EQ(nine.dataStartSector, 496u);
  EXPECT_EQ(nine.lastCluster, 51199u);

  // A count the table covers is taken as it stands.
  put32(std::span<std::uint8_t>(s), 0x20, 200000);
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0));
  EXPECT_EQ(ctx.lastCluster, 49892u);
}

TEST(FatBootSector, Fat32Layout) {
  std::vector<std::uint8_t> s(512, 0);
  std::span<std::uint8_t> b(s);
  put16(b, 0x0B, 512);
  s[0x0D] = 8;
  put16(b, 0x0E, 32);
  s[0x10] = 2;
  put32(b, 0x20, 2000000);
  put32(b, 0x24, 1000);
  put32(b, 0x2C, 7);
  put32(b, 0x43, 0xCAFEBABE);
  VolumeContext ctx;
  ctx.fsKind = FsKind::Fat32;
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0));
  EXPECT_EQ(ctx.rootDirSector, 2032u);
  EXPECT_EQ(ctx.dataStartSector, 2032u);
  // 1000 sectors of 32-bit entries: clusters 0 to 127,999.
  EXPECT_EQ(ctx.lastCluster, 127999u);
  EXPECT_EQ(ctx.rootCluster, 7u);
  EXPECT_EQ(ctx.volumeSerial, 0xCAFEBABEu);
}

TEST(FatBootSector, OneAllocationTableMovesTheRootAndData) {
  auto s = Fat16Sector();
  s[0x10] = 1;
  VolumeContext ctx;
  ctx.fsKind = FsKind::Fat16;
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0));
  EXPECT_EQ(ctx.rootDirSector, 201u);
  EXPECT_EQ(ctx.dataStartSector, 233u);
}

TEST(FatBootSector, SmallRootEntryCountGivesNoRootSector) {
  auto s = Fat16Sector();
  put16(std::span<std::uint8_t>(s), 0x11, 10);
  VolumeContext ctx;
  ctx.fsKind = FsKind::Fat16;
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0));
  EXPECT_EQ(ctx.dataStartSector, ctx.rootDirSector);
}

TEST(FatBootSector, RefusesImpossibleGeometry) {
  struct Case {
    const char* what;
    void (*spoil)(std::vector<std::uint8_t>&);
  } cases[] = {
      {"0 bytes per sector", [](auto& s) { put16(std::span<std::uint8_t>(s), 0x0B, 0); }},
      {"300 bytes per sector", [](auto& s) { put16(std::span<std::uint8_t>(s), 0x0B, 300); }},
      {"0 sectors per cluster", [](auto& s) { s[0x0D] = 0; }},
      {"0 allocation tables", [](auto& s) { s[0x10] = 0; }},
      {"0 sectors per table", [](auto& s) { put16(std::span<std::uint8_t>(s), 0x16, 0); }},
      {"data area past the end", [](auto& s) { put32(std::span<std::uint8_t>(s), 0x20, 400); }},
      {"all zero", [](auto& s) { std::fill(s.begin(), s.end(), 0); }},
  };
  for (const auto& c : cases) {
    auto s = Fat16Sector();
    c.spoil(s);
    VolumeContext ctx;
    ctx.fsKind = FsKind::Fat16;
    EXPECT_FALSE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0)) << c.what;
  }
  // A layout that fits the boot sector's own count but not the device.
  auto s = Fat16Sector();
  VolumeContext ctx;
  ctx.fsKind = FsKind::Fat16;
  EXPECT_FALSE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0, 300));
  EXPECT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0, 1000000));
}

// The count of clusters is bounded by the device (or partition) and by what
// the table can address: its entries, and the cluster numbers an entry of the
// kind can hold.
TEST(FatBootSector, ClusterCountBoundedByDeviceAndTable) {
  // FAT32 as mkfs.fat makes it on 64 MiB, claiming 0xFFFFFFF0 sectors.
  std::vector<std::uint8_t> s(512, 0);
  std::span<std::uint8_t> b(s);
  put16(b, 0x0B, 512);
  s[0x0D] = 1;
  put16(b, 0x0E, 32);
  s[0x10] = 2;
  put32(b, 0x20, 0xFFFFFFF0u);
  put32(b, 0x24, 1009);
  put32(b, 0x2C, 2);
  VolumeContext ctx;
  ctx.fsKind = FsKind::Fat32;
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0, 131072));
  EXPECT_EQ(ctx.dataStartSector, 2050u);
  EXPECT_EQ(ctx.lastCluster, 131072u - 2050 + 1);
  // The device's size unknown: the table's 129,152 entries bound it.
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0));
  EXPECT_EQ(ctx.lastCluster, 129151u);

  // 1 MiB claiming 4 x 10^9 clusters.
  put32(b, 0x24, 16);
  put32(b, 0x20, 0xFFFFFFFFu);
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0, 2048));
  EXPECT_EQ(ctx.lastCluster, 1985u);
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0));
  EXPECT_EQ(ctx.lastCluster, 2047u);

  // No FAT32 entry names a cluster above 0x0FFFFFF6, whatever the table's size.
  put32(b, 0x24, 0x40000000u);
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 0, 0x100000000ull));
  EXPECT_EQ(ctx.lastCluster, 0x0FFFFFF6u);

  // FAT16 and FAT12 entries: 0xFFF6 and 0xFF6 at most.
  auto f = Fat16Sector();
  put16(std::span<std::uint8_t>(f), 0x16, 1000);
  f[0x0D] = 1;
  ctx.fsKind = FsKind::Fat16;
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, f.data(), f.size(), 0));
  EXPECT_EQ(ctx.lastCluster, 0xFFF6u);
  ctx.fsKind = FsKind::Fat12;
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, f.data(), f.size(), 0));
  EXPECT_EQ(ctx.lastCluster, 0xFF6u);
}

// A claimed count that would run past 32-bit sector numbers is no reason to
// refuse the volume when the partition it lies in ends well before.
TEST(FatBootSector, ClaimPastTheSectorNumbersIsBoundedByThePartition) {
  auto s = Fat16Sector();
  put32(std::span<std::uint8_t>(s), 0x20, 0xFFFFFFF0u);
  VolumeContext ctx;
  ctx.IsNtPlatform = 0;
  ctx.fsKind = FsKind::Fat16;
  ASSERT_TRUE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 63, 20000));
  EXPECT_EQ(ctx.lastCluster, (20000u - 433) / 4 + 1);
  EXPECT_FALSE(ParseFatBootSectorBytes(ctx, s.data(), s.size(), 63));
}

}  // namespace ambrelic::disk
