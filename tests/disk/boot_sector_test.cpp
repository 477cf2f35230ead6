// The boot sector read from its copy when sector 0 cannot be read: FAT32's
// sector 6 and NTFS's last sector, each only where the volume agrees.
#include <gtest/gtest.h>

#include <memory>

#include "platform/boot_sector.h"
#include "platform/volume_info.h"
#include "support/test_support.h"

namespace ambrelic::platform {
namespace {

std::shared_ptr<FaultyDevice> Damaged(const std::string& image, std::uint64_t badOffset, std::uint64_t badLength) {
  auto device = std::make_shared<FaultyDevice>(OpenFileDevice(image).device);
  device->AddBadRange(badOffset, badLength);
  return device;
}

std::vector<std::uint8_t> FirstSector(const std::string& image) {
  std::vector<std::uint8_t> s(512);
  OpenFileDevice(image).device->ReadAt(0, s);
  return s;
}

TEST(BootSectorCopy, Fat32SectorSixStandsInForSectorZero) {
  const std::string image = test::FixtureImage("make_media_images.sh", "media32.img");
  const BootSectorRead whole = ReadBootSector(*OpenFileDevice(image).device);
  EXPECT_FALSE(whole.unreadable);
  EXPECT_EQ(whole.bytes, FirstSector(image));

  auto device = Damaged(image, 0, 512);
  const BootSectorRead r = ReadBootSector(*device);
  EXPECT_TRUE(r.unreadable);
  EXPECT_TRUE(r.fromBackup);
  EXPECT_EQ(InferPartitionType(r.bytes), 0x0C);
  EXPECT_EQ(VolumeInformationFromBootSector(r.bytes)->serial, 0x32133213u);

  // The copy's own sector gone too (a bad page at the start): nothing.
  const BootSectorRead page = ReadBootSector(*Damaged(image, 0, 4096));
  EXPECT_TRUE(page.unreadable);
  EXPECT_FALSE(page.fromBackup);
  EXPECT_EQ(InferPartitionType(page.bytes), 0);
}

TEST(BootSectorCopy, AFat32CopyTheTableDoesNotBearOutIsNotTaken) {
  const std::string image = test::FixtureImage("make_media_images.sh", "media32.img");
  const std::string copy = test::MakeTempDir("boot-copy") + "/media32.img";
  test::RunCommand("cp --sparse=always '" + image + "' '" + copy + "'");
  auto writable = OpenFileDevice(copy, 0, 0, true).device;
  const auto boot = FirstSector(image);
  const std::uint64_t fat = static_cast<std::uint64_t>(boot[0x0E] | boot[0x0F] << 8) * 512;
  const std::uint8_t wrong = static_cast<std::uint8_t>(boot[0x15] ^ 0x01);
  // Entry 0 of the table no longer carries the media byte.
  ASSERT_TRUE(writable->WriteAt(fat, std::span<const std::uint8_t>(&wrong, 1)));
  auto device = std::make_shared<FaultyDevice>(writable);
  device->AddBadRange(0, 512);
  EXPECT_FALSE(ReadBootSector(*device).fromBackup);
}

TEST(BootSectorCopy, NtfsLastSectorStandsInForSectorZero) {
  const std::string image = test::FixtureImage("make_media_images.sh", "media-ntfs.img");
  auto device = Damaged(image, 0, 4096);
  const BootSectorRead r = ReadBootSector(*device);
  EXPECT_TRUE(r.unreadable);
  ASSERT_TRUE(r.fromBackup);
  EXPECT_EQ(InferPartitionType(r.bytes), 0x07);
  EXPECT_EQ(r.bytes, FirstSector(image));  // mkntfs writes the copy alike
}

// Clusters over 128 sectors are written as a power of two (0xF8: 2^8
// sectors): such a copy is read too. Here it names cluster 1 of 128 KiB,
// where the MFT of the image holds a file record.
TEST(BootSectorCopy, AnNtfsCopyWithLargeClustersIsRead) {
  const std::string image = test::FixtureImage("make_media_images.sh", "media-ntfs.img");
  std::vector<std::uint8_t> bytes = test::ReadFileBytes(image);
  const std::size_t last = bytes.size() / 512 * 512 - 512;
  bytes[last + 0x0D] = 0xF8;
  for (int i = 0; i < 8; ++i) bytes[last + 0x30 + i] = i == 0 ? 1 : 0;
  auto device = std::make_shared<FaultyDevice>(std::make_shared<MemoryDevice>(bytes, false));
  device->AddBadRange(0, 4096);
  const BootSectorRead r = ReadBootSector(*device);
  ASSERT_TRUE(r.fromBackup);
  EXPECT_EQ(r.bytes[0x0D], 0xF8);
}

}  // namespace
}  // namespace ambrelic::platform
