#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/partition_table.h"

namespace ambrelic::disk {
namespace {

// Sparse in-memory BIOS disks: only the sectors a test writes exist.
struct FakeDisk {
  std::uint8_t sectorsPerTrack = 63;
  std::uint8_t maxHead = 15;
  std::map<std::uint32_t, std::vector<std::uint8_t>> sectors;
};
std::map<std::uint8_t, FakeDisk> g_disks;
int g_reads = 0;

int LbaCheck(std::uint8_t) { return 1; }
int Params(std::uint8_t drive, std::uint8_t* block) {
  auto it = g_disks.find(drive);
  if (it == g_disks.end()) return 0;
  block[2] = it->second.maxHead;
  block[6] = it->second.sectorsPerTrack;
  return 1;
}
int IoX(std::uint16_t bps, std::uint8_t drive, void* buffer, int function, std::uint32_t lba, int count) {
  ++g_reads;
  auto* p = static_cast<std::uint8_t*>(buffer);
  for (int i = 0; i < count; ++i) {
    auto& s = g_disks[drive].sectors;
    auto it = s.find(lba + i);
    std::vector<std::uint8_t> zero(bps, 0);
    const auto& src = it == s.end() ? zero : it->second;
    std::copy(src.begin(), src.end(), p + i * bps);
  }
  return 0;
}
Int13Api g_api{LbaCheck, Params, nullptr, IoX};

void Table(std::uint8_t drive, std::uint32_t sector, std::vector<PartitionEntry> entries) {
  std::vector<std::uint8_t> s(512, 0);
  std::span<std::uint8_t> b(s);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    s[0x1BE + 16 * i] = entries[i].bootFlag;
    s[0x1BE + 16 * i + 4] = entries[i].type;
    put32(b, 0x1BE + 16 * i + 8, entries[i].relativeStart);
  }
  s[510] = 0x55;
  s[511] = 0xAA;
  g_disks[drive].sectors[sector] = s;
}

void BootSector(std::uint8_t drive, std::uint32_t sector, std::uint32_t serial, bool fat32) {
  std::vector<std::uint8_t> s(512, 0);
  std::span<std::uint8_t> b(s);
  put16(b, 0x0B, 512);
  s[0x0D] = 4;
  put16(b, 0x0E, 1);
  s[0x10] = 2;
  put16(b, 0x16, 10);
  put32(b, 0x24, 10);
  put32(b, 0x20, 100000);
  put32(b, fat32 ? 0x43 : 0x27, serial);
  g_disks[drive].sectors[sector] = s;
}

VolumeContext NineX() {
  VolumeContext ctx;
  ctx.IsNtPlatform = 0;
  ctx.int13 = &g_api;
  return ctx;
}

class PartitionWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_disks.clear();
    g_reads = 0;
  }
};

}  // namespace

TEST_F(PartitionWalkTest, PrimaryThenLogicalsThroughTheExtendedChain) {
  g_disks[0x80];
  Table(0x80, 0, {{0, 0x06, 63}, {0, 0x0F, 1000000}});
  Table(0x80, 1000000, {{0, 0x0B, 63}, {0, 0x05, 500000}});
  Table(0x80, 1500000, {{0, 0x0E, 63}, {0, 0x00, 0}});
  VolumeContext ctx = NineX();
  PartitionWalk walk;
  EnumerateDiskPartitions(ctx, walk);
  ASSERT_EQ(walk.count, 3);
  EXPECT_EQ(walk.PartitionList[0].type, 0x06);
  EXPECT_EQ(walk.PartitionList[0].start, 63u);
  EXPECT_EQ(walk.PartitionList[0].isLogical, 0);
  EXPECT_EQ(walk.PartitionList[1].type, 0x0B);
  EXPECT_EQ(walk.PartitionList[1].start, 1000063u);
  EXPECT_EQ(walk.PartitionList[1].isLogical, 1);
  EXPECT_EQ(walk.PartitionList[2].type, 0x0E);
  EXPECT_EQ(walk.PartitionList[2].start, 1500063u);
}

TEST_F(PartitionWalkTest, LetterOrderTakesOnePrimaryPerDiskFirst) {
  // Disk 1: A (inactive), B (active), extended with L1. Disk 2: C, extended with L2.
  g_disks[0x80];
  Table(0x80, 0, {{0, 0x06, 63}, {0x80, 0x06, 10000}, {0, 0x05, 20000}});
  Table(0x80, 20000, {{0, 0x06, 63}});
  g_disks[0x81];
  Table(0x81, 0, {{0, 0x0C, 63}, {0, 0x0F, 30000}});
  Table(0x81, 30000, {{0, 0x0B, 63}});
  for (auto [d, s, serial] : std::vector<std::tuple<int, std::uint32_t, std::uint32_t>>{
           {0x80, 63, 0xA}, {0x80, 10000, 0xB}, {0x80, 20063, 0x11}, {0x81, 63, 0xC}, {0x81, 30063, 0x12}}) {
    BootSector(static_cast<std::uint8_t>(d), s, serial, d == 0x81);
  }
  VolumeContext ctx = NineX();
  PartitionWalk walk;
  EnumerateDiskPartitions(ctx, walk);
  ASSERT_EQ(walk.count, 5);  // A, B, L1, C, L2
  EXPECT_EQ(walk.PartitionList[0].serial, 0xAu);
  EXPECT_EQ(walk.PartitionList[2].serial, 0x11u);
  EXPECT_EQ(walk.PartitionList[3].serial, 0xCu);
  const std::uint8_t expected[] = {1, 3, 2, 4, 0, kNoIndex};  // B, C, L1, L2, A
  for (int k = 0; k < 6; ++k) EXPECT_EQ(walk.LetterOrder[k], expected[k]) << k;

  // Binding by serial follows that order.
  EXPECT_EQ(MatchDriveToPartition(walk, 0xBu), std::optional<std::uint8_t>(1));
  EXPECT_EQ(MatchDriveToPartition(walk, 0xBu), std::nullopt);  // each partition once
  EXPECT_EQ(MatchDriveToPartition(walk, std::nullopt), std::nullopt);
}

TEST_F(PartitionWalkTest, TwoPartitionsWithOneSerialGoToTheFirstTwoLetters) {
  g_disks[0x80];
  Table(0x80, 0, {{0x80, 0x06, 63}, {0, 0x05, 50000}});
  Table(0x80, 50000, {{0, 0x06, 63}});
  BootSector(0x80, 63, 0x1234, false);
  BootSector(0x80, 50063, 0x1234, false);
  VolumeContext ctx = NineX();
  PartitionWalk walk;
  EnumerateDiskPartitions(ctx, walk);
  EXPECT_EQ(MatchDriveToPartition(walk, 0x1234u), std::optional<std::uint8_t>(0));
  EXPECT_EQ(MatchDriveToPartition(walk, 0x1234u), std::optional<std::uint8_t>(1));
  EXPECT_EQ(MatchDriveToPartition(walk, 0x1234u), std::nullopt);
}

TEST_F(PartitionWalkTest, DiskWithOtherGeometryIsSetAsideAndNtfsIsPassedOver) {
  g_disks[0x80].sectorsPerTrack = 32;
  Table(0x80, 0, {{0, 0x06, 63}});
  g_disks[0x81];
  Table(0x81, 0, {{0, 0x07, 63}, {0, 0x0C, 9000}});
  VolumeContext ctx = NineX();
  PartitionWalk walk;
  EnumerateDiskPartitions(ctx, walk);
  ASSERT_EQ(walk.otherDiskCount, 1);
  EXPECT_EQ(walk.OtherDiskNumbers[0], 0x80);
  ASSERT_EQ(walk.count, 1);
  EXPECT_EQ(walk.PartitionList[0].biosDrive, 0x81);
  EXPECT_EQ(walk.PartitionList[0].type, 0x0C);
}

TEST_F(PartitionWalkTest, ExtendedChainThatLoopsEnds) {
  g_disks[0x80];
  Table(0x80, 0, {{0, 0x05, 1000}});
  // Records without FAT partitions, each linking back to the first.
  Table(0x80, 1000, {{0, 0x07, 63}, {0, 0x05, 0}});
  VolumeContext ctx = NineX();
  PartitionWalk walk;
  EnumerateDiskPartitions(ctx, walk);
  EXPECT_EQ(walk.count, 0);
  EXPECT_LT(g_reads, 10);

  // A loop through FAT records does not fill the list with copies either.
  g_disks.clear();
  g_disks[0x80];
  Table(0x80, 0, {{0, 0x05, 1000}});
  Table(0x80, 1000, {{0, 0x06, 63}, {0, 0x05, 2000}});
  Table(0x80, 3000, {{0, 0x06, 63}, {0, 0x05, 0}});
  PartitionWalk again;
  EnumerateDiskPartitions(ctx, again);
  EXPECT_EQ(again.count, 2);
}

TEST_F(PartitionWalkTest, PartitionBeyondTheEndOfItsDiskIsNotListed) {
  g_disks[0x80];
  Table(0x80, 0, {{0, 0x06, 63}, {0, 0x0C, 5000000}});
  VolumeContext ctx = NineX();
  PartitionWalk walk;
  walk.diskSectors = [](std::uint8_t) { return std::uint64_t{100000}; };
  EnumerateDiskPartitions(ctx, walk);
  ASSERT_EQ(walk.count, 1);
  EXPECT_EQ(walk.PartitionList[0].start, 63u);
}

}  // namespace ambrelic::disk
