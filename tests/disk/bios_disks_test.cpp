#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "disk/sector_device.h"
#include "platform/bios_disks.h"
#include "support/test_support.h"

namespace ambrelic::platform {
namespace fs = std::filesystem;

namespace {

// A folder holding copies of the built service library and companion, so
// each test can remove one of them.
std::string ServiceFolder(bool companion, bool library) {
  std::string dir = test::MakeTempDir("int13");
  if (companion) fs::copy_file(std::string(AMBRELIC_BUILD_DIR) + "/dll16.so", dir + "/dll16.so");
  if (library) fs::copy_file(std::string(AMBRELIC_BUILD_DIR) + "/dll32.so", dir + "/dll32.so");
  return dir;
}

std::string NumberedImage(std::uint64_t sectors) {
  std::string path = test::MakeTempDir("int13img") + "/disk.img";
  std::vector<std::uint8_t> bytes(sectors * 512);
  for (std::uint64_t s = 0; s < sectors; ++s) {
    bytes[s * 512] = static_cast<std::uint8_t>(s);
    bytes[s * 512 + 1] = static_cast<std::uint8_t>(s >> 8);
  }
  test::WriteFileBytes(path, bytes);
  return path;
}

}  // namespace

TEST(Int13Service, MissingCompanionOrLibraryGiveTheDesignedMessages) {
  Int13Service none;
  EXPECT_EQ(none.Load(ServiceFolder(false, true)), Int13LoadResult::MissingCompanion);
  EXPECT_EQ(none.FailureMessage(), "Dll16.dll was not found.");
  Int13Service noLib;
  EXPECT_EQ(noLib.Load(ServiceFolder(true, false)), Int13LoadResult::MissingLibrary);
  EXPECT_EQ(noLib.FailureMessage(), "Dll32.dll was not found.");
}

TEST(Int13Service, ALibraryWithoutTheExportsIsRefused) {
  // The companion put in the library's place has none of the four exports.
  std::string dir = ServiceFolder(true, false);
  fs::copy_file(dir + "/dll16.so", dir + "/dll32.so");
  Int13Service svc;
  EXPECT_EQ(svc.Load(dir), Int13LoadResult::MissingExport);
  EXPECT_EQ(svc.FailureMessage(), "The entry point i13_lba_check was not found in Dll32.dll.");
}

TEST(Int13Service, ServesAnImageByChsAndLba) {
  Int13Service svc;
  ASSERT_EQ(svc.Load(ServiceFolder(true, true)), Int13LoadResult::Loaded);
  const std::string img = NumberedImage(16 * 63 * 3);
  ASSERT_EQ(svc.AttachDisk(0x80, img, 16, 63, true, false), 0);
  ASSERT_EQ(svc.AttachDisk(0x81, img, 16, 63, false, false), 0);
  const Int13Api& api = svc.Api();
  std::uint8_t block[8] = {};
  EXPECT_EQ(api.i13_get_drive_parameter(0x80, block), 1);
  EXPECT_EQ(block[2], 15);
  EXPECT_EQ(block[6], 63);
  EXPECT_EQ(api.i13_get_drive_parameter(0x82, block), 0);
  EXPECT_NE(api.i13_lba_check(0x80), 0);
  EXPECT_EQ(api.i13_lba_check(0x81), 0);

  // The sector device over the service gives the same bytes both ways.
  for (std::uint8_t drive : {0x80, 0x81}) {
    disk::VolumeContext ctx;
    ctx.IsNtPlatform = 0;
    ctx.int13 = &api;
    ctx.biosDrive = drive;
    ctx.hasInt13Extensions = api.i13_lba_check(drive);
    api.i13_get_drive_parameter(drive, block);
    ctx.geometry = {block[2], block[6]};
    std::vector<std::uint8_t> buf(150 * 512);
    disk::ReadDiskSectors(ctx, buf.data(), 1000, 150);
    for (int s = 0; s < 150; ++s) {
      ASSERT_EQ(buf[s * 512] | (buf[s * 512 + 1] << 8), (1000 + s) & 0xFFFF) << int(drive) << " " << s;
    }
  }
  // A read past the end of the disk gives zeros.
  std::vector<std::uint8_t> past(512, 0xEE);
  EXPECT_NE(api.i13x_io_sector(512, 0x80, past.data(), 0x42, 16 * 63 * 3, 1), 0);
  EXPECT_EQ(past[0], 0);
  EXPECT_EQ(past[511], 0);
}

TEST(Int13Service, ImpossibleGeometryIsRefused) {
  Int13Service svc;
  ASSERT_EQ(svc.Load(ServiceFolder(true, true)), Int13LoadResult::Loaded);
  const std::string img = NumberedImage(100);
  EXPECT_NE(svc.AttachDisk(0x80, img, 255, 0, true, false), 0);
  EXPECT_NE(svc.AttachDisk(0x80, img, 0, 63, true, false), 0);
  EXPECT_NE(svc.AttachDisk(0x80, img, 257, 63, true, false), 0);
  EXPECT_NE(svc.AttachDisk(0x80, img, 255, 64, true, false), 0);
  const std::string tiny = NumberedImage(10);
  EXPECT_NE(svc.AttachDisk(0x80, tiny, 255, 63, true, false), 0);
  EXPECT_EQ(svc.AttachDisk(0x80, img, 2, 18, false, false), 0);
}

}  // namespace ambrelic::platform
