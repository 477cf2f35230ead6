// ambrelic-cli wipe on volumes damaged by one byte, as a user brings them:
// the wipe either leaves every live file as The Sleuth Kit reads it, or
// refuses before any question with a message that says why and that
// nothing was written; its exit status says which.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "disk/byte_reader.h"
#include "ntfs/attributes.h"
#include "ntfs/mft_scan.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

std::string CopyOf(const std::string& name) {
  const std::string path = test::MakeTempDir("cliwipe-damage") + "/volume.img";
  fs::copy_file(test::FixtureImage("make_wipe_images.sh", name), path);
  return path;
}

const std::string kDamaged = "The file system on C:\\ drive is damaged: ";
const std::string kNothingWritten =
    ".\n\nNothing has been overwritten. Please repair the drive first, then try again.\n";

// The allocated files of an image, as The Sleuth Kit reads them: inode ->
// the SHA-256 of what icat gives.
std::map<std::string, std::string> LiveFileHashes(const std::string& image) {
  std::map<std::string, std::string> out;
  std::istringstream in(test::RunCommand("fls -r -u -F -p '" + image + "' 2>/dev/null"));
  const std::string dir = test::MakeTempDir("cliwipe-damage-icat");
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(":\t");
    if (colon == std::string::npos) continue;
    const auto space = line.rfind(' ', colon);
    const std::string inode = line.substr(space + 1, colon - space - 1);
    test::RunCommand("icat '" + image + "' " + inode + " > '" + dir + "/f' 2>/dev/null");
    out[inode] = test::Sha256Of(dir + "/f");
  }
  return out;
}

void PatchByte(const std::string& path, std::uint64_t offset, std::uint8_t value) {
  auto bytes = test::ReadFileBytes(path);
  ASSERT_LT(offset, bytes.size());
  bytes[offset] = value;
  test::WriteFileBytes(path, bytes);
}

// Where the run list of the volume bitmap ($DATA of record 6) lies in the
// image: records 0 to 15 lie where the boot sector says the MFT starts.
std::uint64_t BitmapRunListOffset(const std::string& path) {
  disk::VolumeContext ctx;
  ctx.volumeHandle = platform::OpenFileDevice(path).device;
  ctx.fsKind = disk::FsKind::Ntfs;
  EXPECT_TRUE(ntfs::PrepareNtfsVolume(ctx));
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  EXPECT_TRUE(ntfs::ReadMftRecord(ctx, 6, record));
  auto data = ntfs::FindAttribute(ctx, record, ntfs::kAttrData);
  EXPECT_TRUE(data && !data->resident());
  if (!data) return 0;
  const std::uint64_t attribute = static_cast<std::uint64_t>(data->bytes.data() - record.data());
  return ctx.mftStartCluster * ctx.bytesPerCluster + 6ull * ctx.mftRecordSize + attribute +
         disk::le16(data->bytes, 0x20);
}

// Runs the wipe of both phases and checks the refusal: the exact message,
// status 1, not a byte written, every live file as it was.
void ExpectRefused(const std::string& path, const std::string& reason) {
  const std::string before = test::Sha256Of(path);
  const auto files = LiveFileHashes(path);
  const test::ProgramRun r = Cli("wipe --yes --records --quiet '" + path + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kDamaged + reason + kNothingWritten);
  EXPECT_EQ(test::Sha256Of(path), before);
  EXPECT_EQ(LiveFileHashes(path), files);
}

// One byte of the bitmap's run list sends its only run to clusters of
// zeros: read as it stands, the bitmap calls the boot sector, the MFT and
// every file free.
TEST(CliWipeDamage, NtfsBitmapRunPointingAtZerosIsRefused) {
  const std::string path = CopyOf("wipe-ntfs.img");
  const std::uint64_t runs = BitmapRunListOffset(path);
  const auto bytes = test::ReadFileBytes(path);
  const std::uint8_t header = bytes.at(runs);
  ASSERT_EQ(header >> 4, 2) << "a run with a two-byte LCN";
  // The LCN's high byte: 0x0E00 and up lie in the free half of the 16 MiB
  // volume, never written since mkntfs.
  PatchByte(path, runs + 1 + (header & 0x0F) + 1, 0x0E);
  ExpectRefused(path, "its cluster bitmap calls clusters of the file system's own files free");
}

// A run of length 0: the bitmap cannot be read whole, and nothing unread
// counts as free.
TEST(CliWipeDamage, NtfsBitmapRunOfLengthZeroIsRefused) {
  const std::string path = CopyOf("wipe-ntfs.img");
  const std::uint64_t runs = BitmapRunListOffset(path);
  const auto bytes = test::ReadFileBytes(path);
  ASSERT_EQ(bytes.at(runs) & 0x0F, 1) << "a one-byte run length";
  PatchByte(path, runs + 1, 0);
  ExpectRefused(path, "its cluster bitmap cannot be read whole");
}

// The root directory's entry of keep.bin, and its first cluster.
struct RootEntry {
  std::uint64_t offset = 0;
  std::uint32_t cluster = 0;
};
RootEntry FindKeepBin(const std::vector<std::uint8_t>& image) {
  const disk::Bytes b(image);
  const std::uint32_t bps = disk::le16(b, 0x0B);
  const std::uint32_t spc = disk::le8(b, 0x0D);
  const std::uint32_t reserved = disk::le16(b, 0x0E);
  const std::uint32_t fats = disk::le8(b, 0x10);
  const std::uint32_t rootEntries = disk::le16(b, 0x11);
  const bool fat32 = disk::le16(b, 0x16) == 0;
  const std::uint32_t spf = fat32 ? disk::le32(b, 0x24) : disk::le16(b, 0x16);
  const std::uint64_t rootDir = static_cast<std::uint64_t>(reserved + fats * spf) * bps;
  const std::uint64_t data = rootDir + static_cast<std::uint64_t>(rootEntries) * 32;
  const std::uint64_t root = fat32 ? data + static_cast<std::uint64_t>(disk::le32(b, 0x2C) - 2) * spc * bps : rootDir;
  for (std::uint64_t at = root; at + 32 <= root + 16 * 32; at += 32) {
    if (std::string(image.begin() + at, image.begin() + at + 11) == "KEEP    BIN") {
      return {at, (static_cast<std::uint32_t>(disk::le16(b, at + 0x14)) << 16) | disk::le16(b, at + 0x1A)};
    }
  }
  ADD_FAILURE() << "KEEP.BIN not in the root directory";
  return {};
}

class CliWipeFatDamage : public ::testing::TestWithParam<std::string> {};

// One byte of the first allocation table calls a live file's first cluster
// free; the second table and the file's directory entry say otherwise.
TEST_P(CliWipeFatDamage, FirstTableCallingALiveClusterFreeIsRefused) {
  const std::string path = CopyOf("wipe-" + GetParam() + ".img");
  const auto image = test::ReadFileBytes(path);
  const RootEntry keep = FindKeepBin(image);
  ASSERT_GE(keep.cluster, 2u);
  const disk::Bytes b(image);
  const std::uint64_t fat1 = static_cast<std::uint64_t>(disk::le16(b, 0x0E)) * disk::le16(b, 0x0B);
  auto patched = image;
  if (GetParam() == "fat12") {
    // Twelve bits of a byte pair; the neighbour's half-byte kept.
    const std::uint64_t at = fat1 + keep.cluster / 2 * 3;
    if (keep.cluster % 2 == 0) {
      patched[at] = 0;
      patched[at + 1] &= 0xF0;
    } else {
      patched[at + 1] &= 0x0F;
      patched[at + 2] = 0;
    }
  } else {
    const std::uint64_t width = GetParam() == "fat16" ? 2 : 4;
    for (std::uint64_t i = 0; i < width; ++i) patched[fat1 + keep.cluster * width + i] = 0;
  }
  test::WriteFileBytes(path, patched);
  ExpectRefused(path, "its allocation tables do not agree");
}

INSTANTIATE_TEST_SUITE_P(Kinds, CliWipeFatDamage, ::testing::Values("fat12", "fat16", "fat32"));

// Both tables call a live file's first cluster free (its chain still runs
// from there): the live directory entry says it is in use.
TEST(CliWipeDamage, LiveFileInClustersBothTablesCallFreeIsRefused) {
  const std::string path = CopyOf("wipe-fat16.img");
  auto image = test::ReadFileBytes(path);
  const RootEntry keep = FindKeepBin(image);
  const disk::Bytes b(image);
  const std::uint64_t bps = disk::le16(b, 0x0B);
  const std::uint64_t spf = disk::le16(b, 0x16);
  const std::uint64_t fat1 = disk::le16(b, 0x0E) * bps;
  for (std::uint64_t copy = 0; copy < 2; ++copy) {
    image[fat1 + copy * spf * bps + keep.cluster * 2] = 0;
    image[fat1 + copy * spf * bps + keep.cluster * 2 + 1] = 0;
  }
  test::WriteFileBytes(path, image);
  ExpectRefused(path, "a file or folder in use lies in clusters its allocation table calls free");
}

}  // namespace
}  // namespace ambrelic::cli
