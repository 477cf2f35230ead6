// The exFAT wipe on copies of the mkfs.exfat/exfat-fuse images, checked with
// fsck.exfat, The Sleuth Kit and the files as they were written; and its
// refusals on volumes changed by hand so that their sources disagree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "exfat/volume.h"
#include "exfat/wipe.h"
#include "exfat_test_volume.h"
#include "platform/block_device.h"
#include "support/test_support.h"

namespace ambrelic::exfat {
namespace {

// The fixture image of a cluster size, or (0) the one of 4 KiB sectors.
std::string ImageName(int clusterSize) {
  return clusterSize == 0 ? "exfat-s4096.img" : "exfat-c" + std::to_string(clusterSize) + ".img";
}

using test::SetSpec;
using test::TestVolume;

// Path -> inode of every live file fls lists. fls also walks into deleted
// folders and shows what their clusters hold now: a cluster that went to
// the root directory shows the root's live files again under the deleted
// folder's name. Those are no files of the volume's own.
std::map<std::string, std::string> LiveFiles(const std::string& image) {
  std::map<std::string, std::string> out;
  std::vector<std::string> deletedFolders;
  std::istringstream in(ambrelic::test::RunCommand("fls -rp '" + image + "'"));
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(":\t");
    if (colon == std::string::npos) continue;
    const std::string path = line.substr(colon + 2);
    if (line.rfind("d/d * ", 0) == 0) deletedFolders.push_back(path + "/");
    if (line.rfind("r/r ", 0) != 0 || line.find(" * ") != std::string::npos) continue;
    bool phantom = false;
    for (const auto& d : deletedFolders) phantom = phantom || path.rfind(d, 0) == 0;
    if (!phantom) out[path] = line.substr(4, colon - 4);
  }
  return out;
}

class ExfatWipeImage : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ambrelic::test::UseUtf8Locale();
    const std::string source =
        ambrelic::test::FixtureImage("make_exfat_images.sh", ImageName(GetParam()));
    image_ = ambrelic::test::MakeTempDir("exfat-wipe") + "/w.img";
    std::filesystem::copy_file(source, image_);
    std::ifstream in(source.substr(0, source.rfind('/')) + "/exfat-manifest.txt");
    std::string img, path, size, sum;
    const std::string base = source.substr(source.rfind('/') + 1);
    while (std::getline(in, img, '\t') && std::getline(in, path, '\t') && std::getline(in, size, '\t') &&
           std::getline(in, sum)) {
      if (img == base) manifest_[path] = sum;
    }
  }
  // A wiped copy is a quarter of a gigabyte: it goes with the test.
  void TearDown() override { std::filesystem::remove_all(std::filesystem::path(image_).parent_path()); }
  disk::WipeResult Wipe(bool records) {
    auto opened = platform::OpenFileDevice(image_, 0, 0, true);
    EXPECT_TRUE(opened.device);
    disk::VolumeContext ctx;
    ctx.volumeHandle = opened.device;
    ctx.SearchedRoot = "C:\\";
    ctx.fsKind = disk::FsKind::Exfat;
    EXPECT_TRUE(PrepareExfatVolume(ctx));
    disk::OperationState op;
    host_.answers = {records};
    platform::RandomSource random;
    random.Seed(7);
    return WipeExfatVolume(ctx, op, host_, random, false);
  }
  std::string image_;
  std::map<std::string, std::string> manifest_;
  ambrelic::test::RecordingHost host_;
};

TEST_P(ExfatWipeImage, LeavesFsckCleanEveryLiveFileWholeAndNoDeletedName) {
  const auto before = LiveFiles(image_);
  ASSERT_GT(before.size(), 20u);
  ASSERT_FALSE(ambrelic::test::RunCommand("fls -rd '" + image_ + "'").empty());
  const disk::WipeResult r = Wipe(true);
  EXPECT_FALSE(r.refused);
  EXPECT_FALSE(r.cancelled);
  EXPECT_TRUE(r.phase2Ran);
  EXPECT_GT(r.clustersWiped, 0u);
  EXPECT_GT(r.entriesWiped, 40u);
  EXPECT_EQ(r.clustersFailed + r.entriesFailed, 0u);
  EXPECT_TRUE(r.Complete());
  EXPECT_NE(std::find(host_.events.begin(), host_.events.end(),
                      "question: Vacant clusters on C:\\ drive have been replaced.\n\nDo you want replace file "
                      "information, too?"),
            host_.events.end());

  int status = -1;
  const std::string fsck = ambrelic::test::RunCommand("fsck.exfat -n '" + image_ + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << fsck;
  EXPECT_NE(fsck.find("clean"), std::string::npos) << fsck;
  EXPECT_EQ(ambrelic::test::RunCommand("fls -rd '" + image_ + "'"), "");
  const auto after = LiveFiles(image_);
  EXPECT_EQ(after, before);
  int checked = 0;
  for (const auto& [path, inode] : after) {
    auto m = manifest_.find(path);
    if (m == manifest_.end()) continue;
    const std::string out = image_ + ".file";
    ambrelic::test::RunCommand("icat '" + image_ + "' " + inode + " > '" + out + "'");
    EXPECT_EQ(ambrelic::test::Sha256Of(out), m->second) << path;
    ++checked;
  }
  EXPECT_GE(checked, 8) << "keep.txt, Docs, tree2, tree3, h, frag_live.bin, many";
}

TEST_P(ExfatWipeImage, NoToTheQuestionLeavesTheEntriesOfLiveFolders) {
  const disk::WipeResult r = Wipe(false);
  EXPECT_FALSE(r.phase2Ran);
  EXPECT_EQ(r.entriesWiped, 0u);
  // Names in live folders stay; deleted folders' clusters were vacant, so
  // what they held is zeros now.
  const std::string after = ambrelic::test::RunCommand("fls -rdp '" + image_ + "'");
  EXPECT_NE(after.find("\tsmall.txt\n"), std::string::npos);
  EXPECT_NE(after.find("\ttree2/x/y\n"), std::string::npos);
  EXPECT_NE(after.find("\ttree\n"), std::string::npos);
  EXPECT_EQ(after.find("seventy.bin"), std::string::npos);
  int status = -1;
  ambrelic::test::RunCommand("fsck.exfat -n '" + image_ + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, ExfatWipeImage, ::testing::Values(512, 4096, 32768, 1048576, 0));

// ---- Refusals ------------------------------------------------------------

class ExfatWipeRefusal : public ::testing::Test {
 protected:
  void SetUp() override {
    ambrelic::test::UseUtf8Locale();
    v = TestVolume::Format(4096);
    // A live file on two clusters, chained, and a deleted one.
    file = v.FreeCluster(2);
    v.WriteSet(v.rootCluster, 3,
               {.name = u"live.bin", .firstCluster = file, .validDataLength = 8000, .dataLength = 8000,
                .deleted = false});
    v.SetFat(file, file + 3);
    v.SetFat(file + 3, 0xFFFFFFFF);
    v.SetUsed(file, true);
    v.SetUsed(file + 3, true);
    v.WriteSet(v.rootCluster, 6, {.name = u"gone.txt", .firstCluster = file + 1, .validDataLength = 5, .dataLength = 5});
    std::fill(v.Cluster(file).begin(), v.Cluster(file).end(), 0x11);
    std::fill(v.Cluster(file + 1).begin(), v.Cluster(file + 1).end(), 0x22);
    std::fill(v.Cluster(file + 3).begin(), v.Cluster(file + 3).end(), 0x33);
  }
  // Runs the wipe over the image as it stands; true when nothing changed.
  bool WipeChangesNothing(disk::WipeResult& r) {
    disk::VolumeContext ctx = v.Context();
    disk::OperationState op;
    host.answers = {true};
    platform::RandomSource random;
    random.Seed(1);
    const std::vector<std::uint8_t> before = v.device->Bytes();
    r = WipeExfatVolume(ctx, op, host, random, false);
    return v.device->Bytes() == before;
  }
  TestVolume v;
  std::uint32_t file = 0;
  ambrelic::test::RecordingHost host;
};

TEST_F(ExfatWipeRefusal, AConsistentVolumeIsWipedAroundItsLiveFile) {
  disk::WipeResult r;
  EXPECT_FALSE(WipeChangesNothing(r));
  EXPECT_FALSE(r.refused);
  const auto& after = v.device->Bytes();
  auto cluster = [&](std::uint32_t c) {
    const std::size_t at = static_cast<std::size_t>(v.heapOffset) * 512 + static_cast<std::size_t>(c - 2) * 4096;
    return std::vector<std::uint8_t>(after.begin() + at, after.begin() + at + 4096);
  };
  EXPECT_EQ(cluster(file), std::vector<std::uint8_t>(4096, 0x11));
  EXPECT_EQ(cluster(file + 3), std::vector<std::uint8_t>(4096, 0x33));
  EXPECT_EQ(cluster(file + 1), std::vector<std::uint8_t>(4096, 0x00));
  // The deleted set: type bytes kept, the rest zeros.
  const auto root = cluster(v.rootCluster);
  EXPECT_EQ(root[6 * 32], 0x05);
  EXPECT_EQ(root[7 * 32], 0x40);
  EXPECT_EQ(root[8 * 32], 0x41);
  EXPECT_EQ(std::count(root.begin() + 6 * 32 + 1, root.begin() + 7 * 32, 0), 31);
  EXPECT_EQ(root[3 * 32], 0x85) << "the live set untouched";
  EXPECT_EQ(disk::le32(root, 4 * 32 + 0x14), file);
}

TEST_F(ExfatWipeRefusal, ALiveFileOnClustersTheBitmapCallsFree) {
  v.SetUsed(file + 3, false);
  disk::WipeResult r;
  EXPECT_TRUE(WipeChangesNothing(r));
  EXPECT_TRUE(r.refused);
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0],
            "message: The file system on C:\\ drive is damaged: cluster " + std::to_string(file + 3) +
                " is in use by a file but free in the allocation bitmap.\n\nNothing has been overwritten. Please "
                "repair the drive first, then try again.");
  EXPECT_FALSE(r.Complete());
}

TEST_F(ExfatWipeRefusal, TwoFilesOnOneClusterAChainThatLoopsOrLeavesTheVolume) {
  for (int c = 0; c < 3; ++c) {
    SetUp();
    host.events.clear();
    if (c == 0) {
      v.WriteSet(v.rootCluster, 9,
                 {.name = u"twin.bin", .firstCluster = file + 3, .validDataLength = 10, .dataLength = 10,
                  .deleted = false});
    } else if (c == 1) {
      v.SetFat(file, file);
    } else {
      v.SetFat(file, v.clusterCount + 5);
    }
    disk::WipeResult r;
    EXPECT_TRUE(WipeChangesNothing(r)) << c;
    EXPECT_TRUE(r.refused) << c;
  }
}

TEST_F(ExfatWipeRefusal, DirtyDamagedOrCutShortVolumes) {
  // Marked dirty (not unmounted cleanly): volume flags are outside the
  // boot checksum.
  v.image[0x6A] |= 0x02;
  disk::WipeResult r;
  EXPECT_TRUE(WipeChangesNothing(r));
  EXPECT_TRUE(r.refused);
  EXPECT_NE(host.events.back().find("it was not unmounted cleanly"), std::string::npos);
  // Both boot regions failing their checksums.
  SetUp();
  v.image[0x64] ^= 1;
  v.image[12 * 512 + 0x64] ^= 1;
  EXPECT_TRUE(WipeChangesNothing(r));
  EXPECT_TRUE(r.refused);
  // A damaged live set.
  SetUp();
  v.Cluster(v.rootCluster)[3 * 32 + 32] = 0x40;  // its stream no longer in use
  EXPECT_TRUE(WipeChangesNothing(r));
  EXPECT_TRUE(r.refused);
  // An image cut short of its volume.
  SetUp();
  v.image.resize(v.image.size() - 8192);
  EXPECT_TRUE(WipeChangesNothing(r));
  EXPECT_TRUE(r.refused);
}

TEST_F(ExfatWipeRefusal, ABitmapThatCannotBeReadWritesNothing) {
  // The root no longer names a bitmap.
  for (std::size_t at = 0; at < 4096; at += 32) {
    if (v.Cluster(v.rootCluster)[at] == 0x81) v.Cluster(v.rootCluster)[at] = 0x01;
  }
  disk::WipeResult r;
  EXPECT_TRUE(WipeChangesNothing(r));
  EXPECT_TRUE(r.allocationUnreadable);
  EXPECT_FALSE(r.Complete());
  EXPECT_EQ(host.events.back(),
            "message: The allocation bitmap of C:\\ drive could not be read.\n\nNothing has been overwritten.");
}

TEST_F(ExfatWipeRefusal, CancelEndsWithoutTheQuestionAndFailedWritesAreTold) {
  {
    disk::VolumeContext ctx = v.Context();
    disk::OperationState op;
    host.cancelAfterChecks = 0;
    platform::RandomSource random;
    const disk::WipeResult r = WipeExfatVolume(ctx, op, host, random, false);
    EXPECT_TRUE(r.cancelled);
    for (const auto& e : host.events) EXPECT_EQ(e.find("question"), std::string::npos);
  }
  // Cancel during the second phase: the wipe did less than the user agreed to.
  {
    host = {};
    disk::VolumeContext ctx = v.Context();
    disk::OperationState op;
    host.answers = {true};
    host.cancelAfterChecks = static_cast<long>(VolumeOf(ctx).lastCluster) - 1;
    platform::RandomSource random;
    const disk::WipeResult r = WipeExfatVolume(ctx, op, host, random, false);
    EXPECT_FALSE(r.cancelled);
    EXPECT_TRUE(r.phase2Ran);
    EXPECT_TRUE(r.phase2Cancelled);
    EXPECT_EQ(r.entriesWiped, 0u);
    EXPECT_FALSE(r.Complete());
  }
  host = {};
  // A device that refuses every write.
  auto device = std::make_shared<platform::MemoryDevice>(v.image, false);
  disk::VolumeContext ctx;
  ctx.volumeHandle = device;
  ctx.SearchedRoot = "C:\\";
  ctx.fsKind = disk::FsKind::Exfat;
  ASSERT_TRUE(PrepareExfatVolume(ctx));
  disk::OperationState op;
  host.answers = {true};
  platform::RandomSource random;
  const disk::WipeResult r = WipeExfatVolume(ctx, op, host, random, false);
  EXPECT_GT(r.clustersFailed, 0u);
  EXPECT_EQ(r.entriesFailed, 3u);
  EXPECT_FALSE(r.Complete());
  EXPECT_EQ(device->Bytes(), v.image);
  EXPECT_EQ(host.events.back(), "message: " + ExfatWipeFailureText("C:\\", r));
  EXPECT_NE(host.events.back().find("could not be overwritten"), std::string::npos);
}

}  // namespace
}  // namespace ambrelic::exfat
