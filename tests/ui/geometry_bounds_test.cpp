// FAT boot sectors that claim more than the device holds or the allocation
// table can address, on volumes made by mkfs.fat: the count of clusters is
// bounded on the NT path and on the 9x path (there by the partition entry
// too), and no more of a table is loaded than its clusters need, so every
// command ends quickly and without running out of memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "disk/byte_reader.h"
#include "platform/drives.h"
#include "support/test_support.h"
#include "ui/main_dialog.h"
#include "ui/test_host.h"
#include "ui/windows9x.h"

namespace ambrelic::ui {
namespace {

namespace fs = std::filesystem;

std::string Typed(const std::string& name) { return test::FixtureImage("make_typed_images.sh", name); }

// A copy of a fixture image whose first sector is patched, and a FAT32
// volume's backup boot sector the same way (the wipe refuses a volume whose
// two boot sectors disagree).
std::string Patched(const std::string& name, const std::function<void(std::span<std::uint8_t>)>& patch) {
  const std::string path = test::MakeTempDir("geometry") + "/" + name;
  fs::copy_file(Typed(name), path);
  auto bytes = test::ReadFileBytes(path);
  const std::span<std::uint8_t> all(bytes);
  const std::uint16_t backup = disk::le16(all, 0x32);
  const bool fat32 = disk::le16(all, 0x16) == 0;
  patch(all.first(512));
  if (fat32 && backup != 0 && backup < disk::le16(all, 0x0E)) patch(all.subspan(backup * 512u, 512));
  test::WriteFileBytes(path, bytes);
  return path;
}

// The context a preparation of the only drive of source leaves, on either path.
struct Prepared {
  int result = 0;
  disk::VolumeContext ctx;
};
Prepared Prepare(const platform::DriveSource& source, bool ninex) {
  Windows9xPlatform platform;
  std::vector<platform::Drive> drives;
  if (ninex) {
    EXPECT_EQ(platform.Start({source}, {}, AMBRELIC_BUILD_DIR), "");
    drives = platform.BuildDriveTable();
  } else {
    drives = platform::BuildDriveTable({source}).drives;
  }
  EXPECT_EQ(drives.size(), 1u);
  TestHost host;
  MainDialog d(host, drives);
  if (ninex) d.UseWindows9x(&platform);
  d.Initialise();
  d.SelectDrive(0);
  Prepared p;
  p.result = d.PrepareVolume();
  p.ctx = d.Volume();
  return p;
}

// Search with the vacant scan, scan-all and the wipe's two phases, all
// answered Yes; the log of what the user was told.
std::vector<std::string> EveryCommand(const std::string& image, bool ninex) {
  Windows9xPlatform platform;
  std::vector<platform::Drive> drives;
  if (ninex) {
    EXPECT_EQ(platform.Start({{image, false, true}}, {}, AMBRELIC_BUILD_DIR), "");
    drives = platform.BuildDriveTable();
  } else {
    drives = platform::BuildDriveTable({{image, false, false}}).drives;
  }
  TestHost host;
  MainDialog d(host, drives);
  if (ninex) d.UseWindows9x(&platform);
  d.Initialise();
  host.answers = {Answer::Yes};
  d.OnSearch();
  d.SetNameText("X");
  host.answers = {Answer::Yes};
  d.OnScanAllClusters();
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  d.OnDeleteCompletely();
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  EXPECT_EQ(d.LastWipeFailures(), 0u);
  return host.log;
}

TEST(GeometryBounds, ClaimedSectorsBeyondTheDeviceAreNotClusters) {
  test::UseUtf8Locale();
  for (const bool ninex : {false, true}) {
    // FAT32 of 34 MiB claiming 0xFFFFFFF0 sectors: the clusters the image holds.
    const Prepared real = Prepare({Typed("typed-fat32.img"), false, true}, ninex);
    ASSERT_EQ(real.result, 1);
    const std::string claims = Patched("typed-fat32.img", [](auto b) { disk::put32(b, 0x20, 0xFFFFFFF0u); });
    const Prepared p = Prepare({claims, false, true}, ninex);
    ASSERT_EQ(p.result, 1) << ninex;
    ASSERT_EQ(p.ctx.lastCluster, real.ctx.lastCluster) << ninex;
    EXPECT_EQ(p.ctx.fatCopy.size(), real.ctx.fatCopy.size()) << ninex;

    // 1 MiB claiming 4 x 10^9 clusters: 1984 clusters from sector 64.
    const std::string tiny = Patched("tiny32.img", [](auto b) {
      disk::put16(b, 0x13, 0);
      disk::put32(b, 0x20, 0xFFFFFFFFu);
    });
    const Prepared t = Prepare({tiny, false, true}, ninex);
    ASSERT_EQ(t.result, 1) << ninex;
    ASSERT_EQ(t.ctx.lastCluster, 1985u) << ninex;
    // Entries 0 to 1985 of 32 bits, in whole sectors.
    EXPECT_EQ(t.ctx.fatCopy.size(), 16u * 512) << ninex;

    EveryCommand(claims, ninex);
    const auto log = EveryCommand(tiny, ninex);
    EXPECT_NE(std::find(log.begin(), log.end(), "message: No files were found."), log.end());
  }
}

TEST(GeometryBounds, NinexVolumeEndsWhereItsPartitionEntryEnds) {
  test::UseUtf8Locale();
  // The FAT16 volume claims 16 MiB; its entry gives it 24,576 sectors.
  const std::string disk = Typed("limited-fat16.img");
  const Prepared nt = Prepare({disk, false, false}, false);
  const Prepared nine = Prepare({disk, false, false}, true);
  ASSERT_EQ(nt.result, 1);
  ASSERT_EQ(nine.result, 1);
  const std::uint64_t expected = (24576 - (nt.ctx.dataStartSector)) / nt.ctx.sectorsPerCluster + 1;
  EXPECT_EQ(nt.ctx.lastCluster, expected);
  EXPECT_EQ(nine.ctx.lastCluster, expected);
  // The drive the 9x list shows ends there too.
  Windows9xPlatform platform;
  ASSERT_EQ(platform.Start({{disk, false, false}}, {}, AMBRELIC_BUILD_DIR), "");
  EXPECT_EQ(platform.BuildDriveTable().at(0).length, 24576u * 512);
  // As a removable disk the partition is taken from the same entry.
  EXPECT_EQ(Prepare({disk, false, true}, true).ctx.lastCluster, expected);
}

// 2^30 sectors per table on a sparse device that reaches a little past the
// tables: the table is loaded only as far as the clusters the device holds.
TEST(GeometryBounds, HugeTableOnASparseDeviceLoadsOnlyWhatItsClustersNeed) {
  test::UseUtf8Locale();
  const std::string path = test::MakeTempDir("huge-table") + "/sparse.img";
  auto sector = test::ReadFileBytes(Typed("tiny32.img"));
  sector.resize(512);
  std::span<std::uint8_t> b(sector);
  disk::put16(b, 0x13, 0);
  disk::put32(b, 0x20, 0xFFFFFFFFu);
  disk::put32(b, 0x24, 0x40000000u);
  // The backup boot sector (sector 6) agrees with it.
  sector.resize(7 * 512);
  std::copy_n(sector.begin(), 512, sector.begin() + 6 * 512);
  test::WriteFileBytes(path, sector);
  const std::uint64_t dataStart = 32 + 2 * 0x40000000ull;
  fs::resize_file(path, (dataStart + 16384) * 512);
  // The root folder's cluster is in use in both tables (a root folder in
  // a free cluster is a damaged volume, which the wipe refuses).
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const char used[4] = {'\xFF', '\xFF', '\xFF', '\x0F'};
    for (const std::uint64_t table : {32ull, 32 + 0x40000000ull}) {
      f.seekp(static_cast<std::streamoff>(table * 512 + 2 * 4));
      f.write(used, 4);
    }
  }

  const Prepared p = Prepare({path, false, false}, false);
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.ctx.lastCluster, 16385u);
  EXPECT_EQ(p.ctx.fatCopy.size(), (16386u * 4 + 511) / 512 * 512);
  EXPECT_EQ(p.ctx.fatWork.size(), p.ctx.fatCopy.size());
  const auto log = EveryCommand(path, false);
  EXPECT_NE(std::find(log.begin(), log.end(), "message: No files were found."), log.end());
}

}  // namespace
}  // namespace ambrelic::ui
