// The FAT wipe on images made by mkfs.fat and mtools: vacant clusters end as
// zeros, deleted entries as 0xE5 and zeros, while live files, live entries
// and the allocation tables keep every byte; plus the cases no tool makes
// (failed writes, cancel, different seeds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "disk/sector_device.h"
#include "fat/directory_walk.h"
#include "fat/wipe.h"
#include "fat_test_image.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

namespace fs = std::filesystem;
namespace ft = ambrelic::fat::test;

// Forwards to a device; counts writes, keeps a copy of the first one, and
// refuses writes when told to.
class WatchedDevice : public platform::BlockDevice {
 public:
  explicit WatchedDevice(platform::DevicePtr inner) : inner_(std::move(inner)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override { return inner_->ReadAt(offset, out); }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override {
    ++writes;
    if (firstWrite.empty()) firstWrite.assign(in.begin(), in.end());
    if (refuseWrites) return false;
    return inner_->WriteAt(offset, in);
  }
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return inner_->Writable(); }
  long writes = 0;
  bool refuseWrites = false;
  std::vector<std::uint8_t> firstWrite;

 private:
  platform::DevicePtr inner_;
};

std::string Image(const std::string& kind) { return ambrelic::test::FixtureImage("make_wipe_images.sh", "wipe-" + kind + ".img"); }

// A copy of the fixture image to overwrite.
std::string CopyOf(const std::string& kind, const std::string& tag) {
  const std::string dir = ambrelic::test::MakeTempDir("fat-wipe-" + kind + "-" + tag);
  const std::string path = dir + "/volume.img";
  fs::copy_file(Image(kind), path, fs::copy_options::overwrite_existing);
  return path;
}

std::vector<std::string> LiveFiles(const std::string& kind) {
  std::ifstream in(fs::path(Image(kind)).parent_path() / ("wipe-" + kind + "-live.txt"));
  std::vector<std::string> files;
  for (std::string line; std::getline(in, line);) if (!line.empty()) files.push_back(line);
  return files;
}

// Prepares ctx over path opened for writing, through a watched device.
std::shared_ptr<WatchedDevice> OpenForWipe(const std::string& path, disk::VolumeContext& ctx) {
  if (!ft::OpenFatImage(path, ctx)) return nullptr;
  auto opened = platform::OpenFileDevice(path, 0, 0, true);
  if (!opened.device) return nullptr;
  auto watched = std::make_shared<WatchedDevice>(opened.device);
  ctx.volumeHandle = watched;
  return watched;
}

class FatWipeImages : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { ambrelic::test::UseUtf8Locale(); }

  // Checks a wiped image against the original: every changed byte lies in a
  // cluster that was vacant (now all zeros) or in an entry that was deleted
  // (now 0xE5 and 31 zeros); every vacant cluster is zeros. Returns the
  // number of entries found changed.
  std::size_t CheckAgainstOriginal(const std::string& wiped, bool entriesMayChange) {
    disk::VolumeContext orig;
    EXPECT_TRUE(ft::OpenFatImage(Image(GetParam()), orig));
    const auto before = ambrelic::test::ReadFileBytes(Image(GetParam()));
    const auto after = ambrelic::test::ReadFileBytes(wiped);
    EXPECT_EQ(before.size(), after.size());
    const std::size_t bps = orig.bytesPerSector;
    const std::size_t bpc = orig.bytesPerCluster;
    const std::size_t dataStart = static_cast<std::size_t>(orig.dataStartSector) * bps;
    // The boot sector, reserved sectors, every allocation table (and the
    // fixed root) are outside the data area: only deleted root entries may
    // differ there.
    const std::size_t fatStart = static_cast<std::size_t>(orig.fatStartSector) * bps;
    const std::size_t fatEnd = fatStart + static_cast<std::size_t>(orig.numberOfFats) * orig.sectorsPerFat * bps;
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + fatEnd, after.begin())) << "tables changed";
    std::size_t entriesChanged = 0;
    auto checkEntry = [&](std::size_t at) {
      if (std::equal(before.begin() + at, before.begin() + at + 32, after.begin() + at)) return;
      ++entriesChanged;
      EXPECT_TRUE(entriesMayChange) << "entry at " << at << " changed";
      EXPECT_EQ(before[at], 0xE5) << "a live entry at " << at << " changed";
      EXPECT_EQ(after[at], 0xE5);
      EXPECT_TRUE(std::all_of(after.begin() + at + 1, after.begin() + at + 32, [](auto b) { return b == 0; }))
          << "entry at " << at;
    };
    for (std::size_t at = fatEnd; at + 32 <= dataStart; at += 32) checkEntry(at);
    const std::vector<std::uint8_t> zeros(bpc, 0);
    for (Cluster c = 2; c <= orig.lastCluster; ++c) {
      const std::size_t at = dataStart + static_cast<std::size_t>(c - 2) * bpc;
      if (at + bpc > after.size()) break;
      if (FatGetEntry(orig, orig.fatCopy, c) == kFreeCluster) {
        EXPECT_EQ(std::memcmp(after.data() + at, zeros.data(), bpc), 0) << "vacant cluster " << c;
      } else if (std::memcmp(after.data() + at, before.data() + at, bpc) != 0) {
        for (std::size_t e = at; e < at + bpc; e += 32) checkEntry(e);
      }
    }
    return entriesChanged;
  }

  void CheckLiveFiles(const std::string& wiped) {
    const std::string out = ambrelic::test::MakeTempDir("fat-wipe-out-" + GetParam());
    const fs::path originals = fs::path(Image(GetParam())).parent_path() / ("wipe-" + GetParam() + "-live");
    for (const auto& f : LiveFiles(GetParam())) {
      const std::string target = out + "/" + fs::path(f).filename().string();
      int status = -1;
      ambrelic::test::RunCommand("MTOOLS_SKIP_CHECK=1 mcopy -n -i '" + wiped + "' '::" + f + "' '" + target + "' 2>&1", &status);
      EXPECT_EQ(status, 0) << f;
      EXPECT_EQ(ambrelic::test::ReadFileBytes(target), ambrelic::test::ReadFileBytes((originals / f).string())) << f;
    }
  }

  void ExpectFsckClean(const std::string& path) {
    int status = -1;
    const std::string report = ambrelic::test::RunCommand("fsck.fat -n '" + path + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << report;
  }

  std::vector<disk::FoundRow> SearchAgain(const std::string& path) {
    disk::VolumeContext ctx;
    EXPECT_TRUE(ft::OpenFatImage(path, ctx));
    disk::OperationState op;
    op.includeZeroSize = 1;
    ambrelic::test::RecordingHost host;
    ctx.fatWork = ctx.fatCopy;
    SearchFat(ctx, op, host);
    return host.rows;
  }
};

TEST_P(FatWipeImages, BothPhasesLeaveOnlyLiveDataAndNoNames) {
  const std::string path = CopyOf(GetParam(), "both");
  ASSERT_FALSE(SearchAgain(path).empty()) << "the fixture has deleted entries";
  disk::VolumeContext ctx;
  auto device = OpenForWipe(path, ctx);
  ASSERT_TRUE(device);
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeFatVolume(ctx, op, host);
  EXPECT_FALSE(r.cancelled);
  EXPECT_TRUE(r.phase2Ran);
  EXPECT_GT(r.clustersWiped, 0u);
  EXPECT_GT(r.entriesWiped, 0u);
  EXPECT_EQ(r.clustersFailed + r.entriesFailed, 0u);
  EXPECT_EQ(op.OperationMode, disk::OpReplaceInfo);
  const std::string question =
      "question: Vacant clusters on C:\\ drive have been replaced.\n\nDo you want replace file information, too?";
  EXPECT_EQ(std::count(host.events.begin(), host.events.end(), question), 1);
  ASSERT_FALSE(host.progress.empty());
  EXPECT_EQ(host.progress[0]->label, "Cluster:");
  EXPECT_EQ(host.progress[0]->total, ctx.lastCluster);
  EXPECT_EQ(host.progress[0]->fileNames, std::vector<std::string>{"Replacing vacant clusters."});
  device.reset();
  ctx = {};

  EXPECT_GT(CheckAgainstOriginal(path, true), 0u);
  CheckLiveFiles(path);
  ExpectFsckClean(path);
  for (const auto& row : SearchAgain(path)) ADD_FAILURE() << "found after the wipe: " << row.name;
  // Nothing of the deleted names is left anywhere on the volume.
  const auto bytes = ambrelic::test::ReadFileBytes(path);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.find("GONE    TXT"), std::string::npos);
  EXPECT_EQ(text.find("INNER   BIN"), std::string::npos);
  EXPECT_EQ(text.find(std::string("S\0e\0c\0r\0e\0t", 11)), std::string::npos);
}

TEST_P(FatWipeImages, NoToTheQuestionLeavesEveryEntry) {
  const std::string path = CopyOf(GetParam(), "phase1");
  disk::VolumeContext ctx;
  auto device = OpenForWipe(path, ctx);
  ASSERT_TRUE(device);
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  const disk::WipeResult r = WipeFatVolume(ctx, op, host);
  EXPECT_FALSE(r.phase2Ran);
  EXPECT_EQ(r.entriesWiped, 0u);
  device.reset();
  ctx = {};
  EXPECT_EQ(CheckAgainstOriginal(path, false), 0u);
  CheckLiveFiles(path);
  ExpectFsckClean(path);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatWipeImages, ::testing::Values("fat12", "fat16", "fat32"));

TEST(FatWipe, CancelInPhaseOneEndsEverythingWithoutTheQuestion) {
  const std::string path = CopyOf("fat16", "cancel");
  disk::VolumeContext ctx;
  auto device = OpenForWipe(path, ctx);
  ASSERT_TRUE(device);
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  host.answers = {true};
  host.cancelAfterChecks = 100;
  const disk::WipeResult r = WipeFatVolume(ctx, op, host);
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.phase2Ran);
  for (const auto& e : host.events) EXPECT_EQ(e.rfind("question:", 0), std::string::npos) << e;
  ASSERT_EQ(host.progress.size(), 1u);
  EXPECT_TRUE(host.progress[0]->closed);
  EXPECT_LT(host.progress[0]->positions.size(), ctx.lastCluster - 1);
}

TEST(FatWipe, DifferentSeedsWriteDifferentRandomBytesAndTheSameZeros) {
  std::vector<std::vector<std::uint8_t>> firstWrites;
  std::vector<std::string> results;
  for (std::uint32_t seed : {1700000000u, 1700000001u}) {
    const std::string path = CopyOf("fat12", "seed" + std::to_string(seed));
    disk::VolumeContext ctx;
    auto device = OpenForWipe(path, ctx);
    ASSERT_TRUE(device);
    disk::OperationState op;
    ambrelic::test::RecordingHost host;
    host.answers = {true};
    platform::RandomSource random;
    random.Seed(seed);
    WipeFatVolume(ctx, op, host, random, false);
    firstWrites.push_back(device->firstWrite);
    device.reset();
    ctx = {};
    results.push_back(ambrelic::test::Sha256Of(path));
  }
  ASSERT_FALSE(firstWrites[0].empty());
  EXPECT_NE(firstWrites[0], firstWrites[1]);
  EXPECT_EQ(results[0], results[1]);
  // The random bytes are the C library's sequence for that seed.
  platform::RandomSource expected;
  expected.Seed(1700000000u);
  std::vector<std::uint8_t> bytes(64);
  expected.FillRandom(bytes.data(), bytes.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), firstWrites[0].begin()));
}

// Failed writes are counted and told; the question between the phases,
// which says the vacant clusters have been replaced, is not asked then.
TEST(FatWipe, FailedWritesAreCountedAndTold) {
  const std::string path = CopyOf("fat12", "refused");
  const std::string before = ambrelic::test::Sha256Of(path);
  disk::VolumeContext ctx;
  auto device = OpenForWipe(path, ctx);
  ASSERT_TRUE(device);
  device->refuseWrites = true;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeFatVolume(ctx, op, host);
  EXPECT_EQ(r.clustersWiped, 0u);
  EXPECT_GT(r.clustersFailed, 0u);
  EXPECT_FALSE(r.phase2Ran);
  EXPECT_FALSE(r.Complete());
  for (const auto& e : host.events) EXPECT_EQ(e.rfind("question:", 0), std::string::npos) << e;
  ASSERT_FALSE(host.events.empty());
  EXPECT_EQ(host.events.back(), "message: " + std::to_string(r.clustersFailed) +
                                    " vacant clusters on C:\\ drive could not be overwritten.\n\nWhat "
                                    "they hold may still be restored.");
  device.reset();
  ctx = {};
  EXPECT_EQ(ambrelic::test::Sha256Of(path), before);
}

TEST(FatWipe, FailureTextNamesOnlyWhatFailed) {
  disk::WipeResult r;
  EXPECT_EQ(FatWipeFailureText("A:\\", r), "");
  r.clustersFailed = 1;
  EXPECT_EQ(FatWipeFailureText("A:\\", r),
            "1 vacant cluster on A:\\ drive could not be overwritten.\n\nWhat they hold may still be restored.");
  r.clustersFailed = 0;
  r.entriesFailed = 1;
  EXPECT_EQ(FatWipeFailureText("A:\\", r),
            "1 deleted directory entry on A:\\ drive could not be overwritten.\n\nWhat they hold may still be "
            "restored.");
}

TEST(FatWipe, ARegionWithoutDeletedEntriesIsNotWritten) {
  ft::MemFat mem;
  auto device = std::make_shared<WatchedDevice>(mem.ctx.volumeHandle);
  mem.ctx.volumeHandle = device;
  std::vector<std::uint8_t> region(512, 0);
  region[0] = 'A';
  region[32] = 0x05;  // a live name starting with 0xE5, stored as 0x05
  platform::RandomSource random;
  disk::WipeResult r;
  WipeDeletedEntries(mem.ctx, random, 40, region, 1, r);
  EXPECT_EQ(device->writes, 0);
  region[64] = 0xE5;
  region[70] = 'x';
  WipeDeletedEntries(mem.ctx, random, 40, region, 1, r);
  EXPECT_EQ(device->writes, 2);
  EXPECT_EQ(r.entriesWiped, 1u);
  EXPECT_EQ(region[0], 'A');
  EXPECT_EQ(region[64], 0xE5);
  EXPECT_TRUE(std::all_of(region.begin() + 65, region.begin() + 96, [](auto b) { return b == 0; }));
}

TEST(FatWipe, AnUnreadableTableWritesNothing) {
  ft::MemFat mem;
  auto device = std::make_shared<WatchedDevice>(mem.ctx.volumeHandle);
  mem.ctx.volumeHandle = device;
  // The table lies beyond the end of the device: it cannot be read, and a
  // table of zeros must not make every cluster vacant.
  mem.ctx.fatStartSector = 1u << 30;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  const disk::WipeResult r = WipeFatVolume(mem.ctx, op, host);
  EXPECT_TRUE(r.allocationUnreadable);
  EXPECT_EQ(device->writes, 0);
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0],
            "message: The allocation table of C:\\ drive could not be read.\n\nNothing has been overwritten.");
}

}  // namespace
}  // namespace ambrelic::fat
