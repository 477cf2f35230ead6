// The NTFS wipe on an image made by mkntfs and ntfs-3g: free clusters end as
// zeros, deleted records from 16 on as empty scrubbed records, while the
// system records, the records in use and every live file keep their bytes;
// plus the guarded MFT write against a disk changed under it.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_scan.h"
#include "ntfs/wipe.h"
#include "ntfs_builder.h"
#include "support/test_support.h"
#include "ntfs/map_vcn.h"

namespace ambrelic::ntfs {
namespace {

namespace fs = std::filesystem;

std::string Image() { return test::FixtureImage("make_wipe_images.sh", "wipe-ntfs.img"); }

std::string CopyOfImage(const std::string& tag) {
  const std::string path = test::MakeTempDir("ntfs-wipe-" + tag) + "/volume.img";
  fs::copy_file(Image(), path, fs::copy_options::overwrite_existing);
  return path;
}

class FailingDevice : public platform::BlockDevice {
 public:
  explicit FailingDevice(platform::DevicePtr inner) : inner_(std::move(inner)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override { return inner_->ReadAt(offset, out); }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override {
    ++writes;
    return refuse ? false : inner_->WriteAt(offset, in);
  }
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return true; }
  bool refuse = false;
  long writes = 0;

 private:
  platform::DevicePtr inner_;
};

bool Prepare(const std::string& path, disk::VolumeContext& ctx, bool writable) {
  auto opened = platform::OpenFileDevice(path, 0, 0, writable);
  if (!opened.device) return false;
  ctx = disk::VolumeContext{};
  ctx.fsKind = disk::FsKind::Ntfs;
  ctx.SearchedRoot = "C:\\";
  ctx.volumeHandle = opened.device;
  return PrepareNtfsVolume(ctx);
}

// The raw MFT (records as on disk, without fixups).
std::vector<std::uint8_t> RawMft(const disk::VolumeContext& ctx) {
  std::vector<std::uint8_t> base(ctx.mftSelfRecord);
  auto data = FindAttribute(ctx, base, kAttrData);
  if (!data) return {};
  const std::uint32_t cs = ctx.bytesPerCluster;
  const std::uint64_t size = AttributeDataSize(*data);
  std::vector<std::uint8_t> mft((size + cs - 1) / cs * cs);
  ReadAttributeClusters(ctx, ctx.mftSelfRecord, kAttrData, 0, static_cast<std::uint32_t>(mft.size() / cs), mft, 0);
  mft.resize(size);
  return mft;
}

std::vector<std::uint8_t> VolumeBitmapOf(const disk::VolumeContext& ctx) {
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  if (!ReadMftRecord(ctx, 6, record)) return {};
  auto data = FindAttribute(ctx, record, kAttrData);
  if (!data) return {};
  return ReadAttributeValue(ctx, *data);
}

bool Qualifies(disk::Bytes record, std::uint64_t number) {
  return number >= 16 && HasFileSignature(record) && !RecordInUse(record);
}

// Inode numbers of the live files, by path, from fls.
std::map<std::string, std::string> LiveInodes(const std::string& path) {
  std::map<std::string, std::string> inodes;
  std::istringstream in(test::RunCommand("fls -r -p -u '" + path + "'"));
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(":\t");
    if (colon == std::string::npos || line.find(" * ") != std::string::npos) continue;
    const auto space = line.rfind(' ', colon);
    inodes[line.substr(colon + 2)] = line.substr(space + 1, colon - space - 1);
  }
  return inodes;
}

TEST(NtfsWipeImage, BothPhasesLeaveOnlyLiveDataAndScrubbedRecords) {
  test::UseUtf8Locale();
  const std::string path = CopyOfImage("both");
  disk::VolumeContext orig;
  ASSERT_TRUE(Prepare(Image(), orig, false));
  const auto mftBefore = RawMft(orig);
  const auto bitmap = VolumeBitmapOf(orig);
  ASSERT_FALSE(mftBefore.empty());
  ASSERT_FALSE(bitmap.empty());

  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx, true));
  disk::OperationState op;
  test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, host);
  EXPECT_FALSE(r.cancelled);
  EXPECT_TRUE(r.phase2Ran);
  EXPECT_GT(r.clustersWiped, 0u);
  EXPECT_GT(r.entriesWiped, 0u);
  EXPECT_EQ(r.clustersFailed + r.entriesFailed + r.piecesSkipped, 0u);
  const std::string question =
      "question: Vacant clusters on C:\\ drive have been replaced.\n\nDo you want replace file records, too?";
  EXPECT_EQ(std::count(host.events.begin(), host.events.end(), question), 1);
  ASSERT_EQ(host.progress.size(), 2u);
  EXPECT_EQ(host.progress[0]->label, "Cluster:");
  EXPECT_EQ(host.progress[0]->fileNames, std::vector<std::string>{"Replacing vacant clusters."});
  EXPECT_EQ(host.progress[1]->label, "File No:");
  EXPECT_EQ(host.progress[1]->fileNames, std::vector<std::string>{"Replacing file records."});
  ctx = {};

  // Every free cluster is zeros.
  const auto after = test::ReadFileBytes(path);
  const std::uint32_t cs = orig.bytesPerCluster;
  for (std::uint64_t c = 0; c <= orig.lastCluster; ++c) {
    if (IsBitSet(bitmap, c)) continue;
    const std::size_t at = static_cast<std::size_t>(c) * cs;
    ASSERT_LE(at + cs, after.size());
    ASSERT_TRUE(std::all_of(after.begin() + at, after.begin() + at + cs, [](auto b) { return b == 0; }))
        << "free cluster " << c;
  }

  // Records: 0-15 and records in use unchanged; deleted ones scrubbed.
  disk::VolumeContext wiped;
  ASSERT_TRUE(Prepare(path, wiped, false));
  const auto mftAfter = RawMft(wiped);
  ASSERT_EQ(mftAfter.size(), mftBefore.size());
  const std::size_t rs = orig.mftRecordSize;
  std::size_t scrubbed = 0;
  for (std::size_t n = 0; (n + 1) * rs <= mftBefore.size(); ++n) {
    const disk::Bytes b(mftBefore.data() + n * rs, rs);
    const disk::Bytes a(mftAfter.data() + n * rs, rs);
    if (!Qualifies(b, n)) {
      EXPECT_TRUE(std::equal(b.begin(), b.end(), a.begin())) << "record " << n << " changed";
      continue;
    }
    ++scrubbed;
    EXPECT_EQ(disk::le32(a, 0), kFileSignature) << n;
    EXPECT_EQ(disk::le16(a, 0x04), 0x30) << n;
    EXPECT_EQ(disk::le16(a, 0x06), 3) << n;
    EXPECT_EQ(disk::le64(a, 0x08), 0u) << n;
    EXPECT_EQ(disk::le32(a, 0x10), 0u) << n;
    EXPECT_EQ(disk::le16(a, 0x14), 0x38) << n;
    EXPECT_EQ(disk::le16(a, 0x16), 0) << n;
    EXPECT_EQ(disk::le32(a, 0x18), 0x40u) << n;
    EXPECT_EQ(disk::le32(a, 0x1C), disk::le32(b, 0x1C)) << n;
    EXPECT_EQ(disk::le64(a, 0x20), 0u) << n;
    EXPECT_EQ(disk::le64(a, 0x28), disk::le64(b, 0x28)) << n;
    EXPECT_EQ(disk::le64(a, 0x30), 0u) << n;
    EXPECT_EQ(disk::le32(a, 0x38), 0xFFFFFFFFu) << n;
    EXPECT_EQ(disk::le32(a, 0x3C), 0u) << n;
    EXPECT_TRUE(std::all_of(a.begin() + 0x40, a.end(), [](auto x) { return x == 0; })) << n;
  }
  EXPECT_EQ(scrubbed, r.entriesWiped);

  // Live files read back byte for byte (The Sleuth Kit), and it finds no
  // deleted name.
  const auto inodes = LiveInodes(path);
  const fs::path originals = fs::path(Image()).parent_path() / "wipe-ntfs-live";
  std::ifstream list(fs::path(Image()).parent_path() / "wipe-ntfs-live.txt");
  int files = 0;
  for (std::string f; std::getline(list, f);) {
    if (f.empty()) continue;
    ++files;
    ASSERT_TRUE(inodes.count(f)) << f;
    const std::string out = test::MakeTempDir("ntfs-wipe-icat") + "/file";
    test::RunCommand("icat '" + path + "' " + inodes.at(f) + " > '" + out + "'");
    EXPECT_EQ(test::Sha256Of(out), test::Sha256Of((originals / f).string())) << f;
  }
  EXPECT_EQ(files, 3);
  const std::string deleted = test::RunCommand("fls -r -d -p '" + path + "'");
  for (const char* name : {"gone.txt", "oldtree", "Secret Long Name.dat", "inner.bin", "top.txt"}) {
    EXPECT_EQ(deleted.find(name), std::string::npos) << name << " in\n" << deleted;
  }

  // ntfs-3g still takes the volume: ntfsfix finds nothing to mend, and a
  // read-only mount shows the live files with their bytes.
  int status = -1;
  const std::string report = test::RunCommand("ntfsfix -n '" + path + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << report;
  const std::string mountPoint = test::MakeTempDir("ntfs-wipe-mnt");
  const std::string mountReport = test::RunCommand("ntfs-3g -o ro '" + path + "' '" + mountPoint + "' 2>&1", &status);
  ASSERT_EQ(status, 0) << mountReport;
  std::ifstream again(fs::path(Image()).parent_path() / "wipe-ntfs-live.txt");
  for (std::string f; std::getline(again, f);) {
    if (!f.empty()) {
      EXPECT_EQ(test::Sha256Of(mountPoint + "/" + f), test::Sha256Of((originals / f).string())) << f;
    }
  }
  test::RunCommand("umount '" + mountPoint + "'");
}

TEST(NtfsWipeImage, TotalSectorsClaimingMoreThanTheDeviceWipeOnlyTheDevice) {
  // The same volume claiming 2^64 - 16 sectors: the wipe ends after the
  // clusters the image holds and writes the same clusters as on the
  // volume as it is.
  const std::string claimed = CopyOfImage("claimed");
  const std::string plain = CopyOfImage("plain");
  {
    std::fstream f(claimed, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0x28);
    const char huge[8] = {'\xF0', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'};
    f.write(huge, 8);
  }
  disk::WipeResult results[2];
  int i = 0;
  for (const std::string& path : {claimed, plain}) {
    disk::VolumeContext ctx;
    ASSERT_TRUE(Prepare(path, ctx, true));
    // Not the last cluster, which holds the copy of the boot sector.
    EXPECT_EQ(ctx.lastCluster + 2, fs::file_size(path) / ctx.bytesPerCluster);
    disk::OperationState op;
    test::RecordingHost host;
    results[i++] = WipeVacantNtfsClusters(ctx, op, host);
  }
  EXPECT_EQ(results[0].clustersWiped, results[1].clustersWiped);
  EXPECT_EQ(results[0].clustersFailed, 0u);
  auto a = test::ReadFileBytes(claimed), b = test::ReadFileBytes(plain);
  ASSERT_EQ(a.size(), b.size());
  std::fill_n(a.begin() + 0x28, 8, 0);
  std::fill_n(b.begin() + 0x28, 8, 0);
  EXPECT_TRUE(a == b);
}

TEST(NtfsWipeImage, NoToTheQuestionLeavesTheMft) {
  const std::string path = CopyOfImage("phase1");
  disk::VolumeContext orig;
  ASSERT_TRUE(Prepare(Image(), orig, false));
  const auto mftBefore = RawMft(orig);
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx, true));
  disk::OperationState op;
  test::RecordingHost host;
  const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, host);
  EXPECT_FALSE(r.phase2Ran);
  EXPECT_GT(r.clustersWiped, 0u);
  EXPECT_EQ(host.progress.size(), 1u);
  ctx = {};
  disk::VolumeContext wiped;
  ASSERT_TRUE(Prepare(path, wiped, false));
  EXPECT_EQ(RawMft(wiped), mftBefore);
}

TEST(NtfsWipeImage, CancelEndsEverythingWithoutTheQuestion) {
  const std::string path = CopyOfImage("cancel");
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx, true));
  disk::OperationState op;
  test::RecordingHost host;
  host.answers = {true};
  host.cancelAfterChecks = 10;
  const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, host);
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.phase2Ran);
  for (const auto& e : host.events) EXPECT_EQ(e.rfind("question:", 0), std::string::npos) << e;
}

TEST(NtfsWipeImage, FailedWritesAreCountedAndTold) {
  const std::string path = CopyOfImage("refused");
  const std::string before = test::Sha256Of(path);
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx, true));
  auto failing = std::make_shared<FailingDevice>(ctx.volumeHandle);
  failing->refuse = true;
  ctx.volumeHandle = failing;
  disk::OperationState op;
  test::RecordingHost host;
  host.answers = {true};
  const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, host);
  EXPECT_EQ(r.clustersWiped, 0u);
  EXPECT_GT(r.clustersFailed, 0u);
  // The question would say the clusters have been replaced: not asked.
  EXPECT_FALSE(r.phase2Ran);
  EXPECT_FALSE(r.Complete());
  for (const auto& e : host.events) EXPECT_EQ(e.rfind("question:", 0), std::string::npos) << e;
  ASSERT_FALSE(host.events.empty());
  EXPECT_EQ(host.events.back(), "message: " + std::to_string(r.clustersFailed) +
                                    " vacant clusters on C:\\ drive could not be overwritten.\n\nWhat they "
                                    "hold may still be restored.");
  ctx = {};
  failing.reset();
  EXPECT_EQ(test::Sha256Of(path), before);
}

// The MFT chunk that holds record n, as ReplaceFileRecords reads it.
struct Chunk {
  Vcn vcn = 0;
  std::uint32_t k = 0;
  RecordNumber first = 0;
  std::vector<std::uint8_t> bytes;
};
Chunk ChunkOf(const disk::VolumeContext& ctx, RecordNumber n) {
  Chunk c;
  const std::uint32_t cs = ctx.bytesPerCluster;
  c.k = std::max<std::uint32_t>(1, (ctx.mftRecordSize + cs - 1) / cs);
  const std::uint32_t perChunk = c.k * cs / ctx.mftRecordSize;
  c.first = n - n % perChunk;
  c.vcn = static_cast<std::uint64_t>(c.first) * ctx.mftRecordSize / cs;
  c.bytes.resize(static_cast<std::size_t>(c.k) * cs);
  ReadAttributeClusters(ctx, ctx.mftSelfRecord, kAttrData, c.vcn, c.k, c.bytes, 0);
  return c;
}

TEST(NtfsWipeImage, GuardedWriteLeavesAChunkTheDiskChangedUnderIt) {
  const std::string path = CopyOfImage("guard");
  disk::VolumeContext ctx;
  ASSERT_TRUE(Prepare(path, ctx, true));
  const auto mft = RawMft(ctx);
  RecordNumber victim = 0;
  for (std::size_t n = 16; (n + 1) * ctx.mftRecordSize <= mft.size() && victim == 0; ++n) {
    if (Qualifies(disk::Bytes(mft.data() + n * ctx.mftRecordSize, ctx.mftRecordSize), n)) victim = n;
  }
  ASSERT_NE(victim, 0u);
  Chunk chunk = ChunkOf(ctx, victim);
  std::vector<std::uint8_t> scrubbed = chunk.bytes;
  platform::RandomSource random;
  ASSERT_GT(ScrubDeletedRecords(ctx, random, chunk.first, scrubbed, scrubbed.size(), ScrubPass::Random), 0u);

  // Another program writes into the chunk after it was read.
  std::vector<std::uint8_t> changed = chunk.bytes;
  changed[changed.size() - 3] ^= 0x5A;
  Lcn lcn = 0;
  {
    std::vector<std::uint8_t> base(ctx.mftSelfRecord);
    auto data = FindAttribute(ctx, base, kAttrData);
    ASSERT_TRUE(data);
    std::uint64_t left = 0;
    ASSERT_TRUE(MapVcn(*data, chunk.vcn, lcn, left));
    ASSERT_GE(left, chunk.k);
  }
  WriteClusters(ctx, lcn, chunk.k, changed.data());
  GuardedWriteResult g = GuardedMftWrite(ctx, chunk.vcn, chunk.k, chunk.bytes, scrubbed, chunk.bytes.size());
  EXPECT_EQ(g.piecesWritten, 0u);
  EXPECT_EQ(g.piecesSkipped, 1u);
  EXPECT_EQ(ChunkOf(ctx, victim).bytes, changed);

  // Against the disk as read, the same write goes through.
  g = GuardedMftWrite(ctx, chunk.vcn, chunk.k, changed, scrubbed, chunk.bytes.size());
  EXPECT_EQ(g.piecesWritten, 1u);
  EXPECT_EQ(ChunkOf(ctx, victim).bytes, scrubbed);
  // An image equal to the old one writes nothing.
  g = GuardedMftWrite(ctx, chunk.vcn, chunk.k, scrubbed, scrubbed, chunk.bytes.size());
  EXPECT_EQ(g.piecesWritten + g.piecesSkipped, 0u);
}

TEST(NtfsWipe, VolumeBitmapIsReadNoFurtherThanTheVolumeNeeds) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit does not work under AddressSanitizer";
#else
  // 6 GiB of 2 MiB clusters (zeros past the part built here): 3071
  // clusters, 384 bytes of bitmap, all in use; record 6's $DATA claims
  // 4 GiB. Wiped with 1 GiB of address space.
  testing::VolumeBuilder b(512, 4096, 64, 1, 4);
  b.WriteCluster(3, testing::ByteVec(2u << 20, 0xFF));
  const std::uint64_t volume = 6ull << 30;
  disk::put64(b.boot(), 0x28, volume / 512 - 1);
  b.SetRecord(6, testing::RecordBuilder()
                     .Add(testing::StandardInfoAttr())
                     .Add(testing::FileNameAttr(5, u"$Bitmap", 3))
                     .Add(testing::NonResidentAttr({.runs = testing::VolumeBuilder::RunBytes(2048, 3),
                                                    .highestVcn = 2047, .allocated = 0xFFFFF000,
                                                    .real = 0xFFFFF000, .initialized = 0xFFFFF000}))
                     .Build(),
              true);
  auto ctx = b.Build();
  ctx.volumeHandle = std::make_shared<testing::ZeroExtendedDevice>(ctx.volumeHandle, volume);
  ASSERT_TRUE(PrepareNtfsVolume(ctx));
  ASSERT_EQ(ctx.lastCluster, 3070u);
  auto wipe = [&] {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 1ul << 30;
    ::setrlimit(RLIMIT_AS, &limit);
    disk::OperationState op;
    test::RecordingHost host;
    const disk::WipeResult r = WipeVacantNtfsClusters(ctx, op, host);
    std::_Exit(!r.allocationUnreadable && r.clustersWiped + r.clustersFailed == 0 ? 0 : 1);
  };
  EXPECT_EXIT(wipe(), ::testing::ExitedWithCode(0), "");
#endif
}

// A record of filler bytes with a whole update sequence (number 0x0101 at
// 0x30, one entry per 512-byte block), as the scrub takes only whole records.
void MakeWhole(std::vector<std::uint8_t>& r) {
  const std::size_t blocks = r.size() / 512;
  disk::put16(r, 0x04, 0x30);
  disk::put16(r, 0x06, static_cast<std::uint16_t>(blocks + 1));
  disk::put16(r, 0x30, 0x0101);
  for (std::size_t i = 1; i <= blocks; ++i) disk::put16(r, i * 512 - 2, 0x0101);
}

TEST(NtfsWipe, ScrubbedRecordsDeclareOneUpdateSequenceEntryPerHalfKilobyte) {
  // Records of 1, 2 and 4 KiB: 3, 5 or 9 entries (zeros, so the zeroed
  // block tails match), the end marker at the next multiple of 8 after them.
  struct Case { std::uint32_t size; std::uint16_t count; std::uint16_t first; };
  for (const Case c : {Case{1024, 3, 0x38}, Case{2048, 5, 0x40}, Case{4096, 9, 0x48}}) {
    disk::VolumeContext ctx;
    ctx.mftRecordSize = c.size;
    std::vector<std::uint8_t> r(c.size, 0xAB);
    disk::put32(r, 0, kFileSignature);
    disk::put16(r, 0x16, 0);
    MakeWhole(r);
    platform::RandomSource random;
    random.Seed(3);
    ASSERT_EQ(ScrubDeletedRecords(ctx, random, 20, r, r.size(), ScrubPass::Random), 1u);
    ASSERT_EQ(ScrubDeletedRecords(ctx, random, 20, r, r.size(), ScrubPass::Zero), 1u);
    EXPECT_EQ(disk::le16(r, 0x04), 0x30) << c.size;
    EXPECT_EQ(disk::le16(r, 0x06), c.count) << c.size;
    EXPECT_EQ(disk::le16(r, 0x14), c.first) << c.size;
    EXPECT_EQ(disk::le32(r, 0x18), c.first + 8u) << c.size;
    EXPECT_EQ(disk::le32(r, 0x1C), 0xABABABABu) << c.size;
    EXPECT_TRUE(std::all_of(r.begin() + 0x30, r.begin() + c.first, [](auto b) { return b == 0; })) << c.size;
    EXPECT_EQ(disk::le32(r, c.first), 0xFFFFFFFFu) << c.size;
    EXPECT_TRUE(std::all_of(r.begin() + c.first + 4, r.end(), [](auto b) { return b == 0; })) << c.size;
  }
}

TEST(NtfsWipe, ScrubTouchesOnlyDeletedRecordsFromSixteenOn) {
  disk::VolumeContext ctx;
  ctx.mftRecordSize = 1024;
  auto fileRecord = [](std::uint16_t flags) {
    std::vector<std::uint8_t> r(1024, 0xAB);
    disk::put32(r, 0, kFileSignature);
    disk::put16(r, 0x16, flags);
    MakeWhole(r);
    return r;
  };
  // Records 12..17: 12 deleted (system, kept), 13 not a file record, 14 in
  // use, 15 a directory in use (0x0003), 16 deleted, 17 a deleted directory.
  std::vector<std::uint8_t> buffer;
  for (auto r : {fileRecord(0), std::vector<std::uint8_t>(1024, 0x11), fileRecord(1), fileRecord(3), fileRecord(0),
                 fileRecord(2)}) {
    buffer.insert(buffer.end(), r.begin(), r.end());
  }
  const auto before = buffer;
  platform::RandomSource random;
  random.Seed(7);
  EXPECT_EQ(ScrubDeletedRecords(ctx, random, 12, buffer, buffer.size(), ScrubPass::Random), 2u);
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 4 * 1024, buffer.begin()));
  for (std::size_t n : {4u, 5u}) {
    const disk::Bytes a(buffer.data() + n * 1024, 1024);
    EXPECT_EQ(disk::le32(a, 0x1C), 0xABABABABu);
    EXPECT_EQ(disk::le64(a, 0x28), 0xABABABABABABABABull);
    EXPECT_EQ(disk::le16(a, 0x16), 0);
    EXPECT_EQ(disk::le32(a, 0x38), 0xFFFFFFFFu);
    EXPECT_FALSE(std::all_of(a.begin() + 0x40, a.end(), [](auto x) { return x == 0; }));
  }
  EXPECT_EQ(ScrubDeletedRecords(ctx, random, 12, buffer, buffer.size(), ScrubPass::Zero), 2u);
  for (std::size_t n : {4u, 5u}) {
    const disk::Bytes a(buffer.data() + n * 1024, 1024);
    EXPECT_TRUE(std::all_of(a.begin() + 0x40, a.end(), [](auto x) { return x == 0; }));
  }
  // A length that ends inside a record leaves that record alone.
  std::vector<std::uint8_t> partial = fileRecord(0);
  EXPECT_EQ(ScrubDeletedRecords(ctx, random, 16, partial, 1000, ScrubPass::Random), 0u);
  // So is a torn one: its second block does not end in the number.
  std::vector<std::uint8_t> torn = fileRecord(0);
  disk::put16(torn, 1022, 0x0202);
  const auto tornBefore = torn;
  EXPECT_EQ(ScrubDeletedRecords(ctx, random, 16, torn, torn.size(), ScrubPass::Random), 0u);
  EXPECT_EQ(torn, tornBefore);
  // What the first pass writes is whole: the second pass finds it so.
  std::vector<std::uint8_t> whole = fileRecord(0);
  ASSERT_EQ(ScrubDeletedRecords(ctx, random, 16, whole, whole.size(), ScrubPass::Random), 1u);
  std::vector<std::uint8_t> check = whole;
  EXPECT_EQ(ApplyFixups(check), Fixups::Whole);
}

TEST(NtfsWipe, FailureTextNamesOnlyWhatFailed) {
  disk::WipeResult r;
  EXPECT_EQ(NtfsWipeFailureText("C:\\", r), "");
  r.entriesFailed = 1;
  EXPECT_EQ(NtfsWipeFailureText("C:\\", r),
            "1 deleted file record on C:\\ drive could not be overwritten.\n\nWhat they hold may still be restored.");
}

}  // namespace
}  // namespace ambrelic::ntfs
