// ambrelic-cli on the images people bring: a disk acquired by ewfacquire,
// converted by qemu-img to VHD, VHDX, VMDK and QCOW2, and a volume split
// into E01 segments and into numbered raw parts. Each lists the same drives
// and rows, with the same conditions, and restores the same bytes as the
// raw disk it was made from; the wipe refuses them and leaves them as they
// were.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

std::string Kind(const std::string& name) {
  // The volumes the images are made from come from the other suites'
  // fixtures; they must exist before the images are made.
  test::FixtureImage("make_fat_images.sh", "fat32.img");
  test::FixtureImage("make_media_images.sh", "media-ntfs.img");
  test::FixtureImage("make_exfat_images.sh", "exfat-c4096.img");
  return test::FixtureImage("make_image_kinds.sh", name);
}

// Path and SHA-256 of every file under dir, one a line, sorted.
std::string TreeHashes(const std::string& dir) {
  return test::RunCommand("cd '" + dir + "' && find . -type f -print0 | sort -z | xargs -0 -r sha256sum");
}

// The search listing (vacant clusters scanned, conditions shown) and the
// restored tree of every row of one drive.
struct DriveResult {
  test::ProgramRun list;
  int restoreStatus = -1;
  std::string restored;
};

DriveResult SearchAndRestore(const std::string& source, char drive) {
  DriveResult r;
  const std::string d = std::string(" --drive ") + drive + ": '" + source + "'";
  r.list = Cli("search --scan-vacant --format csv --condition" + d);
  const std::string to = test::MakeTempDir("kinds") + "/out";
  const auto restore = Cli("restore --scan-vacant --all --quiet --to '" + to + "'" + d);
  r.restoreStatus = restore.status;
  r.restored = TreeHashes(to);
  fs::remove_all(fs::path(to).parent_path());
  return r;
}

// The drives listing with the source's path and file name (shown for a
// drive without a label) made alike.
std::string WithoutSource(std::string drives, const std::string& source) {
  for (const std::string& text : {source, fs::path(source).filename().string()}) {
    for (auto at = drives.find(text); at != std::string::npos; at = drives.find(text, at)) {
      drives.replace(at, text.size(), "SOURCE");
    }
  }
  return drives;
}

TEST(ImageKinds, EveryKindListsAndRestoresAsTheRawDisk) {
  const std::string raw = Kind("kinds-disk.raw");
  const auto rawDrives = Cli("drives '" + raw + "'");
  ASSERT_EQ(rawDrives.status, 0) << rawDrives.err;
  ASSERT_EQ(std::count(rawDrives.out.begin(), rawDrives.out.end(), '\n'), 3) << rawDrives.out;
  EXPECT_NE(rawDrives.out.find("\tFAT32\t"), std::string::npos) << rawDrives.out;
  EXPECT_NE(rawDrives.out.find("\tNTFS\t"), std::string::npos) << rawDrives.out;
  EXPECT_NE(rawDrives.out.find("\texFAT\t"), std::string::npos) << rawDrives.out;
  std::map<char, DriveResult> expected;
  for (char d : {'C', 'D', 'E'}) {
    expected[d] = SearchAndRestore(raw, d);
    ASSERT_EQ(expected[d].list.status, 0) << d << expected[d].list.err;
    ASSERT_FALSE(expected[d].restored.empty()) << d;
    ASSERT_GT(std::count(expected[d].list.out.begin(), expected[d].list.out.end(), '\n'), 5) << d;
  }
  for (const char* kind : {"E01", "vhd", "vhdx", "vmdk", "qcow2"}) {
    const std::string image = Kind(std::string("kinds-disk.") + kind);
    const auto drives = Cli("drives '" + image + "'");
    EXPECT_EQ(drives.status, 0) << kind << drives.err;
    EXPECT_EQ(WithoutSource(drives.out, image), WithoutSource(rawDrives.out, raw)) << kind;
    for (char d : {'C', 'D', 'E'}) {
      const DriveResult got = SearchAndRestore(image, d);
      EXPECT_EQ(got.list.status, 0) << kind << ' ' << d << got.list.err;
      EXPECT_EQ(got.list.out, expected[d].list.out) << kind << ' ' << d;
      EXPECT_EQ(got.list.err, expected[d].list.err) << kind << ' ' << d;
      EXPECT_EQ(got.restoreStatus, expected[d].restoreStatus) << kind << ' ' << d;
      EXPECT_EQ(got.restored, expected[d].restored) << kind << ' ' << d;
    }
  }
}

TEST(ImageKinds, SplitImagesAreReadFromTheirFirstPart) {
  const std::string volume = Kind("media-ntfs.img");
  const DriveResult expected = SearchAndRestore(volume, 'C');
  ASSERT_EQ(expected.list.status, 0);
  ASSERT_FALSE(expected.restored.empty());
  for (const char* first : {"kinds-ntfs.E01", "kinds-ntfs.001"}) {
    const std::string image = Kind(first);
    ASSERT_TRUE(fs::exists(fs::path(image).replace_extension(first[11] == 'E' ? ".E02" : ".002"))) << first;
    const DriveResult got = SearchAndRestore(image, 'C');
    EXPECT_EQ(got.list.status, 0) << first << got.list.err;
    EXPECT_EQ(got.list.out, expected.list.out) << first;
    EXPECT_EQ(got.restored, expected.restored) << first;
  }
}

TEST(ImageKinds, TheWipeRefusesAnImageItCannotWriteInPlace) {
  const std::string image = Kind("kinds-disk.qcow2");
  const std::string before = test::Sha256Of(image);
  for (const char* kind : {"E01", "qcow2"}) {
    const std::string path = Kind(std::string("kinds-disk.") + kind);
    const auto r = Cli("wipe --yes --records --drive C: '" + path + "'");
    EXPECT_EQ(r.status, 1) << kind;
    EXPECT_NE(r.err.find("not in place, so nothing can be wiped on it"), std::string::npos) << kind << r.err;
    // Refused before anything is asked.
    EXPECT_EQ(r.err.find("Do you want"), std::string::npos) << r.err;
  }
  EXPECT_EQ(test::Sha256Of(image), before);
}

// Run as a user who may open none of the machine's disks, drives names each
// with its error and says so, instead of an empty list and status 0.
TEST(ImageKinds, DrivesNamesTheDevicesThisUserCannotRead) {
  const auto r = test::RunProgram("setpriv", std::string("--reuid=nobody --regid=nogroup --clear-groups '") +
                                                 AMBRELIC_CLI + "' drives");
  if (r.err.find("Permission denied") == std::string::npos) GTEST_SKIP() << "no disk to refuse: " << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_NE(r.err.find("ambrelic-cli: /dev/"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ambrelic-cli: no drive could be read; run it as root (sudo ambrelic-cli drives) or name an "
                       "image\n"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace ambrelic::cli
