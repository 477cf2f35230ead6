// The Windows 9x path end to end: the sources served as BIOS disks by the
// INT 13h stand-in, the partition walk, the drive letters as DOS hands them
// out, the binding by serial number, and searches that list exactly what
// the NT path lists for the same volume, with LBA and CHS requests alike.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include <unistd.h>

#include "disk/partition_table.h"
#include "platform/drives.h"
#include "support/test_support.h"
#include "ui/main_dialog.h"
#include "ui/test_host.h"
#include "ui/windows9x.h"

namespace ambrelic::ui {
namespace {
namespace fs = std::filesystem;

using CliResult = test::ProgramRun;

CliResult Cli(const std::string& args, const std::string& binary = AMBRELIC_CLI) {
  return test::RunProgram(binary, args);
}

std::string Disk(const std::string& name) { return test::FixtureImage("make_9x_disks.sh", name); }

std::string AllSources() {
  return "'" + Disk("disk9x-a.img") + "' '" + Disk("disk9x-b.img") + "' --floppy '" + Disk("floppy9x.img") +
         "' --removable '" + Disk("stick9x.img") + "' --removable '" + Disk("stickpt9x.img") + "'";
}

// "C:\ ..." lines of `drives`: letter -> "path<TAB>offset".
std::map<char, std::string> Volumes(const std::string& drivesOutput) {
  std::map<char, std::string> out;
  std::istringstream in(drivesOutput);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab4 = line.rfind('\t');
    const auto tab3 = line.rfind('\t', tab4 - 1);
    out[line[0]] = line.substr(tab3 + 1);
  }
  return out;
}

// The CSV of a search with the drive letter of In Folder taken out, so
// that rows of one volume listed under two letters compare equal.
std::string WithoutLetter(const std::string& csv) {
  std::string out;
  std::istringstream in(csv);
  std::string line;
  while (std::getline(in, line)) {
    const auto at = line.find(":\\");
    if (at != std::string::npos && at > 0) line.replace(at - 1, 1, "?");
    out += line + "\n";
  }
  return out;
}

}  // namespace

TEST(Windows9xPath, DriveLettersAsDosHandsThemOut) {
  const CliResult r = Cli("--platform 9x drives " + AllSources());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string a = Disk("disk9x-a.img"), b = Disk("disk9x-b.img");
  std::istringstream in(r.out);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 8u) << r.out;
  // The active primary of each disk first, then the logical partitions,
  // then the other primaries; removable disks after the fixed drives.
  EXPECT_EQ(lines[0].substr(0, 19), "A:\\\tremovable\tFAT12");
  EXPECT_EQ(lines[1], "C:\\\tfixed\tFAT16\tPRIMARY16 (C:)\t" + a + "\t1048576");
  EXPECT_EQ(lines[2], "D:\\\tfixed\tFAT32\tSECONDDISK (D:)\t" + b + "\t1048576");
  EXPECT_NE(lines[3].find("LOGICAL32 (E:)"), std::string::npos);
  EXPECT_NE(lines[4].find("LOGICAL16 (F:)"), std::string::npos);
  EXPECT_NE(lines[5].find("PRIMARY12 (G:)"), std::string::npos);
  EXPECT_EQ(lines[6].substr(0, 19), "H:\\\tremovable\tFAT32");
  EXPECT_EQ(lines[7].substr(0, 19), "I:\\\tremovable\tFAT16");
}

TEST(Windows9xPath, EveryDriveListsWhatTheNtPathLists) {
  const std::string sources = AllSources();
  const auto nt = Volumes(Cli("drives " + sources).out);
  const auto ninex = Volumes(Cli("--platform 9x drives " + sources).out);
  ASSERT_EQ(nt.size(), ninex.size());
  int compared = 0;
  for (const auto& [letter9x, volume] : ninex) {
    char letterNt = 0;
    for (const auto& [l, v] : nt) {
      if (v == volume) letterNt = l;
    }
    ASSERT_NE(letterNt, 0) << volume;
    const std::string common = " --include-zero --no-scan-vacant --format csv " + sources;
    const CliResult ntRun = Cli(std::string("search --drive ") + letterNt + ":" + common);
    const CliResult lba = Cli(std::string("--platform 9x search --drive ") + letter9x + ":" + common);
    const CliResult chs = Cli(std::string("--platform 9x --no-lba search --drive ") + letter9x + ":" + common);
    ASSERT_EQ(ntRun.status, 0) << ntRun.err;
    EXPECT_GT(std::count(ntRun.out.begin(), ntRun.out.end(), '\n'), 2) << letterNt << ntRun.out;
    EXPECT_EQ(WithoutLetter(lba.out), WithoutLetter(ntRun.out)) << "9x LBA " << letter9x << " vs NT " << letterNt;
    EXPECT_EQ(WithoutLetter(chs.out), WithoutLetter(ntRun.out)) << "9x CHS " << letter9x << " vs NT " << letterNt;
    ++compared;
  }
  EXPECT_EQ(compared, 8);
}

TEST(Windows9xPath, DiskOfAnotherGeometryIsBoundToTheFirstUnmatchedDrive) {
  // With 32 sectors per track the walk sets the disk aside: its fixed
  // drives match no partition and become removable drives bound to it; the
  // first of them is searched through the removable path (partition table).
  const std::string a = "'" + Disk("disk9x-a.img") + "'";
  const CliResult drives = Cli("--platform 9x --geometry 64,32 drives " + a);
  ASSERT_EQ(drives.status, 0) << drives.err;
  EXPECT_EQ(drives.out.substr(0, 14), "C:\\\tremovable\t") << drives.out;
  const CliResult search = Cli("--platform 9x --geometry 64,32 search --drive C: --include-zero --no-scan-vacant --format csv " + a);
  const CliResult nt = Cli("search --drive C: --include-zero --no-scan-vacant --format csv " + a);
  EXPECT_EQ(search.status, 0) << search.err;
  EXPECT_EQ(search.out, nt.out);
  // The second unmatched drive finds no second set-aside disk: a removable
  // drive without a BIOS disk.
  const CliResult second = Cli("--platform 9x --geometry 64,32 search --drive D: --no-scan-vacant " + a);
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err,
            "Removable disk reading failure.\n\nPlease shut down the computer and insert a disk and then restart the "
            "computer.\n\nAlso make sure the Int13 unit option for the device is checked by Device Manager.\nIf it's "
            "not, please check it and then restart the computer.\n");
}

TEST(Windows9xPath, RemovableDisksAreIdentifiedFromTheirFirstSector) {
  const std::string kNotSearchable = "You can't search this drive because the type is not FAT12/FAT16/FAT32/NTFS.\n";
  // "FAT16" at 0x36 wins over "FAT32" at 0x52.
  test::UseUtf8Locale();
  Windows9xPlatform platform;
  ASSERT_EQ(platform.Start({{Disk("odd-fat16-text9x.img"), false, true}, {Disk("odd-table9x.img"), false, true},
                            {Disk("odd-none9x.img"), false, true}},
                           {}, AMBRELIC_BUILD_DIR),
            "");
  auto drives = platform.BuildDriveTable();
  ASSERT_EQ(drives.size(), 3u);
  TestHost host;
  MainDialog dialog(host, drives);
  dialog.UseWindows9x(&platform);
  dialog.Initialise();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(drives[i].type, platform::DriveType::Removable);

  dialog.SelectDrive(0);
  EXPECT_EQ(dialog.PrepareVolume(), 1);
  EXPECT_EQ(dialog.Volume().fsKind, disk::FsKind::Fat16);

  // No text, a table whose first FAT entry is 0x0B: FAT32 at that entry's start.
  dialog.SelectDrive(1);
  EXPECT_EQ(dialog.PrepareVolume(), 1);
  EXPECT_EQ(dialog.Volume().fsKind, disk::FsKind::Fat32);
  EXPECT_EQ(dialog.Volume().volumeSerial, 0x99999999u);  // the boot sector at the entry's start

  // Neither: refused, whatever the previous preparation found.
  dialog.SelectDrive(2);
  EXPECT_EQ(dialog.PrepareVolume(), 0);
  EXPECT_EQ(dialog.Volume().fsKind, disk::FsKind::None);
  ASSERT_FALSE(host.boxes.empty());
  EXPECT_EQ(host.boxes.back().text + "\n", kNotSearchable);
}

TEST(Windows9xPath, FixedDriveWithoutAPartitionEndsTheProgram) {
  test::UseUtf8Locale();
  Windows9xPlatform platform;
  ASSERT_EQ(platform.Start({{Disk("disk9x-b.img"), false, false}}, {}, AMBRELIC_BUILD_DIR), "");
  auto drives = platform.BuildDriveTable();
  ASSERT_EQ(drives.size(), 1u);
  drives[0].link = disk::kNoIndex;  // a fixed drive the walk found no partition for
  TestHost host;
  MainDialog dialog(host, drives);
  dialog.UseWindows9x(&platform);
  dialog.Initialise();
  dialog.OnSearch();
  EXPECT_TRUE(dialog.Ending());
  ASSERT_FALSE(host.boxes.empty());
  EXPECT_EQ(host.boxes.front().text, std::string("Couldn't find the partition for selected drive.\nMake sure the Int13 unit option "
                                    "for the device is checked by Device Manager.\nIf it's not, please check it and "
                                    "then restart the computer."));
  EXPECT_EQ(host.boxes.size(), 1u);
}

TEST(Windows9xPath, MissingServiceLibraryOrCompanionEndsStartUp) {
  const std::string dir = test::MakeTempDir("noservice");
  const std::string binary = dir + "/ambrelic-cli";
  fs::copy_file(AMBRELIC_CLI, binary);
  const std::string a = "'" + Disk("disk9x-a.img") + "'";
  CliResult r = Cli("--platform 9x drives " + a, binary);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Dll16.dll was not found.\n");
  fs::copy_file(std::string(AMBRELIC_BUILD_DIR) + "/dll16.so", dir + "/dll16.so");
  r = Cli("--platform 9x drives " + a, binary);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Dll32.dll was not found.\n");
  // The NT path needs neither.
  EXPECT_EQ(Cli("drives " + a, binary).status, 0);
}

TEST(Windows9xPath, ImpossibleGeometryRefusesTheDisk) {
  const std::string a = Disk("disk9x-a.img");
  for (const char* geometry : {"255,0", "0,63", "300,63", "255,64"}) {
    const CliResult r = Cli(std::string("--platform 9x --geometry ") + geometry + " drives '" + a + "'");
    EXPECT_EQ(r.status, 0) << geometry;
    EXPECT_EQ(r.out, "") << geometry;
    EXPECT_NE(r.err.find("cannot be used as a BIOS disk"), std::string::npos) << geometry << ": " << r.err;
  }
  EXPECT_EQ(Cli("--platform 9x --geometry 255 drives '" + a + "'").status, 2);
}

}  // namespace ambrelic::ui

namespace ambrelic::ui {

TEST(Windows9xPath, WipeWritesThroughTheServiceAndOnlyThatVolume) {
  // A copy: the wipe writes.
  const std::string dir = test::MakeTempDir("wipe9x");
  const std::string image = dir + "/disk.img";
  std::filesystem::copy_file(Disk("disk9x-a.img"), image);
  const std::string before = test::Sha256Of(image);
  const std::string quoted = "'" + image + "'";

  // Without --yes nothing is written.
  CliResult r = Cli("--platform 9x wipe --drive E: --records " + quoted);
  EXPECT_EQ(test::Sha256Of(image), before);

  const std::string otherBefore = Cli("--platform 9x search --drive C: --include-zero --no-scan-vacant --format csv " + quoted).out;
  ASSERT_FALSE(Cli("--platform 9x search --drive E: --no-scan-vacant --format csv " + quoted).out.empty());
  r = Cli("--platform 9x --no-lba wipe --drive E: --yes --records " + quoted);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("could not be overwritten"), std::string::npos) << r.err;
  EXPECT_NE(test::Sha256Of(image), before);
  // Nothing named is left to find on the wiped volume, by either path, and
  // the other volumes of the disk list what they listed.
  const CliResult after = Cli("--platform 9x search --drive E: --include-zero --no-scan-vacant --format csv " + quoted);
  EXPECT_EQ(std::count(after.out.begin(), after.out.end(), '\n'), 1) << after.out;
  EXPECT_EQ(Cli("--platform 9x search --drive C: --include-zero --no-scan-vacant --format csv " + quoted).out, otherBefore);
  // fsck.fat reads volumes, not disks: check the wiped partition on its own.
  const auto volumes = Volumes(Cli("--platform 9x drives " + quoted).out);
  const std::string offset = volumes.at('E').substr(volumes.at('E').find('\t') + 1);
  int rc = -1;
  test::RunCommand("dd if='" + image + "' of='" + dir + "/e.img' bs=512 skip=$((" + offset +
                       " / 512)) count=40960 status=none && fsck.fat -n '" + dir + "/e.img' >/dev/null 2>&1",
                   &rc);
  EXPECT_EQ(rc, 0);
}

}  // namespace ambrelic::ui

namespace ambrelic::ui {

// On the 9x path the whole disk is served for writing: while any file
// system of it is mounted (here ntfs-3g over a loop device on its second
// partition), the wipe of its FAT partition is refused before anything is
// asked, as on the NT path. Needs root for the loop device and FUSE.
TEST(Windows9xPath, WipeIsRefusedWhileAFileSystemOfTheDiskIsMounted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  const std::string dir = test::MakeTempDir("wipe9x-mounted");
  const std::string image = dir + "/disk.img";
  int rc = -1;
  test::RunCommand("truncate -s 64M '" + image + "' && printf 'label: dos\\nstart=2048, size=40960, type=6, "
                   "bootable\\nstart=43008, size=40960, type=7\\n' | sfdisk -q '" + image +
                       "' && mkfs.fat -F 16 --offset=2048 '" + image + "' 20480 >/dev/null 2>&1",
                   &rc);
  ASSERT_EQ(rc, 0);
  const std::string loop = test::RunCommand("losetup -f --show -o " + std::to_string(43008 * 512) +
                                                " --sizelimit " + std::to_string(40960 * 512) + " '" + image +
                                                "' 2>/dev/null",
                                            &rc);
  if (rc != 0 || loop.empty()) GTEST_SKIP() << "no loop device here";
  const std::string device = loop.substr(0, loop.find('\n'));
  const std::string mountPoint = test::MakeTempDir("wipe9x-mnt");
  test::RunCommand("mkntfs -F -Q -q '" + device + "' >/dev/null 2>&1 && ntfs-3g '" + device + "' '" + mountPoint +
                       "' 2>&1",
                   &rc);
  if (rc != 0) {
    test::RunCommand("losetup -d '" + device + "'");
    GTEST_SKIP() << "ntfs-3g cannot mount here";
  }
  const std::string before = test::Sha256Of(image);
  const CliResult r = Cli("--platform 9x wipe --drive C: --yes --records --quiet '" + image + "'");
  const std::string after = test::Sha256Of(image);
  test::RunCommand("umount '" + mountPoint + "'; losetup -d '" + device + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "The drive is in use (mounted). Unmount it and try again.\n");
  EXPECT_EQ(after, before);
}

}  // namespace ambrelic::ui
