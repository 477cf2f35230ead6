#include <gtest/gtest.h>

#include <vector>

#include "fat/allocation_table.h"
#include "fat_test_image.h"

namespace ambrelic::fat {
namespace {

disk::VolumeContext TableContext(disk::FsKind kind, std::vector<std::uint8_t> table, std::uint64_t lastCluster) {
  disk::VolumeContext ctx;
  ctx.fsKind = kind;
  ctx.lastCluster = lastCluster;
  ctx.fatCopy = table;
  ctx.fatWork = std::move(table);
  return ctx;
}

TEST(AllocationTable, Fat12PackingOfTheDesignExample) {
  std::vector<std::uint8_t> t(12, 0);
  t[3] = 0x03;
  t[4] = 0x40;
  t[5] = 0x00;
  auto ctx = TableContext(disk::FsKind::Fat12, t, 100);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 2), 0x003);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 3), 0x004);
  FatSetEntry(ctx, 2, kEndOfChain);
  EXPECT_EQ(ctx.fatWork[3], 0xFF);
  EXPECT_EQ(ctx.fatWork[4], 0x4F);
  EXPECT_EQ(ctx.fatWork[5], 0x00);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 2), kEndOfChain);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 3), 0x004);
  // fatCopy is never marked.
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatCopy, 2), 0x003);

  // Marking the odd entry leaves the even neighbour's half-byte alone.
  FatSetEntry(ctx, 3, kEndOfChain);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 3), kEndOfChain);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 2), kEndOfChain);
  EXPECT_EQ(ctx.fatWork[4], 0xFF);
}

TEST(AllocationTable, Fat12OddEntriesAndEndMarkers) {
  std::vector<std::uint8_t> t(12, 0);
  auto ctx = TableContext(disk::FsKind::Fat12, t, 6);
  // Chain 2 -> 5 -> 0xFF8 (an end marker: every value above the bad mark
  // ends a chain).
  FatSetEntry(ctx, 2, 5);
  FatSetEntry(ctx, 5, 0xFF8);
  FatSetEntry(ctx, 7, 0xFF7);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 2), 5);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 5), kEndOfChain);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 7), kBadCluster);
  EXPECT_EQ(NextInChain(ctx, 2), 5u);
  EXPECT_EQ(NextInChain(ctx, 5), 0u);
  EXPECT_EQ(NextInChain(ctx, 7), 0u);
  // Beyond the loaded table (12 bytes hold entries 0..7): in use.
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 8), kEndOfChain);
  EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 4000), kEndOfChain);
  FatSetEntry(ctx, 4000, 0);  // ignored, no write past the table
}

TEST(AllocationTable, Fat16AndFat32Values) {
  std::vector<std::uint8_t> t16(64, 0);
  auto c16 = TableContext(disk::FsKind::Fat16, t16, 20);
  FatSetEntry(c16, 3, 0xFFF7);
  FatSetEntry(c16, 4, 0xFFF8);
  FatSetEntry(c16, 5, kEndOfChain);
  EXPECT_EQ(FatGetEntry(c16, c16.fatWork, 3), kBadCluster);
  EXPECT_EQ(FatGetEntry(c16, c16.fatWork, 4), kEndOfChain);
  EXPECT_EQ(FatGetEntry(c16, c16.fatWork, 5), kEndOfChain);
  EXPECT_EQ(NextInChain(c16, 4), 0u);
  EXPECT_EQ(FatGetEntry(c16, c16.fatWork, 32), kEndOfChain);  // beyond the table

  std::vector<std::uint8_t> t32(64, 0);
  auto c32 = TableContext(disk::FsKind::Fat32, t32, 12);
  disk::put32(c32.fatWork, 4 * 2, 0x10000003);  // the reserved top bits are not read: cluster 3
  disk::put32(c32.fatWork, 4 * 3, 0x0FFFFFF8);
  disk::put32(c32.fatWork, 4 * 4, 0x0FFFFFF7);
  EXPECT_EQ(FatGetEntry(c32, c32.fatWork, 2), 3);
  EXPECT_EQ(NextInChain(c32, 2), 3u);
  EXPECT_EQ(FatGetEntry(c32, c32.fatWork, 3), kEndOfChain);
  EXPECT_EQ(FatGetEntry(c32, c32.fatWork, 4), kBadCluster);
  FatSetEntry(c32, 5, kEndOfChain);
  EXPECT_EQ(disk::le32(c32.fatWork, 4 * 5), 0xFFFFFFFFu);
  EXPECT_EQ(FatGetEntry(c32, c32.fatWork, 5), kEndOfChain);
}

TEST(AllocationTable, MinusOneAndUnknownKinds) {
  std::vector<std::uint8_t> t(64, 0);
  for (auto kind : {disk::FsKind::Fat12, disk::FsKind::Fat16, disk::FsKind::Fat32, disk::FsKind::Ntfs,
                    disk::FsKind::None}) {
    auto ctx = TableContext(kind, t, 10);
    EXPECT_EQ(FatGetEntry(ctx, ctx.fatWork, 0xFFFFFFFFu), kEndOfChain);
  }
  auto none = TableContext(disk::FsKind::Ntfs, t, 10);
  EXPECT_EQ(FatGetEntry(none, none.fatWork, 3), kEndOfChain);
}

TEST(AllocationTable, ClusterArithmeticAndValidity) {
  disk::VolumeContext ctx;
  ctx.dataStartSector = 100;
  ctx.sectorsPerCluster = 4;
  ctx.lastCluster = 50;
  EXPECT_EQ(ClusterToSector(ctx, 2), 100u);
  EXPECT_EQ(ClusterToSector(ctx, 5), 112u);
  EXPECT_FALSE(IsValidCluster(ctx, 1));
  EXPECT_TRUE(IsValidCluster(ctx, 2));
  EXPECT_TRUE(IsValidCluster(ctx, 50));
  EXPECT_FALSE(IsValidCluster(ctx, 51));
  // A FAT16 entry with high word 1 names a cluster above 65535.
  auto e = test::MemFat::Short("FILE    TXT", 0x20, 0x10005, 10);
  EXPECT_EQ(EntryFirstCluster(e), 0x10005u);
  ctx.lastCluster = 65524;
  EXPECT_FALSE(IsValidCluster(ctx, EntryFirstCluster(e)));
}

}  // namespace
}  // namespace ambrelic::fat
