// What the NTFS wipe calls vacant, on copies of the mkntfs/ntfs-3g wipe
// image changed where no tool would: records in use whose runs contradict
// the bitmap or each other, a torn record, a deleted record the MFT bitmap
// still calls in use (left and told), an MFT piece changed under the
// guarded write (told as a failed write), and a failed flush.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "ntfs/attributes.h"
#include "ntfs/clusters_in_use.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_scan.h"
#include "ntfs/restore.h"
#include "ntfs/wipe.h"
#include "support/test_support.h"
#include "ntfs/map_vcn.h"

namespace ambrelic::ntfs {
namespace {

namespace fs = std::filesystem;

std::string CopyOfImage(const std::string& tag) {
  const std::string path = test::MakeTempDir("ntfs-in-use-" + tag) + "/volume.img";
  fs::copy_file(test::FixtureImage("make_wipe_images.sh", "wipe-ntfs.img"), path, fs::copy_options::overwrite_existing);
  return path;
}

bool Prepare(const std::string& path, disk::VolumeContext& ctx, bool writable = false) {
  ctx = disk::VolumeContext{};
  ctx.fsKind = disk::FsKind::Ntfs;
  ctx.SearchedRoot = "C:\\";
  ctx.volumeHandle = platform::OpenFileDevice(path, 0, 0, writable).device;
  return ctx.volumeHandle && PrepareNtfsVolume(ctx);
}

// Byte offset in the image of an LCN-mapped attribute position.
std::uint64_t ImageOffset(const disk::VolumeContext& ctx, const std::vector<ClusterRun>& runs, std::uint64_t at) {
  const std::uint64_t cs = ctx.bytesPerCluster;
  for (const ClusterRun& r : runs) {
    if (at / cs >= r.vcn && at / cs - r.vcn < r.length) return (r.lcn + at / cs - r.vcn) * cs + at % cs;
  }
  ADD_FAILURE() << "not mapped: " << at;
  return 0;
}

// Where record n lies in the image, and where its attribute of `type` (the
// first unnamed one) starts inside it.
struct RecordSpot {
  std::uint64_t record = 0;
  std::uint64_t attribute = 0;  // offset inside the record
};
RecordSpot Locate(const disk::VolumeContext& ctx, RecordNumber n, std::uint32_t type) {
  RecordSpot spot;
  auto mft = CollectRuns(ctx, ctx.mftSelfRecord, kAttrData);
  EXPECT_TRUE(mft);
  if (!mft) return spot;
  spot.record = ImageOffset(ctx, mft->runs, static_cast<std::uint64_t>(n) * ctx.mftRecordSize);
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  EXPECT_TRUE(ReadMftRecord(ctx, n, record));
  auto a = FindAttribute(ctx, record, type, nullptr, 0, true);
  EXPECT_TRUE(a);
  if (a) spot.attribute = static_cast<std::uint64_t>(a->bytes.data() - record.data());
  return spot;
}

// Record numbers of the live and deleted files, by name.
RecordNumber RecordOf(const std::string& path, const std::string& name, bool deleted) {
  disk::VolumeContext ctx;
  EXPECT_TRUE(Prepare(path, ctx));
  if (deleted) {
    disk::OperationState op;
    test::RecordingHost host;
    ScanMft(ctx, op, host, 0, "");
    for (const auto& row : host.rows) {
      if (row.name == name) return static_cast<RecordNumber>(std::stoul(row.number));
    }
  } else {
    for (RecordNumber n = 16; n < MftRecordCount(ctx); ++n) {
      std::vector<std::uint8_t> record(ctx.mftRecordSize);
      if (!ReadMftRecord(ctx, n, record) || !RecordInUse(record)) continue;
      auto found = FindRecordName(ctx, record);
      if (found && found->name == name) return n;
    }
  }
  ADD_FAILURE() << name << " not found";
  return 0;
}

NtfsClusterSurvey SurveyOf(const std::string& path) {
  disk::VolumeContext ctx;
  EXPECT_TRUE(Prepare(path, ctx));
  return SurveyNtfsClusters(ctx);
}

// Changes the LCN of the first run of a record's unnamed $DATA (a run list
// "21 LL OO OO": one length byte, two offset bytes).
void MoveFirstRun(const std::string& path, RecordNumber n, std::uint16_t lcn) {
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  const RecordSpot spot = Locate(ctx, n, kAttrData);
  auto image = test::ReadFileBytes(path);
  const std::uint64_t runs = spot.record + spot.attribute + disk::le16(image, spot.record + spot.attribute + 0x20);
  ASSERT_EQ(image.at(runs), 0x21);
  disk::put16(image, runs + 2, lcn);
  test::WriteFileBytes(path, image);
}

TEST(NtfsClustersInUse, ACleanVolumeIsVacantExactlyWhereTheBitmapIsFree) {
  const std::string path = CopyOfImage("clean");
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  const NtfsClusterSurvey s = SurveyNtfsClusters(ctx);
  ASSERT_TRUE(s.Usable()) << NtfsDamageReason(s.damage);
  EXPECT_EQ(s.disputedClusters + s.disputedRecords, 0u);
  std::vector<std::uint8_t> bits;
  ASSERT_TRUE(ReadWholeValue(ctx, s.bitmap, bits));
  ASSERT_EQ(s.vacant.size(), ctx.lastCluster + 1);
  std::uint64_t free = 0;
  for (std::uint64_t c = 0; c <= ctx.lastCluster; ++c) {
    EXPECT_EQ(s.vacant.Test(c), !IsBitSet(bits, c)) << c;
    free += !IsBitSet(bits, c);
  }
  EXPECT_GT(free, 1000u);
  for (RecordNumber n = 0; n < 16; ++n) EXPECT_TRUE(s.recordsInUse.Test(n)) << n;
}

TEST(NtfsClustersInUse, ALiveFileInFreeClustersIsRefused) {
  const std::string path = CopyOfImage("live-in-free");
  MoveFirstRun(path, RecordOf(path, "keep.bin", false), 0x0E00);
  EXPECT_EQ(SurveyOf(path).damage, NtfsDamage::LiveInFree);
}

TEST(NtfsClustersInUse, TwoLiveFilesSharingClustersAreRefused) {
  // report.bin's three clusters moved into keep.bin's thirteen: every one
  // of them in use in the bitmap, but claimed twice.
  const std::string path = CopyOfImage("shared");
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  ASSERT_TRUE(ReadMftRecord(ctx, RecordOf(path, "keep.bin", false), record));
  auto data = FindAttribute(ctx, record, kAttrData);
  ASSERT_TRUE(data);
  Lcn lcn = 0;
  std::uint64_t left = 0;
  ASSERT_TRUE(MapVcn(*data, 0, lcn, left));
  ASSERT_GE(left, 3u);
  ctx = {};
  MoveFirstRun(path, RecordOf(path, "report.bin", false), static_cast<std::uint16_t>(lcn));
  EXPECT_EQ(SurveyOf(path).damage, NtfsDamage::SharedClusters);
}

TEST(NtfsClustersInUse, ATornRecordInUseIsRefused) {
  const std::string path = CopyOfImage("torn");
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  const RecordSpot spot = Locate(ctx, RecordOf(path, "keep.bin", false), kAttrData);
  ctx = {};
  auto image = test::ReadFileBytes(path);
  image[spot.record + 510] ^= 0x01;  // the first sector's update-sequence tail
  test::WriteFileBytes(path, image);
  EXPECT_EQ(SurveyOf(path).damage, NtfsDamage::RecordUnreadable);
}

// A deleted record whose second sector does not end in the update sequence
// number (written only in part) is no record to read for any path: the
// search does not list it, the restore refuses it, the wipe leaves it and
// tells it, as The Sleuth Kit refuses it.
TEST(NtfsClustersInUse, ATornDeletedRecordIsRefusedByEveryPath) {
  const std::string path = CopyOfImage("torn-deleted");
  const RecordNumber secret = RecordOf(path, "Secret Long Name.dat", true);
  ASSERT_GE(secret, 16u);
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  const RecordSpot spot = Locate(ctx, secret, kAttrData);
  ctx = {};
  auto image = test::ReadFileBytes(path);
  image[spot.record + 1022] ^= 0x01;  // the second sector's update-sequence tail
  test::WriteFileBytes(path, image);
  EXPECT_EQ(test::RunCommand("fls -rd '" + path + "' | grep -c 'Secret Long Name'"), "0\n");

  ASSERT_TRUE(Prepare(path, ctx));
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  EXPECT_FALSE(ReadMftRecord(ctx, secret, record));
  disk::OperationState op;
  test::RecordingHost host;
  ScanMft(ctx, op, host, 0, "");
  EXPECT_FALSE(host.rows.empty());
  for (const auto& row : host.rows) EXPECT_NE(row.name, "Secret Long Name.dat");
  const std::string restored = test::MakeTempDir("ntfs-torn-restore") + "/secret.dat";
  EXPECT_FALSE(RestoreNtfsFile(ctx, host, secret, restored));
  EXPECT_FALSE(fs::exists(restored));
  const NtfsClusterSurvey survey = SurveyNtfsClusters(ctx);
  ASSERT_TRUE(survey.Usable());
  EXPECT_EQ(survey.tornRecords, 1u);
  EXPECT_TRUE(survey.recordsInUse.Test(secret));
  ctx = {};

  ASSERT_TRUE(Prepare(path, ctx, true));
  test::RecordingHost wipeHost;
  wipeHost.answers = {true};
  const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, wipeHost);
  ctx = {};
  EXPECT_GT(r.entriesWiped, 0u);
  EXPECT_EQ(r.entriesDisputed, 1u);
  EXPECT_EQ(wipeHost.events.back(),
            "message: 1 deleted file record on C:\\ drive was not overwritten: the volume's own records disagree on "
            "whether it is in use.\n\nWhat it holds may still be restored.");
  const auto after = test::ReadFileBytes(path);
  EXPECT_TRUE(std::equal(after.begin() + static_cast<std::ptrdiff_t>(spot.record),
                         after.begin() + static_cast<std::ptrdiff_t>(spot.record + 1024),
                         image.begin() + static_cast<std::ptrdiff_t>(spot.record)));
  // Every other deleted record was scrubbed whole: the search finds nothing.
  ASSERT_TRUE(Prepare(path, ctx));
  test::RecordingHost after2;
  ScanMft(ctx, op, after2, 0, "");
  EXPECT_TRUE(after2.rows.empty());
}

TEST(NtfsClustersInUse, TheMftCallingASystemRecordFreeIsRefused) {
  const std::string path = CopyOfImage("system-record");
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  auto bitmap = CollectRuns(ctx, ctx.mftSelfRecord, kAttrBitmap);
  ASSERT_TRUE(bitmap && !bitmap->resident);
  const std::uint64_t at = bitmap->runs.at(0).lcn * ctx.bytesPerCluster;
  ctx = {};
  auto image = test::ReadFileBytes(path);
  image[at] &= ~0x40;  // record 6, the volume bitmap
  test::WriteFileBytes(path, image);
  EXPECT_EQ(SurveyOf(path).damage, NtfsDamage::SystemRecordFree);
}

TEST(NtfsClustersInUse, RunListsAreDecodedStrictly) {
  // "21 04 10 00 01 02 00": four clusters at 16, then two sparse ones.
  auto attribute = [](std::vector<std::uint8_t> runs, std::uint64_t highest) {
    std::vector<std::uint8_t> a(0x40 + runs.size(), 0);
    disk::put32(a, 0, kAttrData);
    disk::put32(a, 4, static_cast<std::uint32_t>(a.size()));
    a[8] = 1;
    disk::put64(a, 0x18, highest);
    disk::put16(a, 0x20, 0x40);
    std::copy(runs.begin(), runs.end(), a.begin() + 0x40);
    return a;
  };
  std::vector<ClusterRun> out;
  auto a = attribute({0x21, 0x04, 0x10, 0x00, 0x01, 0x02, 0x00}, 5);
  ASSERT_TRUE(DecodeRuns(Attribute{a}, 100, out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].lcn, 16u);
  EXPECT_EQ(out[0].length, 4u);
  EXPECT_TRUE(out[1].sparse);
  EXPECT_EQ(out[1].vcn, 4u);
  // The boot sector's run: offset bytes that say 0 are cluster 0, not sparse.
  out.clear();
  a = attribute({0x11, 0x02, 0x00, 0x00}, 1);
  ASSERT_TRUE(DecodeRuns(Attribute{a}, 100, out));
  EXPECT_FALSE(out.at(0).sparse);
  EXPECT_EQ(out.at(0).lcn, 0u);
  // A sparse run longer than the volume: a sparse file larger than the disk.
  out.clear();
  a = attribute({0x04, 0x00, 0x00, 0x00, 0x01, 0x00}, 0xFFFFFF);
  ASSERT_TRUE(DecodeRuns(Attribute{a}, 100, out));
  EXPECT_TRUE(out.at(0).sparse);
  for (const auto& bad : {attribute({0x21, 0x00, 0x10, 0x00, 0x00}, 0),       // a run of no clusters
                          attribute({0x21, 0x04, 0x61, 0x00, 0x00}, 3),       // past the volume
                          attribute({0x21, 0x04, 0x10, 0x00, 0x00}, 4),       // VCNs not covered
                          attribute({0x21, 0x04, 0x10, 0x00, 0x11, 0x01, 0xEF}, 4)}) {  // below cluster 0
    out.clear();
    EXPECT_FALSE(DecodeRuns(Attribute{bad}, 100, out));
  }
  std::vector<std::uint8_t> unended = attribute({0x21, 0x04, 0x10, 0x00}, 3);
  unended.pop_back();
  disk::put32(unended, 4, static_cast<std::uint32_t>(unended.size()));
  EXPECT_FALSE(DecodeRuns(Attribute{unended}, 100, out));
}

// A deleted record whose bit the MFT bitmap still sets: neither the record
// nor the clusters its runs name are overwritten, and the user is told.
TEST(NtfsClustersInUse, ADeletedRecordTheMftBitmapKeepsIsLeftAndTold) {
  const std::string path = CopyOfImage("disputed");
  const RecordNumber secret = RecordOf(path, "Secret Long Name.dat", true);
  ASSERT_GE(secret, 16u);
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  auto bitmap = CollectRuns(ctx, ctx.mftSelfRecord, kAttrBitmap);
  ASSERT_TRUE(bitmap && !bitmap->resident);
  const RecordSpot spot = Locate(ctx, secret, kAttrData);
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  ASSERT_TRUE(ReadMftRecord(ctx, secret, record));
  auto data = FindAttribute(ctx, record, kAttrData);
  ASSERT_TRUE(data);
  std::vector<ClusterRun> runs;
  ASSERT_TRUE(DecodeRuns(*data, 4096, runs));
  const std::uint64_t cs = ctx.bytesPerCluster;
  ctx = {};
  auto image = test::ReadFileBytes(path);
  image[bitmap->runs.at(0).lcn * cs + secret / 8] |= static_cast<std::uint8_t>(1u << (secret % 8));
  test::WriteFileBytes(path, image);

  ASSERT_TRUE(Prepare(path, ctx, true));
  disk::OperationState op;
  test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, host);
  ctx = {};
  std::uint64_t clusters = 0;
  for (const auto& run : runs) clusters += run.sparse ? 0 : run.length;
  EXPECT_EQ(r.clustersDisputed, clusters);
  EXPECT_EQ(r.entriesDisputed, 1u);
  EXPECT_GT(r.entriesWiped, 0u);
  EXPECT_FALSE(r.Complete());
  EXPECT_EQ(host.events.back(), "message: " + std::to_string(clusters) +
                                    " clusters and 1 deleted file record on C:\\ drive were not overwritten: the "
                                    "volume's own records disagree on whether they are in use.\n\nWhat they hold may "
                                    "still be restored.");
  const auto after = test::ReadFileBytes(path);
  EXPECT_TRUE(std::equal(after.begin() + spot.record, after.begin() + spot.record + 1024, image.begin() + spot.record));
  for (const auto& run : runs) {
    const auto at = static_cast<std::ptrdiff_t>(run.lcn * cs);
    EXPECT_TRUE(std::equal(after.begin() + at, after.begin() + at + run.length * cs, image.begin() + at));
  }
}

// Writes go to the inner device; the first time a read covers `watch`
// after `armed` is set, the byte there is changed on the device, as
// another program writing to the volume would.
class MeddlingDevice : public platform::BlockDevice {
 public:
  explicit MeddlingDevice(std::shared_ptr<platform::MemoryDevice> inner) : inner_(std::move(inner)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    const bool ok = inner_->ReadAt(offset, out);
    if (armed && watch >= offset && watch - offset < out.size()) {
      armed = false;
      inner_->Bytes()[watch] ^= 0x01;
    }
    return ok;
  }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override { return inner_->WriteAt(offset, in); }
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return true; }
  bool Flush() override { return !failFlush; }
  bool armed = false;
  bool failFlush = false;
  std::uint64_t watch = 0;

 private:
  std::shared_ptr<platform::MemoryDevice> inner_;
};

TEST(NtfsClustersInUse, AnMftPieceTheGuardedWriteLeavesIsToldAsAFailedWrite) {
  const std::string path = CopyOfImage("meddled");
  const RecordNumber secret = RecordOf(path, "Secret Long Name.dat", true);
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  const RecordSpot spot = Locate(ctx, secret, kAttrData);
  auto memory = std::make_shared<platform::MemoryDevice>(test::ReadFileBytes(path));
  auto device = std::make_shared<MeddlingDevice>(memory);
  ctx.volumeHandle = device;
  NtfsClusterSurvey survey = SurveyNtfsClusters(ctx);
  ASSERT_TRUE(survey.Usable());
  // A byte near the end of the deleted record changes between the chunk's
  // read and the guarded write's own read.
  device->watch = spot.record + 1000;
  device->armed = true;
  disk::OperationState op;
  test::RecordingHost host;
  host.answers = {true};
  ASSERT_TRUE(RecheckVolumeBitmap(ctx, survey));
  disk::WipeResult r;
  platform::RandomSource random;
  ReplaceFileRecords(ctx, op, host, random, r, &survey.recordsInUse);
  EXPECT_EQ(r.piecesSkipped, 1u);
  EXPECT_GT(r.entriesFailed, 0u);
  EXPECT_FALSE(r.Complete());
  EXPECT_EQ(NtfsWipeFailureText("C:\\", r),
            std::to_string(r.entriesFailed) + (r.entriesFailed == 1 ? " deleted file record" : " deleted file records") +
                " on C:\\ drive could not be overwritten.\n\nWhat they hold may still be restored.");
}

TEST(NtfsClustersInUse, AFailedFlushIsAFailedWrite) {
  const std::string path = CopyOfImage("flush");
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  auto device = std::make_shared<MeddlingDevice>(std::make_shared<platform::MemoryDevice>(test::ReadFileBytes(path)));
  device->failFlush = true;
  ctx.volumeHandle = device;
  disk::OperationState op;
  test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, host);
  EXPECT_EQ(r.clustersWiped, 0u);
  EXPECT_GT(r.clustersFailed, 1000u);
  EXPECT_FALSE(r.phase2Ran);
  EXPECT_EQ(host.events.back(), "message: " + std::to_string(r.clustersFailed) +
                                    " vacant clusters on C:\\ drive could not be overwritten.\n\nWhat they hold may "
                                    "still be restored.");
}

}  // namespace
}  // namespace ambrelic::ntfs

namespace ambrelic::ntfs {
namespace {

// Puts a record's update sequence in place: the last two bytes of each
// 512-byte block saved in the array, the sequence number put there.
void Protect(std::vector<std::uint8_t>& r) {
  const std::size_t usa = disk::le16(r, 0x04), count = disk::le16(r, 0x06);
  for (std::size_t i = 1; i < count; ++i) {
    r[usa + 2 * i] = r[i * 512 - 2];
    r[usa + 2 * i + 1] = r[i * 512 - 1];
    r[i * 512 - 2] = r[usa];
    r[i * 512 - 1] = r[usa + 1];
  }
}

// A volume bitmap whose $DATA lies in two extents: VCNs 0-3 in record 6,
// VCNs 4-7 in extension record 20, reached through an attribute list (no
// tool writes one for so small a volume). A free cluster whose bit lies
// in the second extent is wiped like any other.
TEST(NtfsClustersInUse, TheVolumeBitmapIsReadThroughEveryExtent) {
  const std::string path = test::MakeTempDir("ntfs-two-extents") + "/volume.img";
  int rc = -1;
  test::RunCommand("truncate -s 16M '" + path + "' && mkntfs -F -Q -q -c 512 -s 512 '" + path + "' >/dev/null 2>&1", &rc);
  ASSERT_EQ(rc, 0);
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  ASSERT_EQ(ctx.bytesPerCluster, 512u);
  ASSERT_EQ(ctx.mftRecordSize, 1024u);
  const std::uint64_t mft = ctx.mftStartCluster * 512;
  std::vector<std::uint8_t> six(1024), twenty(1024);
  ASSERT_TRUE(ReadMftRecord(ctx, 6, six));
  ASSERT_TRUE(ReadMftRecord(ctx, 20, twenty));
  auto bitmap = CollectRuns(ctx, six, kAttrData);
  ASSERT_TRUE(bitmap && bitmap->runs.size() == 1 && bitmap->runs[0].length == 8);
  const Lcn lcn = bitmap->runs[0].lcn;
  auto mftBitmap = CollectRuns(ctx, ctx.mftSelfRecord, kAttrBitmap);
  ASSERT_TRUE(mftBitmap && !mftBitmap->resident);
  ctx = {};

  // Record 6: its attributes, with an attribute list after the standard
  // information and the $DATA cut to its first four clusters.
  std::vector<std::vector<std::uint8_t>> attributes;
  for (std::size_t at = disk::le16(six, 0x14); disk::le32(six, at) != kAttrEnd; at += disk::le32(six, at + 4)) {
    attributes.emplace_back(six.begin() + at, six.begin() + at + disk::le32(six, at + 4));
  }
  ASSERT_EQ(attributes.size(), 3u);
  std::vector<std::uint8_t>& data = attributes[2];
  ASSERT_EQ(disk::le32(data, 0), kAttrData);
  disk::put64(data, 0x18, 3);
  data[disk::le16(data, 0x20) + 1] = 4;  // "21 08 LL LL" -> "21 04 LL LL"
  const std::uint64_t seq = disk::le16(six, 0x10);
  std::vector<std::uint8_t> list(24, 0);
  auto entry = [&](std::uint32_t type, Vcn vcn, std::uint64_t record, std::uint16_t id) {
    std::vector<std::uint8_t> e(32, 0);
    disk::put32(e, 0, type);
    disk::put16(e, 4, 32);
    e[7] = 0x1A;
    disk::put64(e, 8, vcn);
    disk::put64(e, 0x10, record | ((record == 6 ? seq : 1) << 48));
    disk::put16(e, 0x18, id);
    list.insert(list.end(), e.begin(), e.end());
  };
  entry(0x10, 0, 6, disk::le16(attributes[0], 0x0E));
  entry(0x30, 0, 6, disk::le16(attributes[1], 0x0E));
  entry(0x80, 0, 6, disk::le16(data, 0x0E));
  entry(0x80, 4, 20, 0);
  disk::put32(list, 0, kAttrAttributeList);
  disk::put32(list, 4, static_cast<std::uint32_t>(list.size()));
  disk::put16(list, 0x0E, 7);
  disk::put32(list, 0x10, static_cast<std::uint32_t>(list.size() - 24));
  disk::put16(list, 0x14, 24);
  attributes.insert(attributes.begin() + 1, list);
  std::vector<std::uint8_t> rebuilt(six.begin(), six.begin() + disk::le16(six, 0x14));
  for (const auto& a : attributes) rebuilt.insert(rebuilt.end(), a.begin(), a.end());
  for (std::uint32_t v : {kAttrEnd, 0u}) rebuilt.insert(rebuilt.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
  disk::put32(rebuilt, 0x18, static_cast<std::uint32_t>(rebuilt.size()));
  disk::put16(rebuilt, 0x28, 8);
  rebuilt.resize(1024, 0);

  // Record 20: an extension of record 6 holding VCNs 4-7.
  std::vector<std::uint8_t> extension(twenty.begin(), twenty.begin() + 0x38);
  std::vector<std::uint8_t> tail(0x48, 0);
  disk::put32(tail, 0, kAttrData);
  disk::put32(tail, 4, 0x48);
  tail[8] = 1;
  tail[0x0A] = 0x40;
  disk::put64(tail, 0x10, 4);
  disk::put64(tail, 0x18, 7);
  disk::put16(tail, 0x20, 0x40);
  const Lcn second = lcn + 4;
  const std::uint8_t runs[] = {0x21, 0x04, std::uint8_t(second), std::uint8_t(second >> 8), 0};
  std::copy(std::begin(runs), std::end(runs), tail.begin() + 0x40);
  extension.insert(extension.end(), tail.begin(), tail.end());
  for (std::uint32_t v : {kAttrEnd, 0u}) extension.insert(extension.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)});
  disk::put16(extension, 0x14, 0x38);
  disk::put16(extension, 0x16, 1);
  disk::put32(extension, 0x18, static_cast<std::uint32_t>(extension.size()));
  disk::put64(extension, 0x20, 6 | (seq << 48));
  disk::put16(extension, 0x28, 1);
  extension.resize(1024, 0);

  auto image = test::ReadFileBytes(path);
  Protect(rebuilt);
  Protect(extension);
  std::copy(rebuilt.begin(), rebuilt.end(), image.begin() + static_cast<std::ptrdiff_t>(mft + 6 * 1024));
  std::copy(extension.begin(), extension.end(), image.begin() + static_cast<std::ptrdiff_t>(mft + 20 * 1024));
  image[mftBitmap->runs[0].lcn * 512 + 2] |= 0x10;  // record 20 in use
  // A free cluster whose bit lies in the second extent, holding old bytes.
  Lcn victim = 0;
  for (Lcn c = 8 * 4 * 512; c < 32000 && victim == 0; ++c) {
    if ((image[lcn * 512 + c / 8] >> (c % 8) & 1) == 0) victim = c;
  }
  ASSERT_NE(victim, 0u);
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(victim * 512), 512, 0xAB);
  test::WriteFileBytes(path, image);

  ASSERT_TRUE(Prepare(path, ctx, true));
  const NtfsClusterSurvey s = SurveyNtfsClusters(ctx);
  ASSERT_TRUE(s.Usable()) << NtfsDamageReason(s.damage);
  ASSERT_EQ(s.bitmap.runs.size(), 2u);
  EXPECT_TRUE(s.vacant.Test(victim));
  disk::OperationState op;
  test::RecordingHost host;
  const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, host);
  EXPECT_TRUE(r.Complete());
  ctx = {};
  const auto after = test::ReadFileBytes(path);
  EXPECT_TRUE(std::all_of(after.begin() + static_cast<std::ptrdiff_t>(victim * 512),
                          after.begin() + static_cast<std::ptrdiff_t>(victim * 512 + 512), [](auto b) { return b == 0; }));
  // Both extents' own clusters are in use and kept.
  EXPECT_EQ(std::vector<std::uint8_t>(after.begin() + static_cast<std::ptrdiff_t>(lcn * 512),
                                      after.begin() + static_cast<std::ptrdiff_t>((lcn + 8) * 512)),
            std::vector<std::uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(lcn * 512),
                                      image.begin() + static_cast<std::ptrdiff_t>((lcn + 8) * 512)));
}

}  // namespace
}  // namespace ambrelic::ntfs

namespace ambrelic::ntfs {
namespace {

// The volume bitmap's sizes, as a damaged record may give them: a real size
// far past the volume is read no further than one bit per cluster, and
// what lies past the initialized size (zeros to any reader) is not free.
TEST(NtfsClustersInUse, TheVolumeBitmapIsReadOnlyAsFarAsItHoldsBitsForTheVolume) {
  const std::string path = CopyOfImage("bitmap-sizes");
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx));
  const NtfsClusterSurvey clean = SurveyNtfsClusters(ctx);
  ASSERT_TRUE(clean.Usable());
  const RecordSpot spot = Locate(ctx, 6, kAttrData);
  const std::uint64_t attribute = spot.record + spot.attribute;
  const auto original = test::ReadFileBytes(path);
  ASSERT_EQ(original.at(attribute + 8), 1) << "the bitmap is not resident";

  // Real and initialized size of a terabyte of bits: nothing more to read,
  // nothing called vacant that the clean volume does not call vacant.
  auto bytes = original;
  disk::put64(bytes, attribute + 0x30, std::uint64_t{1} << 40);
  disk::put64(bytes, attribute + 0x38, std::uint64_t{1} << 40);
  test::WriteFileBytes(path, bytes);
  ASSERT_TRUE(Prepare(path, ctx));
  NtfsClusterSurvey s = SurveyNtfsClusters(ctx);
  ASSERT_TRUE(s.Usable()) << NtfsDamageReason(s.damage);
  EXPECT_EQ(s.vacant.Count(), clean.vacant.Count());

  // Initialized only for the first 64 clusters: the rest is not vacant.
  bytes = original;
  disk::put64(bytes, attribute + 0x38, 8);
  test::WriteFileBytes(path, bytes);
  ASSERT_TRUE(Prepare(path, ctx));
  s = SurveyNtfsClusters(ctx);
  ASSERT_TRUE(s.Usable()) << NtfsDamageReason(s.damage);
  EXPECT_EQ(s.vacant.CountRange(64, s.vacant.size()), 0u);
  EXPECT_EQ(s.vacant.CountRange(0, 64), clean.vacant.CountRange(0, 64));
  EXPECT_TRUE(RecheckVolumeBitmap(ctx, s));
  EXPECT_EQ(s.vacant.CountRange(64, s.vacant.size()), 0u);
}

}  // namespace
}  // namespace ambrelic::ntfs
