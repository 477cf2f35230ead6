// The FAT engine on damaged media: volumes made by mkfs.fat and mtools read
// through a device whose chosen ranges fail (the fault-injecting device,
// and real EIO from nbdkit behind nbdfuse), compared with the same volume
// read whole. A bad sector costs only the entries and bytes it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"
#include "disk/media_errors.h"
#include "fat/cluster_scan.h"
#include "fat/directory_walk.h"
#include "fat/restore.h"
#include "fat/wipe.h"
#include "platform/random.h"
#include "fat_test_image.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

namespace fs = std::filesystem;
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kMiB = 1u << 20;

std::string Image(const std::string& name) { return ambrelic::test::FixtureImage("make_media_images.sh", name); }
std::string Original(const std::string& image, const std::string& path) {
  return fs::path(Image(image + ".img")).parent_path().string() + "/media-originals/" + image + "/" + path;
}

// Where things lie on a FAT volume, from its boot sector.
struct Layout {
  std::uint64_t bps = 0, spc = 0, reserved = 0, fats = 0, spf = 0, rootEntries = 0, rootCluster = 0;
  std::uint64_t fatStart() const { return reserved * bps; }
  std::uint64_t rootStart() const { return (reserved + fats * spf) * bps; }
  std::uint64_t dataStart() const { return rootStart() + (rootEntries * 32 + bps - 1) / bps * bps; }
  std::uint64_t ClusterOffset(std::uint64_t c) const { return dataStart() + (c - 2) * spc * bps; }
};

Layout LayoutOf(const std::vector<std::uint8_t>& bytes) {
  const disk::Bytes b(bytes.data(), 512);
  Layout l;
  l.bps = disk::le16(b, 0x0B);
  l.spc = disk::le8(b, 0x0D);
  l.reserved = disk::le16(b, 0x0E);
  l.fats = disk::le8(b, 0x10);
  l.rootEntries = disk::le16(b, 0x11);
  l.spf = disk::le16(b, 0x16);
  if (l.spf == 0) {
    l.spf = disk::le32(b, 0x24);
    l.rootCluster = disk::le32(b, 0x2C);
  }
  return l;
}

// The first sector of an image.
std::vector<std::uint8_t> BootOf(const std::string& image) {
  std::vector<std::uint8_t> boot(512);
  platform::OpenFileDevice(image).device->ReadAt(0, boot);
  return boot;
}

// The chain of a FAT16 file or folder from its first cluster, in FAT #1.
std::vector<std::uint64_t> Chain16(const std::vector<std::uint8_t>& bytes, const Layout& l, std::uint64_t first) {
  std::vector<std::uint64_t> chain;
  for (std::uint64_t c = first; c >= 2 && c < 0xFFF0 && chain.size() < 100000;) {
    chain.push_back(c);
    c = disk::le16(bytes, l.fatStart() + 2 * c);
  }
  return chain;
}

// First cluster of the root entry whose 11-byte short name is given.
std::uint64_t RootEntryCluster(const std::vector<std::uint8_t>& bytes, const Layout& l, const char* name11) {
  for (std::uint64_t at = l.rootStart(); at < l.dataStart(); at += 32) {
    if (std::equal(name11, name11 + 11, bytes.begin() + static_cast<std::ptrdiff_t>(at))) {
      return disk::le16(bytes, at + 0x1A) | (static_cast<std::uint64_t>(disk::le16(bytes, at + 0x14)) << 16);
    }
  }
  return 0;
}

// One row as text, for comparing listings.
std::string RowText(const disk::FoundRow& r) {
  return r.folder + "|" + r.name + "|" + r.size + "|" + r.modified + "|" + r.number + (r.isFolder ? "|d" : "");
}

// A searched volume over a given device.
struct Volume {
  disk::VolumeContext ctx;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  bool prepared = false;

  explicit Volume(platform::DevicePtr device, disk::MediaErrors::Limits limits = {}) {
    ambrelic::test::UseUtf8Locale();
    std::vector<std::uint8_t> boot(512);
    device->ReadAt(0, boot);
    ctx.fsKind = test::KindOfImage(boot);
    if (ctx.fsKind == disk::FsKind::None) ctx.fsKind = disk::FsKind::Fat32;  // boot sector unreadable
    ctx.volumeHandle = device;
    ctx.SearchedRoot = "C:\\";
    ctx.media = std::make_shared<disk::MediaErrors>(limits);
    prepared = disk::ParseFatBootSector(ctx, 0, device->Size() / 512);
    if (prepared) LoadAllocationTable(ctx, 0);
    op.includeZeroSize = 1;
  }
  std::vector<std::string> Search(bool scanVacant = false) {
    if (!prepared) return {};
    SearchFat(ctx, op, host);
    if (scanVacant && op.SearchCancelled == 0) {
      op.ClusterScanActive = 1;
      ScanClusters(ctx, op, host);
      op.ClusterScanActive = 0;
    }
    std::vector<std::string> rows;
    for (const auto& r : host.rows) rows.push_back(RowText(r));
    std::sort(rows.begin(), rows.end());
    return rows;
  }
  std::uint64_t Unreadable() const { return ctx.media->UnreadableSectors(512); }
};

// How the damaged device is made: the fault-injecting device over the
// image's bytes, or the image served with real EIO by nbdkit and nbdfuse.
enum class Damage { Injected, RealEio };

class Damaged {
 public:
  Damaged(const std::string& image, const Ranges& bad, Damage how) {
    if (how == Damage::RealEio) {
      served_ = std::make_unique<ambrelic::test::EioImage>(image, bad);
      auto opened = platform::OpenFileDevice(served_->path());
      EXPECT_TRUE(opened.device) << served_->path();
      device = opened.device;
    } else {
      auto faulty = std::make_shared<platform::FaultyDevice>(platform::OpenFileDevice(image).device);
      for (const auto& [offset, length] : bad) faulty->AddBadRange(offset, length);
      faulty_ = faulty;
      device = faulty;
    }
  }
  ~Damaged() { device.reset(); }
  platform::DevicePtr device;
  platform::FaultyDevice* faulty() { return faulty_.get(); }

 private:
  std::unique_ptr<ambrelic::test::EioImage> served_;
  std::shared_ptr<platform::FaultyDevice> faulty_;
};

// The volume read whole, with the bad ranges made into what a walk can
// only pass over ('/' makes no entry and ends no directory): the rows the
// damaged read must give.
std::vector<std::string> RowsWithout(const std::string& image, const Ranges& bad, bool scanVacant = false) {
  if (bad.empty()) return Volume(platform::OpenFileDevice(image).device).Search(scanVacant);
  std::vector<std::uint8_t> bytes = ambrelic::test::ReadFileBytes(image);
  for (const auto& [offset, length] : bad) std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), length, '/');
  Volume v(std::make_shared<platform::MemoryDevice>(bytes, false));
  return v.Search(scanVacant);
}

std::vector<std::string> CleanRows(const std::string& image, bool scanVacant = false) {
  return RowsWithout(image, {}, scanVacant);
}

class FatMedia : public testing::TestWithParam<Damage> {};

INSTANTIATE_TEST_SUITE_P(Devices, FatMedia, testing::Values(Damage::Injected, Damage::RealEio),
                         [](const testing::TestParamInfo<Damage>& p) {
                           return p.param == Damage::Injected ? std::string("Injected") : std::string("RealEio");
                         });

TEST_P(FatMedia, ABadPageInAFolderCostsOnlyTheEntriesItHolds) {
  const std::string image = Image("media16.img");
  const auto bytes = ambrelic::test::ReadFileBytes(image);
  const Layout l = LayoutOf(bytes);
  const auto chain = Chain16(bytes, l, RootEntryCluster(bytes, l, "LIVE       "));
  ASSERT_GT(chain.size(), 10u);
  // The page that holds a cluster from the middle of the folder.
  const std::uint64_t page = l.ClusterOffset(chain[chain.size() / 2]) / kPage * kPage;
  const Ranges bad = {{page, kPage}};
  Damaged damaged(image, bad, GetParam());
  Volume v(damaged.device);
  const auto rows = v.Search();
  const auto clean = CleanRows(image);
  EXPECT_EQ(rows, RowsWithout(image, bad));
  // The page held some of the folder's entries, and only those are gone.
  EXPECT_LT(rows.size(), clean.size());
  EXPECT_GT(rows.size(), clean.size() / 2);
  EXPECT_EQ(v.Unreadable(), 8u);
}

TEST_P(FatMedia, ABadSectorOfTheRootCostsOnlyItsEntries) {
  const std::string image = Image("media16.img");
  const auto bytes = ambrelic::test::ReadFileBytes(image);
  const Layout l = LayoutOf(bytes);
  // The page where the root starts (it begins with the end of FAT #2,
  // which a healthy first table never needs).
  const std::uint64_t page = l.rootStart() / kPage * kPage;
  const Ranges bad = {{page, kPage}};
  Damaged damaged(image, bad, GetParam());
  Volume v(damaged.device);
  const auto rows = v.Search();
  EXPECT_EQ(rows, RowsWithout(image, bad));
  EXPECT_LT(rows.size(), CleanRows(image).size());
  EXPECT_EQ(v.Unreadable(), (page + kPage - l.rootStart()) / 512);
}

TEST_P(FatMedia, ABadPageOfTheFirstFatIsReadFromTheSecond) {
  const std::string image = Image("media16.img");
  const auto bytes = ambrelic::test::ReadFileBytes(image);
  const Layout l = LayoutOf(bytes);
  const auto chain = Chain16(bytes, l, RootEntryCluster(bytes, l, "LIVE       "));
  ASSERT_GT(chain.size(), 10u);
  // The page of FAT #1 that holds the entry of the folder's middle cluster:
  // without the second copy, the folder's walk would stop there.
  const std::uint64_t page = (l.fatStart() + 2 * chain[chain.size() / 2]) / kPage * kPage;
  Damaged damaged(image, {{page, kPage}}, GetParam());
  Volume v(damaged.device);
  EXPECT_EQ(v.Search(), CleanRows(image));
  // Nothing the page held is missing: the command has nothing to tell.
  EXPECT_EQ(v.Unreadable(), 0u);
  const auto fat1 = bytes.begin() + static_cast<std::ptrdiff_t>(l.fatStart());
  EXPECT_EQ(v.ctx.fatCopy, std::vector<std::uint8_t>(fat1, fat1 + static_cast<std::ptrdiff_t>(v.ctx.fatCopy.size())));
}

TEST_P(FatMedia, AFileWithABadPageIsRestoredWithEveryOtherByte) {
  const std::string image = Image("media16.img");
  const auto bytes = ambrelic::test::ReadFileBytes(image);
  const Layout l = LayoutOf(bytes);
  const auto original = ambrelic::test::ReadFileBytes(Original("media16", "many clusters.bin"));
  // The file's clusters follow its first one (mcopy wrote it in one run).
  Volume clean(std::make_shared<platform::MemoryDevice>(bytes, false));
  clean.Search();
  std::uint64_t first = 0;
  for (const auto& r : clean.host.rows) {
    if (r.name == "many clusters.bin") first = std::stoull(r.number);
  }
  ASSERT_GE(first, 2u);
  const std::uint64_t start = l.ClusterOffset(first);
  const std::uint64_t page = (start + 20000) / kPage * kPage;
  Damaged damaged(image, {{page, kPage}}, GetParam());
  Volume v(damaged.device);
  const std::string out = ambrelic::test::MakeTempDir("fat-media-restore") + "/many clusters.bin";
  // Written whole, the lost sectors as zeros; the file is named instead.
  EXPECT_TRUE(RestoreFatFile(v.ctx, v.host, out, static_cast<std::uint32_t>(first), 60000));
  auto expected = original;
  std::fill(expected.begin() + static_cast<std::ptrdiff_t>(page - start),
            expected.begin() + static_cast<std::ptrdiff_t>(page - start + kPage), 0);
  EXPECT_EQ(ambrelic::test::ReadFileBytes(out), expected);
  EXPECT_EQ(v.Unreadable(), 8u);
  EXPECT_EQ(v.host.unreadableFiles, std::vector<std::string>{out});
}

TEST_P(FatMedia, ADeadMegabyteCostsOnlyWhatItHolds) {
  const std::string image = Image("media32.img");
  const Layout l = LayoutOf(BootOf(image));
  Volume clean(platform::OpenFileDevice(image).device);
  const auto cleanRows = clean.Search();
  std::uint64_t first = 0;
  for (const auto& r : clean.host.rows) {
    if (r.name == "big picture.raw") first = std::stoull(r.number);
  }
  ASSERT_GE(first, 2u);
  const std::uint64_t start = l.ClusterOffset(first);
  const std::uint64_t dead = (start + kMiB) / kPage * kPage;
  Damaged damaged(image, {{dead, kMiB}}, GetParam());
  Volume v(damaged.device);
  EXPECT_EQ(v.Search(), cleanRows);
  const std::string out = ambrelic::test::MakeTempDir("fat-media-megabyte") + "/big picture.raw";
  // Written whole, the lost sectors as zeros; the file is named instead.
  EXPECT_TRUE(RestoreFatFile(v.ctx, v.host, out, static_cast<std::uint32_t>(first), 3145728));
  auto expected = ambrelic::test::ReadFileBytes(Original("media32", "big picture.raw"));
  std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(dead - start), kMiB, 0);
  EXPECT_EQ(ambrelic::test::ReadFileBytes(out), expected);
  EXPECT_EQ(v.Unreadable(), kMiB / 512);
  EXPECT_FALSE(v.ctx.media->Abandoned());
  // Cluster by cluster through a dead megabyte: a read or two per cluster,
  // not one per sector.
  if (damaged.faulty()) {
    EXPECT_LT(damaged.faulty()->FailedReads(), 1200u);
  }
}

TEST(FatMediaInjected, AWipeOverALiveFolderItCannotReadIsRefusedAndWritesNothing) {
  const std::string image = Image("media16.img");
  const auto bytes = ambrelic::test::ReadFileBytes(image);
  const Layout l = LayoutOf(bytes);
  const auto chain = Chain16(bytes, l, RootEntryCluster(bytes, l, "LIVE       "));
  ASSERT_GT(chain.size(), 10u);
  const std::uint64_t cluster = l.ClusterOffset(chain[chain.size() / 2]);
  const std::uint64_t page = cluster / kPage * kPage;
  auto memory = std::make_shared<platform::MemoryDevice>(bytes, true);
  auto faulty = std::make_shared<platform::FaultyDevice>(memory);
  faulty->AddBadRange(page, kPage);
  Volume v(faulty);
  v.host.answers = {true};  // replace file information too
  platform::RandomSource random;
  random.Seed(7);
  const disk::WipeResult r = WipeFatVolume(v.ctx, v.op, v.host, random, false);
  // A live folder that cannot be read whole may point anywhere: nothing on
  // the volume is provably vacant, so the wipe is refused and writes nothing.
  EXPECT_TRUE(r.refused);
  EXPECT_FALSE(r.phase2Ran);
  EXPECT_FALSE(r.Complete());
  EXPECT_TRUE(memory->Bytes() == bytes);
  EXPECT_GT(v.Unreadable(), 0u);
}

TEST(FatMediaInjected, ABadBootSectorOfFat32IsReadFromItsBackup) {
  const std::string image = Image("media32.img");
  Damaged damaged(image, {{0, 512}}, Damage::Injected);
  Volume v(damaged.device);
  ASSERT_TRUE(v.prepared);
  EXPECT_EQ(v.Search(), CleanRows(image));
  EXPECT_EQ(v.Unreadable(), 0u);
}

TEST(FatMediaInjected, ADeviceThatDiesDuringTheScanEndsIt) {
  const std::string image = Image("media32.img");
  for (const int error : {ENODEV, EIO}) {
    // The reads of the walk alone, counted on a healthy run.
    Damaged healthy(image, {}, Damage::Injected);
    Volume walk(healthy.device);
    walk.Search(false);
    const std::uint64_t walkReads = healthy.faulty()->Reads();

    Damaged damaged(image, {}, Damage::Injected);
    disk::MediaErrors::Limits limits;
    limits.giveUpBytes = 4 * kMiB;
    Volume v(damaged.device, limits);
    // Dies once the walk is done, three reads into the vacant-cluster scan.
    damaged.faulty()->DieAfter(walkReads + 3, error);
    const auto rows = v.Search(true);
    EXPECT_TRUE(v.ctx.media->Abandoned()) << error;
    EXPECT_EQ(v.ctx.media->AbandonError(), error);
    // The scan of 160 MiB did not go on reading once the device was given up.
    EXPECT_LT(damaged.faulty()->BytesRequested(), 16 * kMiB) << error;
    const auto clean = CleanRows(image, true);
    for (const auto& row : rows) EXPECT_TRUE(std::binary_search(clean.begin(), clean.end(), row)) << row;
  }
}

TEST(FatMediaInjected, BothCopiesOfAFatPageBadCostTheChainsTheyHold) {
  const std::string image = Image("media16.img");
  const auto bytes = ambrelic::test::ReadFileBytes(image);
  const Layout l = LayoutOf(bytes);
  Damaged damaged(image, {{l.fatStart(), kPage}, {l.fatStart() + l.spf * l.bps, kPage}}, Damage::Injected);
  Volume v(damaged.device);
  const auto rows = v.Search();
  const auto clean = CleanRows(image);
  EXPECT_LT(rows.size(), clean.size());
  for (const auto& row : rows) EXPECT_TRUE(std::binary_search(clean.begin(), clean.end(), row)) << row;
  EXPECT_EQ(v.Unreadable(), 16u);
}

TEST(FatMediaInjected, ASecondFatThatDisagreesIsNotUsed) {
  const std::string image = Image("media16.img");
  auto bytes = ambrelic::test::ReadFileBytes(image);
  const Layout l = LayoutOf(bytes);
  // FAT #2 differs from FAT #1 in a sector both can read: it is no copy of it.
  const std::uint64_t fat2 = l.fatStart() + l.spf * l.bps;
  bytes[fat2 + kPage + 100] ^= 0x01;
  auto faulty =
      std::make_shared<platform::FaultyDevice>(std::make_shared<platform::MemoryDevice>(bytes, false));
  faulty->AddBadRange(l.fatStart(), kPage);
  Volume v(faulty);
  const auto rows = v.Search();
  EXPECT_LT(rows.size(), CleanRows(image).size());
}

}  // namespace
}  // namespace ambrelic::fat
