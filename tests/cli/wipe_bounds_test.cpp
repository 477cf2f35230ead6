// ambrelic-cli wipe where the FAT kind or the volume's bound is easy to get
// wrong: a FAT12 volume in a partition typed FAT16, a FAT12 boot sector
// that claims far more sectors than the volume holds, and a boot sector
// that claims clusters past the end of its partition, on both paths.
// Whatever the volume says, no byte outside it and no byte of a live file
// is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "disk/byte_reader.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

std::string CopyOf(const std::string& name) {
  const std::string path = test::MakeTempDir("cliwipe-bounds") + "/" + name;
  fs::copy_file(test::FixtureImage("make_wipe_kind_images.sh", name), path);
  return path;
}

// Allocated files as The Sleuth Kit reads the volume at sector `offset`:
// inode -> SHA-256 of icat's bytes.
std::map<std::string, std::string> LiveFiles(const std::string& image, std::uint64_t offset = 0) {
  const std::string o = " -o " + std::to_string(offset) + " ";
  std::map<std::string, std::string> out;
  std::istringstream in(test::RunCommand("fls" + o + "-r -u -F -p '" + image + "' 2>/dev/null"));
  const std::string scratch = test::MakeTempDir("cliwipe-bounds-icat") + "/f";
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(":\t");
    if (colon == std::string::npos) continue;
    const auto space = line.rfind(' ', colon);
    const std::string inode = line.substr(space + 1, colon - space - 1);
    test::RunCommand("icat" + o + "'" + image + "' " + inode + " > '" + scratch + "' 2>/dev/null");
    out[inode] = test::Sha256Of(scratch);
  }
  return out;
}

std::string DeletedNames(const std::string& image, std::uint64_t offset = 0) {
  return test::RunCommand("fls -o " + std::to_string(offset) + " -r -d -p '" + image + "' 2>&1");
}

// The partition typed 0x06 holds FAT12: read with 16-bit entries, live
// clusters look free. The volume's own layout decides the kind.
TEST(CliWipeBounds, AFat12VolumeInAPartitionTypedFat16IsWipedAsFat12) {
  const std::string path = CopyOf("wipe-fat12-in-06.img");
  const auto live = LiveFiles(path, 2048);
  ASSERT_GE(live.size(), 2u);
  ASSERT_NE(DeletedNames(path, 2048), "");
  const test::ProgramRun r = Cli("wipe --yes --records --quiet '" + path + "'");
  EXPECT_EQ(LiveFiles(path, 2048), live);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(DeletedNames(path, 2048), "");
}

// 2880 sectors said to be 42880: the volume must not be read as a FAT16
// of 42847 clusters. Refusing it (it is damaged) and wiping it as the
// FAT12 it holds are both sound; its files keep every byte either way.
TEST(CliWipeBounds, AFat12VolumeClaimingMoreSectorsThanItHoldsKeepsItsFiles) {
  const std::string path = CopyOf("wipe-fat12-lying.img");
  // The Sleuth Kit reads the volume with its true count put back.
  const auto repaired = [&](const std::string& from) {
    const std::string to = from + ".repaired";
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    auto bytes = test::ReadFileBytes(to);
    disk::put16(bytes, 0x13, 2880);
    test::WriteFileBytes(to, bytes);
    return to;
  };
  const auto live = LiveFiles(repaired(path));
  ASSERT_GE(live.size(), 2u);
  const std::string before = test::Sha256Of(path);
  const test::ProgramRun r = Cli("wipe --yes --records --quiet '" + path + "'");
  EXPECT_EQ(LiveFiles(repaired(path)), live);
  if (r.err.find("Nothing has been overwritten.") != std::string::npos) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test::Sha256Of(path), before);
  } else {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(DeletedNames(repaired(path)), "");
  }
}

// C:'s boot sector claims as many clusters as its table can hold, past
// the end of its partition into D:. The wipe of C: leaves every byte
// outside C:'s partition as it was.
class CliWipeSpill : public ::testing::TestWithParam<std::string> {};

TEST_P(CliWipeSpill, TheWipeNeverWritesPastThePartition) {
  const std::string path = CopyOf("wipe-9x-spill.img");
  constexpr std::uint64_t kStart = 2048 * 512, kLength = 40960 * 512;
  auto bytes = test::ReadFileBytes(path);
  const disk::Bytes boot(bytes.data() + kStart, 512);
  const std::uint64_t bps = disk::le16(boot, 0x0B), spc = disk::le8(boot, 0x0D);
  const std::uint64_t spf = disk::le16(boot, 0x16);
  const std::uint64_t data = disk::le16(boot, 0x0E) + disk::le8(boot, 0x10) * spf + disk::le16(boot, 0x11) * 32 / bps;
  const std::uint64_t claimed = data + (spf * bps / 2 - 2) * spc;
  ASSERT_GT(claimed, 40960u) << "the table has room for clusters past the partition";
  ASSERT_LT(claimed, 65536u);
  disk::put16(std::span<std::uint8_t>(bytes.data() + kStart, 512), 0x13, static_cast<std::uint16_t>(claimed));
  test::WriteFileBytes(path, bytes);
  const auto outside = [&](const std::vector<std::uint8_t>& b) {
    std::vector<std::uint8_t> rest(b.begin(), b.begin() + kStart);
    rest.insert(rest.end(), b.begin() + kStart + kLength, b.end());
    return rest;
  };
  const auto others = LiveFiles(path, 43008);
  ASSERT_GE(others.size(), 2u);

  const std::string platform = GetParam() == "9x" ? "--platform 9x " : "";
  const test::ProgramRun r = Cli(platform + "wipe --drive C: --yes --records --quiet '" + path + "'");
  const auto after = test::ReadFileBytes(path);
  EXPECT_TRUE(outside(after) == outside(bytes)) << r.err;
  EXPECT_EQ(LiveFiles(path, 43008), others);
}

INSTANTIATE_TEST_SUITE_P(Paths, CliWipeSpill, ::testing::Values("nt", "9x"));

}  // namespace
}  // namespace ambrelic::cli
