// ambrelic-cli on failing media sector by sector: one bad 512-byte sector
// served by nbdkit behind nbdfuse costs a restored file those 512 bytes on
// FAT, NTFS and exFAT (the page cache fails the whole page; the salvage
// reads around it directly); an image GNU ddrescue made of such a medium,
// with its mapfile, lists, counts, tells and restores exactly as the
// medium read directly; and every listing that could not read everything
// ends with status 1 after its whole output.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

// Byte offset of the one place in image where bytes' first 4 KiB lie.
std::uint64_t OffsetOf(const std::string& image, const std::vector<std::uint8_t>& bytes) {
  const auto all = test::ReadFileBytes(image);
  const auto head = bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), 4096));
  const auto at = std::search(all.begin(), all.end(), bytes.begin(), head);
  EXPECT_NE(at, all.end());
  EXPECT_EQ(std::search(at + 1, all.end(), bytes.begin(), head), all.end()) << "not unique";
  return static_cast<std::uint64_t>(at - all.begin());
}

struct Case {
  const char* script;
  const char* image;
  const char* name;  // the name filter that leaves the one deleted file as row 1
};

const Case kCases[] = {
    {"make_media_images.sh", "media16.img", "many clusters"},
    {"make_media_images.sh", "media-ntfs.img", "two megabytes"},
    {"make_exfat_images.sh", "exfat-c4096.img", "seventy"},
};

std::string RestoreArgs(const Case& c, const std::string& to, const std::string& source) {
  return std::string("restore --no-scan-vacant --name '") + c.name + "' --row 1 --to '" + to + "' '" + source + "'";
}

TEST(CliRescue, OneBadSectorCostsTheRestoredFileOneSector) {
  for (const Case& c : kCases) {
    const std::string image = test::FixtureImage(c.script, c.image);
    const std::string dir = test::MakeTempDir("rescue-one");
    const auto clean = Cli(RestoreArgs(c, dir + "/clean", image));
    ASSERT_EQ(clean.status, 0) << c.image << clean.err;
    const auto bytes = test::ReadFileBytes(dir + "/clean");
    ASSERT_GT(bytes.size(), 8192u) << c.image;
    // The fourth sector of the file's data fails, and only it.
    const std::uint64_t bad = OffsetOf(image, bytes) + 3 * 512;
    test::EioImage served(image, {{bad, 512}});
    ASSERT_TRUE(served.ok());
    const auto r = Cli(RestoreArgs(c, dir + "/damaged", served.path()));
    EXPECT_EQ(r.status, 1) << c.image;
    EXPECT_NE(r.err.find("1 sector of C:\\ could not be read; what they held is missing from the restored files.\n\n" +
                         dir + "/damaged\n"),
              std::string::npos)
        << c.image << "\n" << r.err;
    auto expected = bytes;
    std::fill_n(expected.begin() + 3 * 512, 512, 0);
    EXPECT_EQ(test::ReadFileBytes(dir + "/damaged"), expected) << c.image;
  }
}

// The boot sector of an exFAT volume that cannot be read is taken from the
// second boot region, as FAT32 and NTFS take theirs from their copies.
TEST(CliRescue, AnExfatVolumeWhoseBootSectorFailsIsReadFromItsBackupRegion) {
  const std::string image = test::FixtureImage("make_exfat_images.sh", "exfat-c4096.img");
  const auto clean = Cli("search --format csv --condition '" + image + "'");
  ASSERT_EQ(clean.status, 0);
  test::EioImage served(image, {{0, 512}});
  ASSERT_TRUE(served.ok());
  const auto drives = Cli("drives '" + served.path() + "'");
  EXPECT_NE(drives.out.find("\texFAT\t"), std::string::npos) << drives.out << drives.err;
  const auto r = Cli("search --format csv --condition '" + served.path() + "'");
  EXPECT_EQ(r.out, clean.out);
  EXPECT_EQ(r.status, 0) << r.err;
}

// ddrescue -d (direct reads, so sector by sector) over a medium with bad
// sectors in a deleted file's data and in the root folder of a FAT16
// volume: its image and mapfile are the medium, to every command.
TEST(CliRescue, ADdrescueImageWithItsMapfileReadsAsTheFailingMedium) {
  const Case& c = kCases[0];
  const std::string image = test::FixtureImage(c.script, c.image);
  const std::string dir = test::MakeTempDir("rescue-map");
  ASSERT_EQ(Cli(RestoreArgs(c, dir + "/clean", image)).status, 0);
  const std::uint64_t data = OffsetOf(image, test::ReadFileBytes(dir + "/clean"));
  // The sector of both allocation tables that holds the file's entries
  // (its condition cannot be told then), and sectors of its data.
  const auto boot = test::ReadFileBytes(image);
  const std::uint64_t reserved = boot[0x0E] | boot[0x0F] << 8, spf = boot[0x16] | boot[0x17] << 8;
  const std::uint64_t dataStart = (reserved + 2 * spf + 32) * 512;
  const std::uint64_t fatSector = ((data - dataStart) / 512 + 2) * 2 / 512;
  test::EioImage served(image, {{data + 5 * 512, 512},
                                {data + 40 * 512, 1024},
                                {(reserved + fatSector) * 512, 512},
                                {(reserved + spf + fatSector) * 512, 512}});
  ASSERT_TRUE(served.ok());
  const std::string rescued = dir + "/card.img";
  int rc = -1;
  test::RunCommand("ddrescue -d -q -b 512 '" + served.path() + "' '" + rescued + "' '" + rescued + ".map' 2>&1", &rc);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(test::RunCommand("grep -c ' -$' '" + rescued + ".map'"), "0\n");
  const std::string note = "ambrelic-cli: " + rescued + ": ddrescue mapfile " + rescued +
                           ".map used: what it does not mark finished is read as unreadable sectors\n";

  for (const char* args : {"search --no-scan-vacant --format csv --condition", "search --scan-vacant --format csv"}) {
    const auto direct = Cli(std::string(args) + " '" + served.path() + "'");
    const auto fromImage = Cli(std::string(args) + " '" + rescued + "'");
    EXPECT_EQ(direct.status, 1) << args;
    EXPECT_NE(direct.err.find(" of C:\\ could not be read"), std::string::npos) << direct.err;
    EXPECT_EQ(fromImage.status, direct.status) << args;
    EXPECT_EQ(fromImage.out, direct.out) << args;
    EXPECT_EQ(fromImage.err, note + direct.err) << args;
  }
  // Neither table can tell whether the file's clusters are free.
  const auto listed = Cli("search --no-scan-vacant --format csv --condition --name 'many clusters' '" + rescued + "'");
  EXPECT_NE(listed.out.find("many clusters.bin,C:\\,60000,01/01/2010 12:00,664,unknown\n"), std::string::npos)
      << listed.out;
  // Without its mapfile the image is taken as it is: zeros read as data,
  // nothing is said, the status is 0.
  fs::rename(rescued + ".map", dir + "/rescue.log");
  const auto blind = Cli("search --no-scan-vacant --format csv '" + rescued + "'");
  EXPECT_EQ(blind.status, 0);
  EXPECT_EQ(blind.err.find("could not be read"), std::string::npos);
  // Named with --mapfile, it is used the same.
  const auto direct = Cli(RestoreArgs(c, dir + "/direct", served.path()));
  const auto named = Cli(RestoreArgs(c, dir + "/named", rescued) + " --mapfile '" + dir + "/rescue.log'");
  EXPECT_EQ(direct.status, 1);
  EXPECT_EQ(named.status, 1);
  EXPECT_EQ(test::ReadFileBytes(dir + "/named"), test::ReadFileBytes(dir + "/direct"));
  auto expectedErr = direct.err;
  // The target is named twice: in the message about unread sectors and in
  // the closing line.
  for (std::size_t at = expectedErr.find(dir + "/direct"); at != std::string::npos;
       at = expectedErr.find(dir + "/direct", at)) {
    expectedErr.replace(at, dir.size() + 7, dir + "/named");
  }
  EXPECT_EQ(named.err, "ambrelic-cli: " + rescued + ": ddrescue mapfile " + dir +
                           "/rescue.log used: what it does not mark finished is read as unreadable sectors\n" +
                           expectedErr);
  // A file that is not a mapfile is refused with its reason.
  test::WriteFileBytes(dir + "/junk.map", {'h', 'i', '\n'});
  const auto junk = Cli("search --format csv --mapfile '" + dir + "/junk.map' '" + rescued + "'");
  EXPECT_NE(junk.status, 0);
  EXPECT_NE(junk.err.find("junk.map: not a ddrescue mapfile"), std::string::npos) << junk.err;
}

}  // namespace
}  // namespace ambrelic::cli
