// Salvaging reads over a device with failing ranges: every readable sector
// kept, only the failing ones zero-filled and counted, dead areas skipped
// at a bounded cost, a dead device given up.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <numeric>
#include <vector>

#include "disk/media_errors.h"
#include "disk/sector_device.h"
#include "platform/block_device.h"

namespace ambrelic {
namespace {

using disk::MediaErrors;
using disk::ReadGaps;
using disk::ReadVolumeSectors;
using disk::VolumeContext;

constexpr std::uint64_t kMiB = 1u << 20;

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 131 + (i >> 9) * 7) | 1);
  return v;
}

struct Fixture {
  std::vector<std::uint8_t> bytes;
  std::shared_ptr<platform::FaultyDevice> device;
  VolumeContext ctx;

  explicit Fixture(std::size_t size, MediaErrors::Limits limits = {}) : bytes(Pattern(size)) {
    device = std::make_shared<platform::FaultyDevice>(std::make_shared<platform::MemoryDevice>(bytes, false));
    ctx.volumeHandle = device;
    ctx.bytesPerSector = 512;
    ctx.media = std::make_shared<MediaErrors>(limits);
  }
  // Reads [first, first + count) sectors; checks that every byte outside
  // [badBegin, badEnd) is the device's and every byte inside is zero.
  void ReadAndCheck(std::uint64_t first, std::uint32_t count, std::uint64_t badBegin, std::uint64_t badEnd,
                    ReadGaps* gaps = nullptr) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(count) * 512, 0xEE);
    ReadVolumeSectors(ctx, first, count, out.data(), gaps);
    for (std::size_t i = 0; i < out.size(); ++i) {
      const std::uint64_t at = first * 512 + i;
      const std::uint8_t want = (at >= badBegin && at < badEnd) ? 0 : bytes[at];
      ASSERT_EQ(out[i], want) << "byte " << at;
    }
  }
};

TEST(MediaErrors, HealthyReadsAreOneTransferEach) {
  Fixture f(4 * kMiB);
  std::vector<std::uint8_t> out(kMiB);
  EXPECT_TRUE(ReadVolumeSectors(f.ctx, 0, 2048, out.data()));
  EXPECT_TRUE(ReadVolumeSectors(f.ctx, 2048, 8, out.data()));
  EXPECT_EQ(f.device->Reads(), 2u);
  EXPECT_EQ(f.ctx.media->UnreadableBytes(), 0u);
  EXPECT_EQ(f.ctx.media->Events(), 0u);
  // Past the end of the volume: zeros and false, but nothing unreadable.
  EXPECT_FALSE(ReadVolumeSectors(f.ctx, 8190, 4, out.data()));
  EXPECT_EQ(f.ctx.media->UnreadableBytes(), 0u);
  EXPECT_EQ(f.device->Reads(), 3u);
}

TEST(MediaErrors, OneBadPageCostsOnlyItsSectors) {
  Fixture f(4 * kMiB);
  f.device->AddBadRange(0x101000, 4096);
  ReadGaps gaps;
  f.ReadAndCheck(0, 8192, 0x101000, 0x102000, &gaps);
  ASSERT_EQ(gaps.ranges().size(), 1u);
  EXPECT_EQ(gaps.ranges()[0].offset, 0x101000u);
  EXPECT_EQ(gaps.ranges()[0].length, 4096u);
  EXPECT_EQ(f.ctx.media->UnreadableSectors(512), 8u);
  EXPECT_EQ(f.ctx.media->Events(), 1u);
  // Halving down to the eight sectors: a few dozen transfers, not one per sector.
  EXPECT_LT(f.device->Reads(), 60u);
  EXPECT_FALSE(f.ctx.media->Abandoned());

  // Read again: the failed sectors are not asked for, the rest comes whole.
  const std::uint64_t before = f.device->Reads();
  f.ReadAndCheck(0x100000 / 512, 16, 0x101000, 0x102000);
  EXPECT_EQ(f.device->Reads() - before, 1u);
  EXPECT_EQ(f.ctx.media->UnreadableSectors(512), 8u);  // the same sectors count once
  EXPECT_EQ(f.ctx.media->Events(), 2u);
  EXPECT_TRUE(f.ctx.media->KnownUnreadable(0x101e00, 512));
  EXPECT_FALSE(f.ctx.media->KnownUnreadable(0x102000, 512));
}

// Sectors taken from a copy the volume keeps leave the count: only what was
// found unreadable, each byte once; they are still never read again.
TEST(MediaErrors, RecoveredSectorsLeaveTheCount) {
  Fixture f(kMiB);
  f.device->AddBadRange(0x8000, 4096);
  f.ReadAndCheck(0, 256, 0x8000, 0x9000);
  EXPECT_EQ(f.ctx.media->UnreadableSectors(512), 8u);
  disk::RecoveredSectors(f.ctx, 0x8000 / 512, 4);
  EXPECT_EQ(f.ctx.media->UnreadableSectors(512), 4u);
  // A sector past each end was readable: it was never missing.
  disk::RecoveredSectors(f.ctx, 0x8000 / 512 - 1, 10);
  disk::RecoveredSectors(f.ctx, 0x8000 / 512, 8);
  EXPECT_EQ(f.ctx.media->UnreadableSectors(512), 0u);
  EXPECT_TRUE(f.ctx.media->KnownUnreadable(0x8000, 512));
  const std::uint64_t before = f.device->Reads();
  f.ReadAndCheck(0x8000 / 512, 8, 0x8000, 0x9000);
  EXPECT_EQ(f.device->Reads(), before);
}

TEST(MediaErrors, SectorsBetweenBadOnesAreKept) {
  Fixture f(kMiB);
  f.device->AddBadRange(512 * 3, 512);
  f.device->AddBadRange(512 * 5, 512);
  ReadGaps gaps;
  std::vector<std::uint8_t> out(64 * 512);
  EXPECT_FALSE(ReadVolumeSectors(f.ctx, 0, 64, out.data(), &gaps));
  ASSERT_EQ(gaps.ranges().size(), 2u);
  EXPECT_TRUE(gaps.Overlaps(3 * 512, 1));
  EXPECT_FALSE(gaps.Overlaps(4 * 512, 512));
  EXPECT_EQ(out[4 * 512], f.bytes[4 * 512]);
  EXPECT_EQ(f.ctx.media->UnreadableSectors(512), 2u);
}

TEST(MediaErrors, ADeadMegabyteCostsFewReadsAndNothingAroundIt) {
  Fixture f(8 * kMiB);
  f.device->AddBadRange(3 * kMiB, kMiB);
  f.ReadAndCheck(2 * kMiB / 512, 3 * 2048, 3 * kMiB, 4 * kMiB);
  EXPECT_EQ(f.ctx.media->UnreadableBytes(), kMiB);
  EXPECT_LT(f.device->Reads(), 200u) << "a dead megabyte must not cost a read per sector";
  EXPECT_FALSE(f.ctx.media->Abandoned());
}

TEST(MediaErrors, ADeadMegabyteReadClusterByClusterKeepsEveryGoodByte) {
  Fixture f(8 * kMiB);
  f.device->AddBadRange(3 * kMiB + 4096, kMiB);
  for (std::uint64_t s = 2 * kMiB / 512; s < 6 * kMiB / 512; s += 8) {
    f.ReadAndCheck(s, 8, 3 * kMiB + 4096, 4 * kMiB + 4096);
  }
  EXPECT_EQ(f.ctx.media->UnreadableBytes(), kMiB);
  // At most two transfers per cluster once the run of failures is long.
  EXPECT_LT(f.device->Reads(), 1024u + 2 * 256u);
}

TEST(MediaErrors, AGoneDeviceIsGivenUpAtOnce) {
  Fixture f(4 * kMiB);
  std::vector<std::uint8_t> out(64 * 512);
  EXPECT_TRUE(ReadVolumeSectors(f.ctx, 0, 64, out.data()));
  f.device->DieAfter(0, ENODEV);
  EXPECT_FALSE(ReadVolumeSectors(f.ctx, 64, 64, out.data()));
  EXPECT_TRUE(f.ctx.media->Abandoned());
  EXPECT_EQ(f.ctx.media->AbandonError(), ENODEV);
  EXPECT_TRUE(disk::DeviceAbandoned(f.ctx));
  const std::uint64_t reads = f.device->Reads();
  const std::uint64_t events = disk::UnreadableEvents(f.ctx);
  ReadGaps gaps;
  out.assign(out.size(), 0xEE);
  EXPECT_FALSE(ReadVolumeSectors(f.ctx, 0, 64, out.data(), &gaps));
  EXPECT_EQ(f.device->Reads(), reads) << "a given-up device is not read again";
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(gaps.ranges().size(), 1u);
  EXPECT_GT(disk::UnreadableEvents(f.ctx), events);
}

TEST(MediaErrors, ADeviceFailingEverythingIsGivenUpAfterAStretch) {
  MediaErrors::Limits limits;
  limits.giveUpBytes = 8 * kMiB;
  Fixture f(64 * kMiB, limits);
  std::vector<std::uint8_t> out(kMiB);
  EXPECT_TRUE(ReadVolumeSectors(f.ctx, 0, 2048, out.data()));
  f.device->DieAfter(0, EIO);
  std::uint64_t sector = 2048;
  int reads = 0;
  while (!f.ctx.media->Abandoned() && sector < 64 * 2048) {
    ReadVolumeSectors(f.ctx, sector, 2048, out.data());
    sector += 2048;
    ++reads;
  }
  EXPECT_TRUE(f.ctx.media->Abandoned());
  EXPECT_EQ(f.ctx.media->AbandonError(), EIO);
  EXPECT_LE(reads, 9);
  EXPECT_LT(f.device->Reads(), 300u);
}

TEST(MediaErrors, TheDefaultLimitsDoNotGiveUpOnAFewDeadMegabytes) {
  Fixture f(32 * kMiB);
  f.device->AddBadRange(4 * kMiB, 6 * kMiB);
  f.ReadAndCheck(0, 32 * 2048, 4 * kMiB, 10 * kMiB);
  EXPECT_FALSE(f.ctx.media->Abandoned());
  EXPECT_EQ(f.ctx.media->UnreadableBytes(), 6 * kMiB);
}

TEST(ReadGaps, MergesAndTellsOverlaps) {
  ReadGaps g;
  g.Add(100, 10);
  g.Add(0, 5);
  g.Add(110, 5);
  g.Add(4, 2);
  ASSERT_EQ(g.ranges().size(), 2u);
  EXPECT_EQ(g.ranges()[0].offset, 0u);
  EXPECT_EQ(g.ranges()[0].length, 6u);
  EXPECT_EQ(g.ranges()[1].length, 15u);
  EXPECT_TRUE(g.Overlaps(114, 100));
  EXPECT_FALSE(g.Overlaps(6, 94));
  ReadGaps h;
  h.Append(g, 1000);
  EXPECT_TRUE(h.Overlaps(1100, 1));
}

}  // namespace
}  // namespace ambrelic
