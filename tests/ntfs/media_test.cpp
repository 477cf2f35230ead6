// The NTFS engine on damaged media: a volume made by mkntfs and ntfs-3g
// read through a device whose chosen ranges fail (the fault-injecting
// device, and real EIO from nbdkit behind nbdfuse), compared with the same
// volume read whole. A bad page of the MFT costs only the records it holds;
// what the volume keeps twice (record 0 in $MFTMirr, the boot sector at the
// volume's end) is read from the copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/media_errors.h"
#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_record.h"
#include "ntfs/mft_scan.h"
#include "ntfs/restore.h"
#include "platform/block_device.h"
#include "support/test_support.h"
#include "ntfs/map_vcn.h"

namespace ambrelic::ntfs {
namespace {

namespace fs = std::filesystem;
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kMiB = 1u << 20;

std::string Image() { return test::FixtureImage("make_media_images.sh", "media-ntfs.img"); }
std::string Original(const std::string& path) {
  return fs::path(Image()).parent_path().string() + "/media-originals/media-ntfs/" + path;
}

std::string RowText(const disk::FoundRow& r) {
  return r.folder + "|" + r.name + "|" + r.size + "|" + r.modified + "|" + r.number + (r.isFolder ? "|d" : "");
}

struct Volume {
  disk::VolumeContext ctx;
  disk::OperationState op;
  test::RecordingHost host;
  bool prepared = false;

  explicit Volume(platform::DevicePtr device, disk::MediaErrors::Limits limits = {}) {
    test::UseUtf8Locale();
    ctx.fsKind = disk::FsKind::Ntfs;
    ctx.SearchedRoot = "C:\\";
    ctx.volumeHandle = std::move(device);
    ctx.media = std::make_shared<disk::MediaErrors>(limits);
    prepared = PrepareNtfsVolume(ctx);
    op.includeZeroSize = 1;
  }
  std::vector<std::string> Search() {
    if (!prepared) return {};
    ScanMft(ctx, op, host, 0, std::string());
    std::vector<std::string> rows;
    for (const auto& r : host.rows) rows.push_back(RowText(r));
    std::sort(rows.begin(), rows.end());
    return rows;
  }
  // The record number of the row of that name.
  RecordNumber Record(const std::string& name) const {
    for (const auto& r : host.rows) {
      if (r.name == name) return static_cast<RecordNumber>(std::stoul(r.number));
    }
    ADD_FAILURE() << "no row " << name;
    return 0;
  }
  std::uint64_t Unreadable() const { return ctx.media->UnreadableSectors(512); }
};

// Byte offset on the volume of the first cluster of an attribute of a
// record (its unnamed $DATA, or the folder index's allocation).
std::uint64_t FirstClusterOffset(Volume& v, RecordNumber n, std::uint32_t type) {
  std::vector<std::uint8_t> record(v.ctx.mftRecordSize);
  EXPECT_TRUE(ReadMftRecord(v.ctx, n, record));
  std::optional<Attribute> attribute;
  if (type == kAttrData) {
    attribute = FindAttribute(v.ctx, record, type);
  } else {
    // The index allocation is named $I30.
    const disk::Bytes r(record);
    for (std::size_t at = disk::le16(r, 0x14); at + 16 < r.size() && disk::le32(r, at) != 0xFFFFFFFF;
         at += disk::le32(r, at + 4)) {
      if (disk::le32(r, at) == type) {
        attribute = Attribute{r.subspan(at, disk::le32(r, at + 4))};
        break;
      }
      if (disk::le32(r, at + 4) == 0) break;
    }
  }
  EXPECT_TRUE(attribute && !attribute->resident());
  if (!attribute || attribute->resident()) return 0;
  Lcn lcn = 0;
  std::uint64_t left = 0;
  EXPECT_TRUE(MapVcn(*attribute, 0, lcn, left));
  return lcn * v.ctx.bytesPerCluster;
}

enum class Damage { Injected, RealEio };

class Damaged {
 public:
  Damaged(const std::string& image, const Ranges& bad, Damage how) {
    if (how == Damage::RealEio) {
      served_ = std::make_unique<test::EioImage>(image, bad);
      device = platform::OpenFileDevice(served_->path()).device;
      EXPECT_TRUE(device);
    } else {
      faulty_ = std::make_shared<platform::FaultyDevice>(platform::OpenFileDevice(image).device);
      for (const auto& [offset, length] : bad) faulty_->AddBadRange(offset, length);
      device = faulty_;
    }
  }
  ~Damaged() { device.reset(); }
  platform::DevicePtr device;
  platform::FaultyDevice* faulty() { return faulty_.get(); }

 private:
  std::unique_ptr<test::EioImage> served_;
  std::shared_ptr<platform::FaultyDevice> faulty_;
};

// The rows of the volume read whole with the bad ranges zeroed: records
// there carry no signature, exactly the records a damaged read must drop.
std::vector<std::string> RowsWithout(const Ranges& bad) {
  if (bad.empty()) return Volume(platform::OpenFileDevice(Image()).device).Search();
  auto bytes = test::ReadFileBytes(Image());
  for (const auto& [offset, length] : bad) std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), length, 0);
  return Volume(std::make_shared<platform::MemoryDevice>(bytes, false)).Search();
}

class NtfsMedia : public testing::TestWithParam<Damage> {};

INSTANTIATE_TEST_SUITE_P(Devices, NtfsMedia, testing::Values(Damage::Injected, Damage::RealEio),
                         [](const testing::TestParamInfo<Damage>& p) {
                           return p.param == Damage::Injected ? std::string("Injected") : std::string("RealEio");
                         });

TEST_P(NtfsMedia, ABadPageOfTheMftCostsOnlyTheRecordsItHolds) {
  Volume clean(platform::OpenFileDevice(Image()).device);
  const auto cleanRows = clean.Search();
  // The page of the MFT that holds the record of a deleted file in the
  // middle of the table.
  const RecordNumber n = clean.Record("file 20 in the root.bin");
  const std::uint64_t mft = clean.ctx.mftStartCluster * clean.ctx.bytesPerCluster;
  const std::uint64_t page = (mft + static_cast<std::uint64_t>(n) * clean.ctx.mftRecordSize) / kPage * kPage;
  const Ranges bad = {{page, kPage}};
  Damaged damaged(Image(), bad, GetParam());
  Volume v(damaged.device);
  const auto rows = v.Search();
  EXPECT_EQ(rows, RowsWithout(bad));
  // Four records of 1 KiB: at most four rows fewer, not all of them.
  EXPECT_LT(rows.size(), cleanRows.size());
  EXPECT_GE(rows.size() + 4, cleanRows.size());
  EXPECT_EQ(v.Unreadable(), 8u);
}

TEST_P(NtfsMedia, ABadPageOfAFolderIndexCostsNothingTheSearchNeeds) {
  Volume clean(platform::OpenFileDevice(Image()).device);
  const auto cleanRows = clean.Search();
  // The search reads records, never a folder's index: "Docs" keeps its rows.
  std::vector<std::uint8_t> record(clean.ctx.mftRecordSize);
  RecordNumber docs = 0;
  for (RecordNumber n = 16; n < 200 && docs == 0; ++n) {
    if (!ReadMftRecord(clean.ctx, n, record) || !RecordIsDirectory(record) || !RecordInUse(record)) continue;
    const auto name = FindRecordName(clean.ctx, record);
    if (name && name->name == "Docs") docs = n;
  }
  ASSERT_NE(docs, 0u);
  const std::uint64_t index = FirstClusterOffset(clean, docs, 0xA0);
  ASSERT_NE(index, 0u);
  Damaged damaged(Image(), {{index / kPage * kPage, kPage}}, GetParam());
  Volume v(damaged.device);
  EXPECT_EQ(v.Search(), cleanRows);
  EXPECT_EQ(v.Unreadable(), 0u);
}

TEST_P(NtfsMedia, ABadPageHoldingRecordZeroIsReadFromTheMirror) {
  Volume clean(platform::OpenFileDevice(Image()).device);
  const auto cleanRows = clean.Search();
  const std::uint64_t mft = clean.ctx.mftStartCluster * clean.ctx.bytesPerCluster;
  Damaged damaged(Image(), {{mft, kPage}}, GetParam());
  Volume v(damaged.device);
  ASSERT_TRUE(v.prepared);
  EXPECT_EQ(v.ctx.mftSelfRecord, clean.ctx.mftSelfRecord);
  EXPECT_EQ(v.Search(), cleanRows);
  // Record 0's two sectors failed, and came whole from the mirror.
  EXPECT_EQ(v.Unreadable(), 0u);
  // Records 1 to 3 of the page come from the mirror too.
  std::vector<std::uint8_t> mended(v.ctx.mftRecordSize), whole(v.ctx.mftRecordSize);
  for (RecordNumber n = 1; n < 4; ++n) {
    EXPECT_TRUE(ReadMftRecord(v.ctx, n, mended)) << n;
    ASSERT_TRUE(ReadMftRecord(clean.ctx, n, whole));
    EXPECT_EQ(mended, whole) << n;
  }
  EXPECT_EQ(v.Unreadable(), 0u);
  EXPECT_EQ(v.ctx.media->UnreadableSectors(0), 0u);
}

// The mirror is believed only where it holds what the MFT's own copy shows
// in the sectors that do read: one byte changed in the second sector of the
// mirror's record 0 leaves the volume without its MFT.
TEST(NtfsMediaInjected, AMirrorThatDisagreesIsNotUsed) {
  auto bytes = test::ReadFileBytes(Image());
  Volume clean(std::make_shared<platform::MemoryDevice>(bytes, false));
  const std::uint64_t cs = clean.ctx.bytesPerCluster;
  const std::uint64_t mft = clean.ctx.mftStartCluster * cs;
  const std::uint64_t mirror = disk::le64(clean.ctx.ntfsBootSector, 0x38) * cs;
  for (const bool changed : {false, true}) {
    auto copy = bytes;
    if (changed) copy[mirror + 512 + 100] ^= 0x01;
    auto faulty = std::make_shared<platform::FaultyDevice>(std::make_shared<platform::MemoryDevice>(copy, false));
    faulty->AddBadRange(mft, 512);
    Volume v(faulty);
    EXPECT_EQ(v.prepared, !changed);
    if (!changed) {
      EXPECT_EQ(v.ctx.mftSelfRecord, clean.ctx.mftSelfRecord);
    }
    EXPECT_EQ(v.Unreadable(), changed ? 1u : 0u);
  }
}

TEST_P(NtfsMedia, ABadBootSectorIsReadFromTheBackupAtTheEnd) {
  Volume clean(platform::OpenFileDevice(Image()).device);
  const auto cleanRows = clean.Search();
  Damaged damaged(Image(), {{0, kPage}}, GetParam());
  Volume v(damaged.device);
  ASSERT_TRUE(v.prepared);
  EXPECT_EQ(v.Search(), cleanRows);
  EXPECT_EQ(v.Unreadable(), 0u);
}

TEST_P(NtfsMedia, AFileWithABadPageIsRestoredWithEveryOtherByte) {
  Volume clean(platform::OpenFileDevice(Image()).device);
  clean.Search();
  const RecordNumber n = clean.Record("two megabytes.bin");
  const std::uint64_t start = FirstClusterOffset(clean, n, kAttrData);
  ASSERT_NE(start, 0u);
  const std::uint64_t page = start + 100 * kPage;
  Damaged damaged(Image(), {{page, kPage}}, GetParam());
  Volume v(damaged.device);
  const std::string out = test::MakeTempDir("ntfs-media-restore") + "/two.bin";
  // Written whole, the lost sectors as zeros; the file is named instead.
  EXPECT_TRUE(RestoreNtfsFile(v.ctx, v.host, n, out));
  auto expected = test::ReadFileBytes(Original("two megabytes.bin"));
  std::fill_n(expected.begin() + 100 * kPage, kPage, 0);
  EXPECT_EQ(test::ReadFileBytes(out), expected);
  EXPECT_EQ(v.host.unreadableFiles, std::vector<std::string>{out});
  EXPECT_EQ(v.Unreadable(), 8u);
}

TEST_P(NtfsMedia, ADeadMegabyteCostsOnlyWhatItHolds) {
  Volume clean(platform::OpenFileDevice(Image()).device);
  const auto cleanRows = clean.Search();
  const RecordNumber n = clean.Record("two megabytes.bin");
  const std::uint64_t start = FirstClusterOffset(clean, n, kAttrData);
  Damaged damaged(Image(), {{start + 256 * kPage, kMiB}}, GetParam());
  Volume v(damaged.device);
  EXPECT_EQ(v.Search(), cleanRows);
  const std::string out = test::MakeTempDir("ntfs-media-megabyte") + "/two.bin";
  // Written whole, the lost sectors as zeros; the file is named instead.
  EXPECT_TRUE(RestoreNtfsFile(v.ctx, v.host, n, out));
  auto expected = test::ReadFileBytes(Original("two megabytes.bin"));
  std::fill_n(expected.begin() + 256 * kPage, kMiB, 0);
  EXPECT_EQ(test::ReadFileBytes(out), expected);
  EXPECT_EQ(v.Unreadable(), kMiB / 512);
  EXPECT_FALSE(v.ctx.media->Abandoned());
}

TEST(NtfsMediaInjected, ADeviceThatDiesDuringTheSearchEndsIt) {
  Volume clean(platform::OpenFileDevice(Image()).device);
  const auto cleanRows = clean.Search();
  for (const int error : {ENODEV, EIO}) {
    auto faulty = std::make_shared<platform::FaultyDevice>(platform::OpenFileDevice(Image()).device);
    disk::MediaErrors::Limits limits;
    limits.giveUpBytes = 64 * 1024;
    Volume v(faulty, limits);
    ASSERT_TRUE(v.prepared);
    faulty->DieAfter(1, error);  // the bitmap reads, the table does not
    const auto rows = v.Search();
    EXPECT_TRUE(v.ctx.media->Abandoned()) << error;
    EXPECT_LT(rows.size(), cleanRows.size());
    // A record read just before the device went may have lost its folders.
    for (const auto& row : rows) {
      if (row.find("<unknown>") != std::string::npos) continue;
      EXPECT_TRUE(std::binary_search(cleanRows.begin(), cleanRows.end(), row)) << row;
    }
    // Once given up, nothing more is asked of the device.
    const std::uint64_t reads = faulty->Reads();
    v.Search();
    EXPECT_EQ(faulty->Reads(), reads);
  }
}

}  // namespace
}  // namespace ambrelic::ntfs
