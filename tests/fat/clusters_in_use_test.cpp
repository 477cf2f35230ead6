// What the FAT wipe calls vacant: on small volumes built in memory for the
// contradictions no tool writes (each one a refusal with its reason), and
// on a FAT32 image whose tables legitimately differ (mirroring off), where
// the clusters the tables disagree on are left and told, and a flush that
// fails is told as failed writes.
#include <gtest/gtest.h>

#include <filesystem>

#include "fat/clusters_in_use.h"
#include "fat/directory_walk.h"
#include "fat/wipe.h"
#include "fat_test_image.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

namespace fs = std::filesystem;
using test::MemFat;

// A FAT16 volume of 60 one-sector clusters: FILE.BIN in 2-3, FOLDER in 4
// holding INNER.BIN in 5-6 and a deleted entry; the rest free.
MemFat Tree() {
  MemFat m;
  m.Chain({2, 3});
  m.Put(0, 0, MemFat::Short("FILE    BIN", 0x20, 2, 1000));
  m.Chain({4});
  m.Put(0, 1, MemFat::Short("FOLDER     ", 0x10, 4, 0));
  m.Dots(4, 0);
  m.Chain({5, 6});
  m.Put(4, 2, MemFat::Short("INNER   BIN", 0x20, 5, 600));
  auto gone = MemFat::Short("GONE    TXT", 0x20, 7, 100);
  gone[0] = 0xE5;
  m.Put(4, 3, gone);
  m.StoreTables();
  return m;
}

FatDamage DamageOf(MemFat& m) {
  m.StoreTables();
  return SurveyFatClusters(m.ctx).damage;
}

TEST(FatClustersInUse, VacantIsWhatNoTableAndNoLiveChainClaims) {
  MemFat m = Tree();
  const FatClusterSurvey s = SurveyFatClusters(m.ctx);
  ASSERT_TRUE(s.Usable());
  for (std::uint64_t c = 0; c <= 6; ++c) EXPECT_FALSE(s.vacant.Test(c)) << c;
  for (std::uint64_t c = 7; c <= m.ctx.lastCluster; ++c) EXPECT_TRUE(s.vacant.Test(c)) << c;
  EXPECT_FALSE(s.vacant.Test(m.ctx.lastCluster + 1));
  for (std::uint64_t c = 0; c <= m.ctx.lastCluster; ++c) EXPECT_EQ(s.liveFolders.Test(c), c == 4) << c;
  EXPECT_EQ(s.disputedClusters, 0u);
}

TEST(FatClustersInUse, ContradictionsOnlyADamagedVolumeHasAreRefused) {
  {
    MemFat m = Tree();
    m.SetFat(3, 0);  // FILE.BIN's chain runs into a free cluster
    EXPECT_EQ(DamageOf(m), FatDamage::LiveInFree);
  }
  {
    MemFat m = Tree();
    m.SetFat(2, 0);  // and its first cluster
    EXPECT_EQ(DamageOf(m), FatDamage::LiveInFree);
  }
  {
    MemFat m = Tree();
    m.Put(0, 2, MemFat::Short("TWIN    BIN", 0x20, 3, 10));  // cross-linked into FILE.BIN
    EXPECT_EQ(DamageOf(m), FatDamage::SharedClusters);
  }
  {
    MemFat m = Tree();
    m.SetFat(6, 5);  // INNER.BIN's chain loops
    EXPECT_EQ(DamageOf(m), FatDamage::SharedClusters);
  }
  {
    MemFat m = Tree();
    m.Put(4, 2, MemFat::Short("INNER   DIR", 0x10, 4, 0));  // a folder inside itself
    EXPECT_EQ(DamageOf(m), FatDamage::SharedClusters);
  }
  {
    MemFat m = Tree();
    m.Entry(4, 0)[0] = 'X';  // FOLDER's cluster no longer holds a folder
    EXPECT_EQ(DamageOf(m), FatDamage::FolderWithoutDots);
  }
  {
    MemFat m = Tree();
    disk::put32(std::span<std::uint8_t>(m.Entry(0, 0), 32), 0x1C, 1025);  // three clusters' worth in two
    EXPECT_EQ(DamageOf(m), FatDamage::FileBeyondChain);
  }
  {
    MemFat m = Tree();
    m.ctx.lastCluster = 300;  // one 512-byte table holds 256 FAT16 entries
    EXPECT_EQ(DamageOf(m), FatDamage::TooManyClusters);
  }
  {
    MemFat m = Tree();
    m.ctx.sectorsPerCluster = 3;
    EXPECT_EQ(DamageOf(m), FatDamage::Layout);
  }
}

TEST(FatClustersInUse, ReasonsAreWordedForTheRefusal) {
  EXPECT_STREQ(FatDamageReason(FatDamage::TablesDiffer), "its allocation tables do not agree");
  EXPECT_STREQ(FatDamageReason(FatDamage::SharedClusters), "two files or folders in use share clusters");
  EXPECT_STREQ(FatDamageReason(FatDamage::None), "");
}

TEST(FatClustersInUse, ARefusedVolumeIsToldAndNothingIsWritten) {
  MemFat m = Tree();
  m.SetFat(3, 0);
  m.StoreTables();
  const auto before = m.device->Bytes();
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeFatVolume(m.ctx, op, host);
  EXPECT_TRUE(r.refused);
  EXPECT_FALSE(r.Complete());
  EXPECT_EQ(host.events, std::vector<std::string>{
                             "message: The file system on C:\\ drive is damaged: a file or folder in use lies in "
                             "clusters its allocation table calls free.\n\nNothing has been overwritten. Please "
                             "repair the drive first, then try again."});
  EXPECT_EQ(m.device->Bytes(), before);
}

// A table change made by another program between the check and the write
// is seen: the table is read again before the first cluster is written.
TEST(FatClustersInUse, TablesAreReadAgainBeforeWriting) {
  MemFat m = Tree();
  FatClusterSurvey s = SurveyFatClusters(m.ctx);
  ASSERT_TRUE(s.vacant.Test(9));
  m.SetFat(9, -1);
  m.StoreTables();
  std::fill_n(m.ClusterBytes(9), 512, 0x77);
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  const disk::WipeResult r = WipeFatVolume(m.ctx, op, host, std::move(s));
  EXPECT_TRUE(r.Complete());
  EXPECT_EQ(m.ClusterBytes(9)[0], 0x77);
  EXPECT_EQ(m.ClusterBytes(10)[0], 0);
}

// Forwards to a memory device; the first write into the data area first
// marks cluster `taken` in use in the table on the device, as another
// program allocating it while the wipe runs would.
class AllocatingDevice : public platform::BlockDevice {
 public:
  AllocatingDevice(MemFat& m, Cluster taken) : m_(m), taken_(taken) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override { return m_.device->ReadAt(offset, out); }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override {
    if (!done && offset >= static_cast<std::uint64_t>(m_.ctx.dataStartSector) * 512) {
      done = true;
      disk::put16(std::span<std::uint8_t>(m_.device->Bytes()).subspan(m_.ctx.fatStartSector * 512), taken_ * 2,
                  0xFFFF);
    }
    return m_.device->WriteAt(offset, in);
  }
  std::uint64_t Size() const override { return m_.device->Size(); }
  bool Writable() const override { return true; }
  bool done = false;

 private:
  MemFat& m_;
  Cluster taken_;
};

// A cluster another program takes after the wipe began is spared: each run
// is checked against the table just before it is written, its last cluster
// (the volume's last here) as much as its first.
TEST(FatClustersInUse, EachRunIsCheckedJustBeforeItIsWritten) {
  MemFat m = Tree();
  m.Chain({30});  // a live file splits the vacant clusters into two runs
  m.Put(0, 2, MemFat::Short("SPLIT   BIN", 0x20, 30, 100));
  m.StoreTables();
  const Cluster last = static_cast<Cluster>(m.ctx.lastCluster);
  std::fill_n(m.ClusterBytes(last), 512, 0x77);
  std::fill_n(m.ClusterBytes(last - 1), 512, 0x77);
  auto device = std::make_shared<AllocatingDevice>(m, last);
  m.ctx.volumeHandle = device;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  const disk::WipeResult r = WipeFatVolume(m.ctx, op, host);
  EXPECT_TRUE(device->done);
  EXPECT_TRUE(r.Complete());
  EXPECT_EQ(r.clustersWiped, m.ctx.lastCluster - 8);  // 7 to the last, less 30 and the last
  EXPECT_EQ(m.ClusterBytes(last)[0], 0x77);
  EXPECT_EQ(m.ClusterBytes(last)[511], 0x77);
  EXPECT_EQ(m.ClusterBytes(last - 1)[0], 0);
  EXPECT_EQ(m.ClusterBytes(8)[0], 0);
}

// Forwards to a device; Flush fails when told to.
class FlushFailingDevice : public platform::BlockDevice {
 public:
  explicit FlushFailingDevice(platform::DevicePtr inner) : inner_(std::move(inner)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override { return inner_->ReadAt(offset, out); }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override { return inner_->WriteAt(offset, in); }
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return true; }
  bool Flush() override {
    ++flushes;
    return !failFlush;
  }
  bool failFlush = false;
  int flushes = 0;

 private:
  platform::DevicePtr inner_;
};

TEST(FatClustersInUse, EachPhaseEndsFlushedAndAFailedFlushIsAFailedWrite) {
  {
    MemFat m = Tree();
    auto device = std::make_shared<FlushFailingDevice>(m.ctx.volumeHandle);
    m.ctx.volumeHandle = device;
    disk::OperationState op;
    ambrelic::test::RecordingHost host;
    host.answers = {true};
    const disk::WipeResult r = WipeFatVolume(m.ctx, op, host);
    EXPECT_TRUE(r.Complete());
    EXPECT_EQ(device->flushes, 2);
  }
  MemFat m = Tree();
  auto device = std::make_shared<FlushFailingDevice>(m.ctx.volumeHandle);
  device->failFlush = true;
  m.ctx.volumeHandle = device;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeFatVolume(m.ctx, op, host);
  EXPECT_EQ(r.clustersWiped, 0u);
  EXPECT_EQ(r.clustersFailed, m.ctx.lastCluster - 6);
  EXPECT_FALSE(r.phase2Ran);
  EXPECT_FALSE(r.Complete());
  EXPECT_EQ(host.events.back(), "message: " + std::to_string(r.clustersFailed) +
                                    " vacant clusters on C:\\ drive could not be overwritten.\n\nWhat they hold may "
                                    "still be restored.");
}

// A FAT32 image whose tables are not mirrored (bit 7 of the extended flags:
// only the first table is active): the second table calls the clusters of
// a deleted file and of a deleted folder in use. They are left, with the
// deleted entries in the folder's cluster, and told.
TEST(FatClustersInUse, ClustersTheTablesDisagreeOnAreLeftAndTold) {
  ambrelic::test::UseUtf8Locale();
  const std::string path = ambrelic::test::MakeTempDir("fat-disputed") + "/volume.img";
  fs::copy_file(ambrelic::test::FixtureImage("make_wipe_images.sh", "wipe-fat32.img"), path);
  disk::VolumeContext ctx;
  ASSERT_TRUE(test::OpenFatImage(path, ctx));
  // The deleted file and folder, by the search's own rows.
  disk::OperationState op;
  ambrelic::test::RecordingHost search;
  ctx.fatWork = ctx.fatCopy;
  SearchFat(ctx, op, search);
  Cluster secret = 0, oldtree = 0;
  for (const auto& row : search.rows) {
    if (row.name == "Secret Long Name.dat") secret = static_cast<Cluster>(std::stoul(row.number));
    if (row.name == "$LDTREE") oldtree = static_cast<Cluster>(std::stoul(row.number));
  }
  ASSERT_GE(secret, 2u);
  ASSERT_GE(oldtree, 2u);
  auto image = ambrelic::test::ReadFileBytes(path);
  const std::size_t bps = ctx.bytesPerSector;
  for (std::size_t boot : {std::size_t{0}, std::size_t{6} * bps}) image[boot + 0x28] = 0x80;
  const std::size_t fat2 = (static_cast<std::size_t>(ctx.fatStartSector) + ctx.sectorsPerFat) * bps;
  for (Cluster c : {secret, oldtree}) disk::put32(image, fat2 + 4 * c, 0x0FFFFFFF);
  ambrelic::test::WriteFileBytes(path, image);
  const auto clusterAt = [&](const std::vector<std::uint8_t>& bytes, Cluster c) {
    const std::size_t at = static_cast<std::size_t>(ClusterToSector(ctx, c)) * bps;
    return std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + at + ctx.bytesPerCluster);
  };

  disk::VolumeContext wipe;
  ASSERT_TRUE(test::OpenFatImage(path, wipe));
  wipe.volumeHandle = platform::OpenFileDevice(path, 0, 0, true).device;
  const FatClusterSurvey s = SurveyFatClusters(wipe);
  ASSERT_TRUE(s.Usable());
  EXPECT_EQ(s.disputedClusters, 2u);
  EXPECT_FALSE(s.vacant.Test(secret));
  ambrelic::test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeFatVolume(wipe, op, host);
  EXPECT_TRUE(r.phase2Ran);
  EXPECT_EQ(r.clustersDisputed, 2u);
  EXPECT_EQ(r.clustersFailed + r.entriesFailed, 0u);
  EXPECT_FALSE(r.Complete());
  EXPECT_EQ(host.events.back(),
            "message: 2 clusters on C:\\ drive were not overwritten: the volume's own records disagree on whether "
            "they are in use.\n\nWhat they hold may still be restored.");
  wipe = {};
  const auto after = ambrelic::test::ReadFileBytes(path);
  EXPECT_EQ(clusterAt(after, secret), clusterAt(image, secret));
  EXPECT_EQ(clusterAt(after, oldtree), clusterAt(image, oldtree));
}

}  // namespace
}  // namespace ambrelic::fat
