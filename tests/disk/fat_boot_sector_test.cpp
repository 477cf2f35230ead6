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
  EXPECT_EQ(ctx.lastCluster, 249892u);
  EXPECT_EQ(ctx.bytesPerCluster, 2048u);
  EXPECT_EQ(ctx.volumeSerial, 0x12345678u);
  EXPECT_EQ(ctx.rootCluster, 0u);

  VolumeContext nine;
  nine.IsNtPlatform = 0;
  nine.fsKind = FsKind::Fat16;
  ASSERT_TRUE(ParseFatBootSectorBytes(nine, s.data(), s.size(), 63));
  EXPECT_EQ(nine.rootDirSector, 464u);
  EXPECT_EQ(nine.dataStartSector, 496u);
  EXPECT_EQ(nine.lastCluster, 249892u);
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
  EXPECT_EQ(ctx.lastCluster, 249747u);
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

}  // namespace ambrelic::disk
