// A FAT32 boot sector with 2^30 sectors per table on a large sparse device,
// run through the built binary with its address space limited: every
// command ends with a list or the kind message, never with an abort.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "disk/byte_reader.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

const std::string kNotSearchable = "You can't search this drive because the type is not FAT12/FAT16/FAT32/NTFS.\n";

// The first sector of mkfs.fat's 1 MiB FAT32 volume, claiming 2^32 - 1
// sectors and 2^30 sectors per table, on a sparse device that reaches
// clusterSectors past the tables.
std::string HugeTableImage(const std::string& tag, std::uint64_t clusterSectors) {
  const std::string path = test::MakeTempDir("cli-huge-table-" + tag) + "/sparse.img";
  auto sector = test::ReadFileBytes(test::FixtureImage("make_typed_images.sh", "tiny32.img"));
  sector.resize(512);
  std::span<std::uint8_t> b(sector);
  disk::put16(b, 0x13, 0);
  disk::put32(b, 0x20, 0xFFFFFFFFu);
  disk::put32(b, 0x24, 0x40000000u);
  // The backup boot sector (sector 6) agrees with it: the wipe refuses a
  // volume whose two boot sectors disagree.
  sector.resize(7 * 512);
  std::copy_n(sector.begin(), 512, sector.begin() + 6 * 512);
  test::WriteFileBytes(path, sector);
  fs::resize_file(path, (32 + 2 * 0x40000000ull + clusterSectors) * 512);
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
  return path;
}

// The binary with at most 800 MB of address space.
test::ProgramRun Limited(const std::string& args) {
  const std::string dir = test::MakeTempDir("cli-limited");
  test::ProgramRun r;
  r.out = test::RunCommand("(ulimit -v 800000; exec '" + std::string(AMBRELIC_CLI) + "' " + args + ") 2>'" + dir +
                               "/err' </dev/null",
                           &r.status);
  const auto bytes = test::ReadFileBytes(dir + "/err");
  r.err.assign(bytes.begin(), bytes.end());
  return r;
}

TEST(CliGeometry, HugeTableEndsWithAListOrTheKindMessage) {
  // 8 MiB of clusters: a table of 64 KiB is all that is read.
  const std::string small = "'" + HugeTableImage("small", 16384) + "'";
  auto r = Limited("drives " + small);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 16), "C:\\\tfixed\tFAT32\t") << r.out;
  r = Limited("search --no-scan-vacant " + small);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("No files were found.\n"), std::string::npos) << r.err;
  r = Limited("scan-all --name X --yes " + small);
  EXPECT_EQ(r.status, 0) << r.err;
  r = Limited("wipe --yes --records --quiet " + small);
  EXPECT_EQ(r.status, 0) << r.err;

  // 64 GiB of one-sector clusters: the 512 MiB table cannot be held twice
  // in 800 MB, and the volume is refused.
  const std::string largePath = HugeTableImage("large", 1ull << 27);
  const std::string large = "'" + largePath + "'";
  r = Limited("drives " + large);
  EXPECT_EQ(r.status, 0) << r.err;
  for (const std::string command : {"search --no-scan-vacant", "scan-all --name X --yes", "wipe --yes --records"}) {
    r = Limited(command + " " + large);
    EXPECT_EQ(r.status, 1) << command << ": " << r.err;
    EXPECT_EQ(r.err, "ambrelic-cli: " + largePath + ": " + kNotSearchable) << command;
  }
}

}  // namespace
}  // namespace ambrelic::cli
