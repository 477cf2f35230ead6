#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <vector>

#include "disk/media_errors.h"
#include "disk/sector_device.h"
#include "support/test_support.h"

namespace ambrelic::disk {
namespace {

struct Call {
  int function;
  std::uint32_t lba;  // LBA calls
  int head, cylinder, sector;  // CHS calls
  int count;
};
std::vector<Call> g_calls;
std::vector<std::uint8_t> g_disk;

int IoChs(std::uint16_t bps, std::uint8_t, void* buffer, int function, int head, int cylinder, int sector, int count) {
  g_calls.push_back({function, 0, head, cylinder, sector, count});
  // 16 heads, 63 sectors per track in these tests.
  std::uint32_t lba = (static_cast<std::uint32_t>(cylinder) * 16 + head) * 63 + (sector - 1);
  auto* p = static_cast<std::uint8_t*>(buffer);
  for (int i = 0; i < count * bps; ++i) {
    std::size_t at = static_cast<std::size_t>(lba) * bps + i;
    if (function == 2) p[i] = at < g_disk.size() ? g_disk[at] : 0;
    else if (at < g_disk.size()) g_disk[at] = p[i];
  }
  return 0;
}

int IoLba(std::uint16_t bps, std::uint8_t, void* buffer, int function, std::uint32_t lba, int count) {
  g_calls.push_back({function, lba, 0, 0, 0, count});
  auto* p = static_cast<std::uint8_t*>(buffer);
  for (int i = 0; i < count * bps; ++i) {
    std::size_t at = static_cast<std::size_t>(lba) * bps + i;
    if (function == 0x42) p[i] = at < g_disk.size() ? g_disk[at] : 0;
    else if (at < g_disk.size()) g_disk[at] = p[i];
  }
  return 0;
}

Int13Api g_api{nullptr, nullptr, IoChs, IoLba};

VolumeContext DiskContext(bool lba) {
  VolumeContext ctx;
  ctx.IsNtPlatform = 0;
  ctx.int13 = &g_api;
  ctx.geometry = {15, 63};
  ctx.hasInt13Extensions = lba ? 1 : 0;
  g_calls.clear();
  g_disk.assign(2000 * 512, 0);
  for (std::size_t i = 0; i < g_disk.size(); ++i) g_disk[i] = static_cast<std::uint8_t>(i / 512);
  return ctx;
}

}  // namespace

TEST(DiskTransferChunk, BelowAndAt64KiB) {
  EXPECT_EQ(DiskTransferChunk(512, 63), 63u);
  EXPECT_EQ(DiskTransferChunk(2048, 63), 31u);
  EXPECT_EQ(DiskTransferChunk(1024, 64), 63u);
  EXPECT_EQ(DiskTransferChunk(1024, 63), 63u);
  EXPECT_EQ(DiskTransferChunk(4096, 16), 15u);  // exactly 64 KiB takes the second rule
}

TEST(DiskBackEnd, ChsReadNeverCrossesATrack) {
  VolumeContext ctx = DiskContext(false);
  std::vector<std::uint8_t> buf(10 * 512);
  EXPECT_EQ(ReadDiskSectors(ctx, buf.data(), 60, 10), 0);
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[0].head, 0); EXPECT_EQ(g_calls[0].cylinder, 0);
  EXPECT_EQ(g_calls[0].sector, 61); EXPECT_EQ(g_calls[0].count, 3);
  EXPECT_EQ(g_calls[1].head, 1); EXPECT_EQ(g_calls[1].cylinder, 0);
  EXPECT_EQ(g_calls[1].sector, 1); EXPECT_EQ(g_calls[1].count, 7);
  for (int s = 0; s < 10; ++s) EXPECT_EQ(buf[s * 512], static_cast<std::uint8_t>(60 + s));
}

TEST(DiskBackEnd, ChsCylinderArithmetic) {
  VolumeContext ctx = DiskContext(false);
  std::vector<std::uint8_t> buf(512);
  ReadDiskSectors(ctx, buf.data(), 1008, 1);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].cylinder, 1);
  EXPECT_EQ(g_calls[0].head, 0);
  EXPECT_EQ(g_calls[0].sector, 1);
}

TEST(DiskBackEnd, LbaReadsInChunks) {
  VolumeContext ctx = DiskContext(true);
  std::vector<std::uint8_t> buf(200 * 512);
  ReadDiskSectors(ctx, buf.data(), 100, 200);
  ASSERT_EQ(g_calls.size(), 4u);
  const int counts[] = {63, 63, 63, 11};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(g_calls[i].function, 0x42);
    EXPECT_EQ(g_calls[i].lba, 100u + 63u * i);
    EXPECT_EQ(g_calls[i].count, counts[i]);
  }
  EXPECT_EQ(buf[199 * 512], static_cast<std::uint8_t>(299));
}

TEST(DiskBackEnd, CountZeroMakesNoCallAndWritesGoThrough) {
  VolumeContext ctx = DiskContext(true);
  std::vector<std::uint8_t> buf(512, 0xAB);
  EXPECT_EQ(ReadDiskSectors(ctx, buf.data(), 5, 0), 0);
  EXPECT_TRUE(g_calls.empty());
  WriteDiskSectors(ctx, buf.data(), 5, 1);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].function, 0x43);
  EXPECT_EQ(g_disk[5 * 512 + 17], 0xAB);
}

TEST(VolumeBackEnd, ReadsAt64BitOffsetsAndZeroFillsShortReads) {
  // A sparse device whose single byte lies far beyond 2^32 sectors' worth.
  class FarDevice : public platform::BlockDevice {
   public:
    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
      last = offset;
      std::fill(out.begin(), out.end(), 0x5A);
      return true;
    }
    bool WriteAt(std::uint64_t, std::span<const std::uint8_t>) override { return false; }
    std::uint64_t Size() const override { return ~0ull; }
    bool Writable() const override { return false; }
    std::uint64_t last = 0;
  };
  auto far = std::make_shared<FarDevice>();
  VolumeContext ctx;
  ctx.volumeHandle = far;
  std::vector<std::uint8_t> buf(512);
  EXPECT_TRUE(ReadVolumeSectors(ctx, 0x100000000ull, 1, buf.data()));
  EXPECT_EQ(far->last, 0x100000000ull * 512);

  ctx.volumeHandle = std::make_shared<platform::MemoryDevice>(std::vector<std::uint8_t>(700, 0x11));
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_FALSE(ReadVolumeSectors(ctx, 1, 1, buf.data()));  // bytes 512..1023 of a 700-byte image
  EXPECT_EQ(buf[0], 0x11);
  EXPECT_EQ(buf[187], 0x11);
  EXPECT_EQ(buf[188], 0x00);  // never the previous contents
  EXPECT_EQ(buf[511], 0x00);
}

// Sectors of an image just written (so in memory) are looked at where
// they lie; a device that is not a plain file, or a medium that has failed
// a read, is read instead; and when the file is cut short under a view,
// its pages past the cut read as zeros and the view says which, with no
// SIGBUS.
TEST(VolumeViews, CachedSectorsAreSeenInPlaceAndACutFileReadsAsZeros) {
  std::vector<std::uint8_t> bytes(1 << 20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
  const std::string path = test::MakeTempDir("views") + "/volume.img";
  test::WriteFileBytes(path, bytes);
  VolumeContext ctx;
  ctx.volumeHandle = platform::OpenFileDevice(path).device;
  ASSERT_TRUE(ctx.volumeHandle);
  auto view = ViewSectors(ctx, 9, 128);  // not page-aligned
  ASSERT_TRUE(view);
  ASSERT_EQ(view->size(), 128u * 512);
  EXPECT_TRUE(std::equal(view->data(), view->data() + view->size(), bytes.begin() + 9 * 512));
  EXPECT_FALSE(ViewSectors(ctx, 2047, 2));  // past the end

  VolumeContext memory = ctx;
  memory.volumeHandle = std::make_shared<platform::MemoryDevice>(bytes, false);
  EXPECT_FALSE(ViewSectors(memory, 0, 8));
  VolumeContext failed = ctx;
  failed.media = std::make_shared<MediaErrors>();
  std::vector<std::uint8_t> sector(512);
  failed.media->Read(0, sector, 512, [](std::uint64_t, std::span<std::uint8_t>) { return EIO; }, nullptr);
  EXPECT_FALSE(ViewSectors(failed, 0, 8));

  // Cut at byte 32768: what lies before it is still there and not spoiled.
  ASSERT_EQ(::truncate(path.c_str(), 32768), 0);
  EXPECT_FALSE(view->Spoiled());
  const std::size_t kept = 32768 - 9 * 512;
  unsigned sum = 0;
  for (std::size_t i = kept; i < view->size(); i += 512) sum += view->data()[i];
  EXPECT_EQ(sum, 0u);
  EXPECT_TRUE(view->Spoiled());
  EXPECT_FALSE(view->Spoiled(view->data(), kept));
  EXPECT_TRUE(view->Spoiled(view->data() + kept - 1, 2));
  EXPECT_TRUE(std::equal(view->data(), view->data() + kept, bytes.begin() + 9 * 512));
}

}  // namespace ambrelic::disk
