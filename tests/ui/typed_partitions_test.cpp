// FAT volumes made by mkfs.fat and mtools, bare and inside partitions of
// every FAT type byte: the byte says that a partition holds FAT, the
// volume's own layout says which FAT. Each drive is searched on the NT path
// and on the 9x path and must list what The Sleuth Kit's `fls -rd` lists;
// the wipe must keep every live file whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"
#include "platform/drives.h"
#include "platform/text.h"
#include "platform/volume_info.h"
#include "support/test_support.h"
#include "ui/main_dialog.h"
#include "ui/test_host.h"
#include "ui/volume_preparation.h"
#include "ui/windows9x.h"

namespace ambrelic::ui {
namespace {

namespace fs = std::filesystem;

std::string Typed(const std::string& name) { return test::FixtureImage("make_typed_images.sh", name); }

const char* const kTypes[] = {"01", "04", "06", "0b", "0c", "0e"};

disk::FsKind KindOfBits(int bits) {
  return bits == 12 ? disk::FsKind::Fat12 : bits == 16 ? disk::FsKind::Fat16 : disk::FsKind::Fat32;
}

std::string DiskName(int bits, const char* type) { return "typed-fat" + std::to_string(bits) + "-" + type + ".img"; }
std::string VolumeName(int bits) { return "typed-fat" + std::to_string(bits) + ".img"; }

// fls -rd's deleted paths, upper-cased, '_' for a lost first character.
std::set<std::string> FlsDeleted(const std::string& image, std::uint64_t sector) {
  int status = 0;
  const std::string out =
      test::RunCommand("fls -rd -o " + std::to_string(sector) + " '" + image + "'", &status);
  EXPECT_EQ(status, 0) << image;
  std::set<std::string> names;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 1);
    if (path.rfind("$OrphanFiles", 0) == 0) continue;
    names.insert(platform::UpperCase(path));
  }
  return names;
}

// The rows of the last search in the same form.
std::set<std::string> RowsAsFls(const MainDialog& d) {
  std::set<std::string> names;
  for (const auto& r : d.List().Rows()) {
    std::string path = r.texts[1].substr(3);
    std::replace(path.begin(), path.end(), '\\', '/');
    path = path.empty() ? r.texts[0] : path + "/" + r.texts[0];
    for (std::size_t i = 0; i < path.size(); ++i) {
      if (path[i] == '$' && (i == 0 || path[i - 1] == '/')) path[i] = '_';
    }
    names.insert(platform::UpperCase(path));
  }
  return names;
}

// Searches the drive at position with both options on and no vacant scan.
void Search(MainDialog& d, int position) {
  d.SelectDrive(position);
  d.SetIncludeUsedClusters(true);
  d.SetIncludeZeroSize(true);
  d.OnSearch();
}

class TypedPartitions : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseUtf8Locale();
    platform::SetOemCodepage("CP850");  // what mtools writes short names in
  }
  void TearDown() override { platform::SetOemCodepage("CP437"); }
};

TEST_F(TypedPartitions, NtPathTakesTheKindFromTheLayoutAndListsAsTheSleuthKit) {
  for (int bits : {12, 16, 32}) {
    const auto expected = FlsDeleted(Typed(VolumeName(bits)), 0);
    ASSERT_EQ(expected.size(), 7u) << bits;
    std::vector<std::pair<std::string, platform::DriveSource>> cases;
    for (const char* t : kTypes) cases.push_back({DiskName(bits, t), {Typed(DiskName(bits, t)), false, false}});
    cases.push_back({VolumeName(bits) + " fixed", {Typed(VolumeName(bits)), false, false}});
    cases.push_back({VolumeName(bits) + " removable", {Typed(VolumeName(bits)), false, true}});
    cases.push_back({VolumeName(bits) + " floppy", {Typed(VolumeName(bits)), true, false}});
    for (const auto& [name, source] : cases) {
      const auto drives = platform::BuildDriveTable({source}).drives;
      ASSERT_EQ(drives.size(), 1u) << name;
      EXPECT_EQ(IdentifyDriveKind(drives[0]), KindOfBits(bits)) << name;
      TestHost host;
      MainDialog d(host, drives);
      d.Initialise();
      Search(d, 0);
      EXPECT_EQ(d.Volume().fsKind, KindOfBits(bits)) << name;
      EXPECT_EQ(RowsAsFls(d), expected) << name;
    }
  }
}

TEST_F(TypedPartitions, NinexPathTakesTheKindFromTheLayoutAndListsAsTheSleuthKit) {
  for (int bits : {12, 16, 32}) {
    const auto expected = FlsDeleted(Typed(VolumeName(bits)), 0);
    std::vector<std::pair<std::string, platform::DriveSource>> cases;
    for (const char* t : kTypes) {
      cases.push_back({DiskName(bits, t) + " fixed", {Typed(DiskName(bits, t)), false, false}});
      cases.push_back({DiskName(bits, t) + " removable", {Typed(DiskName(bits, t)), false, true}});
    }
    cases.push_back({VolumeName(bits) + " removable", {Typed(VolumeName(bits)), false, true}});
    cases.push_back({VolumeName(bits) + " floppy", {Typed(VolumeName(bits)), true, false}});
    for (const auto& [name, source] : cases) {
      Windows9xPlatform platform;
      ASSERT_EQ(platform.Start({source}, {}, AMBRELIC_BUILD_DIR), "") << name;
      const auto drives = platform.BuildDriveTable();
      ASSERT_EQ(drives.size(), 1u) << name;
      // A fixed drive stays bound to its partition: the serial number the
      // walk read is the one the volume reports.
      EXPECT_EQ(drives[0].type, source.floppy || source.removable ? platform::DriveType::Removable
                                                                   : platform::DriveType::Fixed)
          << name;
      TestHost host;
      MainDialog d(host, drives);
      d.UseWindows9x(&platform);
      d.Initialise();
      Search(d, 0);
      EXPECT_EQ(d.Volume().fsKind, KindOfBits(bits)) << name;
      EXPECT_EQ(RowsAsFls(d), expected) << name;
    }
  }
}

TEST_F(TypedPartitions, FewClustersInTheFat32LayoutIsStillFat32) {
  // The 16-bit sectors-per-FAT field is 0: the FAT32 layout, whatever the
  // count of clusters.
  auto sector = test::ReadFileBytes(Typed("small32.img"));
  sector.resize(512);
  EXPECT_EQ(platform::InferPartitionType(sector), 0x0C);
  const auto drives = platform::BuildDriveTable({{Typed("small32.img"), false, false}}).drives;
  ASSERT_EQ(drives.size(), 1u);
  EXPECT_EQ(IdentifyDriveKind(drives[0]), disk::FsKind::Fat32);
  const auto q = platform::QueryVolumeInformation(Typed("small32.img"), 0, 0);
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.info.fileSystem, "FAT32");
  EXPECT_EQ(q.info.serial, 0x32000032u);

  // Hand-built, as no tool writes it: a 16-bit sectors-per-FAT that is not
  // 0 with 70,000 clusters is the FAT16 layout, not FAT32.
  std::span<std::uint8_t> b(sector);
  disk::put16(b, 0x16, 300);
  disk::put16(b, 0x13, 0);
  disk::put32(b, 0x20, 70000 + 32 + 600);
  EXPECT_EQ(platform::InferPartitionType(sector), 0x06);
  EXPECT_EQ(disk::FatKindFromLayout(disk::FsKind::Fat32, sector), disk::FsKind::Fat16);
  // A boot sector that cannot be believed leaves the claimed kind.
  sector[0] = 0;
  EXPECT_EQ(disk::FatKindFromLayout(disk::FsKind::Fat32, sector), disk::FsKind::Fat32);
  EXPECT_EQ(disk::FatKindFromLayout(disk::FsKind::Ntfs, sector), disk::FsKind::Ntfs);
}

// The wipe of a FAT12 volume typed 0x06 and of a FAT16 volume typed 0x01:
// every live file keeps its bytes and the volume stays consistent.
TEST_F(TypedPartitions, WipeKeepsEveryLiveFileOnBothPaths) {
  for (const bool ninex : {false, true}) {
    for (const std::string name : {"typed-fat12-06.img", "typed-fat16-01.img", "typed-fat32-06.img"}) {
      const std::string tag = name + (ninex ? " 9x" : " nt");
      const std::string dir = test::MakeTempDir("typed-wipe");
      const std::string disk = dir + "/disk.img";
      fs::copy_file(Typed(name), disk);
      const std::string volume = dir + "/volume.img";
      auto live = [&](const std::string& path) {
        test::RunCommand("dd if='" + disk + "' of='" + volume + "' bs=512 skip=2048 status=none");
        return test::RunCommand("MTOOLS_SKIP_CHECK=1 mtype -i '" + volume + "' '::" + path + "' | sha256sum");
      };
      const std::string keep = live("KEEP.TXT"), still = live("Live/Still here.txt");
      ASSERT_NE(keep, still);

      Windows9xPlatform platform;
      std::vector<platform::Drive> drives;
      if (ninex) {
        ASSERT_EQ(platform.Start({{disk, false, false}}, {}, AMBRELIC_BUILD_DIR), "");
        drives = platform.BuildDriveTable();
      } else {
        drives = platform::BuildDriveTable({{disk, false, false}}).drives;
      }
      ASSERT_EQ(drives.size(), 1u) << tag;
      TestHost host;
      MainDialog d(host, drives);
      if (ninex) d.UseWindows9x(&platform);
      d.Initialise();
      host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
      d.OnDeleteCompletely();
      EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran) << tag;
      EXPECT_EQ(d.LastWipeFailures(), 0u) << tag;
      EXPECT_EQ(live("KEEP.TXT"), keep) << tag;
      EXPECT_EQ(live("Live/Still here.txt"), still) << tag;
      int rc = -1;
      test::RunCommand("fsck.fat -n '" + volume + "' >/dev/null 2>&1", &rc);
      EXPECT_EQ(rc, 0) << tag;
      // Nothing deleted is left to list.
      TestHost after;
      MainDialog again(after, platform::BuildDriveTable({{disk, false, false}}).drives);
      again.Initialise();
      Search(again, 0);
      EXPECT_EQ(again.List().RowCount(), 0) << tag;
    }
  }
}

}  // namespace
}  // namespace ambrelic::ui
