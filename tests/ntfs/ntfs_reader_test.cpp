// The MFT reader on hand-built bytes: record size, fixups, record placement,
// attribute walk and lists, run lists, cluster reads, LZNT1, and records a
// damaged or hostile volume could hold.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"
#include "ntfs/lznt1.h"
#include "ntfs/mft_record.h"
#include "ntfs/mft_scan.h"
#include "ntfs_builder.h"
#include "support/test_support.h"
#include "ntfs/clusters_in_use.h"
#include "ntfs/map_vcn.h"

namespace ambrelic::ntfs {
namespace {

using testing::ByteVec;
using testing::FileNameAttr;
using testing::kDirectory;
using testing::kInUse;
using testing::NonResident;
using testing::NonResidentAttr;
using testing::RecordBuilder;
using testing::ResidentAttr;
using testing::StandardInfoAttr;
using testing::VolumeBuilder;

ByteVec Filled(std::size_t n, std::uint8_t seed) {
  ByteVec v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

// Counts the reads that reach the device.
class CountingDevice : public platform::BlockDevice {
 public:
  explicit CountingDevice(platform::DevicePtr inner) : inner_(std::move(inner)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    ++reads;
    return inner_->ReadAt(offset, out);
  }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override { return inner_->WriteAt(offset, in); }
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return false; }
  int reads = 0;

 private:
  platform::DevicePtr inner_;
};

std::string NameOf(const disk::VolumeContext& ctx, RecordNumber n) {
  ByteVec r(ctx.mftRecordSize);
  if (!ReadMftRecord(ctx, n, r)) return "<no record>";
  auto name = FindRecordName(ctx, r);
  return name ? name->name : "<no name>";
}

ByteVec NamedFile(const std::u16string& name, std::uint16_t flags = kInUse) {
  return RecordBuilder(flags).Add(StandardInfoAttr()).Add(FileNameAttr(5, name)).Build();
}

TEST(MftRecordSize, FollowsTheClustersPerRecordByte) {
  ByteVec boot(512, 0);
  auto set = [&](std::uint16_t bps, std::uint8_t spc, std::uint8_t v) {
    testing::Put(boot, 0x0B, bps, 2);
    boot[0x0D] = spc;
    boot[0x40] = v;
    return MftRecordSizeFromBoot(boot);
  };
  EXPECT_EQ(set(512, 8, 0xF6), 1024u);
  EXPECT_EQ(set(512, 8, 0x01), 4096u);    // one 4096-byte cluster
  EXPECT_EQ(set(512, 1, 0x02), 1024u);    // two 512-byte clusters
  EXPECT_EQ(set(512, 128, 0xF0), 65536u);
  EXPECT_EQ(set(512, 8, 0x00), 0u);       // no size at all
  EXPECT_EQ(set(512, 128, 0x02), 0u);     // 128 KiB: refused
  EXPECT_EQ(set(512, 8, 0xEF), 0u);       // 2^17
  EXPECT_EQ(set(512, 8, 0x80), 0u);       // 2^128
  EXPECT_EQ(set(512, 0, 0xF6), 0u);
  // The three bytes after the value are ignored.
  boot[0x41] = 0xFF;
  EXPECT_EQ(set(512, 8, 0xF6), 1024u);
}

TEST(SectorsPerCluster, NegativeBytesArePowersOfTwo) {
  ByteVec boot(512, 0);
  auto set = [&](std::uint16_t bps, std::uint8_t v) {
    testing::Put(boot, 0x0B, bps, 2);
    boot[0x0D] = v;
    return SectorsPerClusterFromBoot(boot);
  };
  EXPECT_EQ(set(512, 0x08), 8u);
  EXPECT_EQ(set(512, 0x80), 128u);     // 64 KiB, the largest positive count
  EXPECT_EQ(set(512, 0xF4), 4096u);    // 2 MiB: 2^12 sectors
  EXPECT_EQ(set(512, 0xF8), 256u);     // 128 KiB
  EXPECT_EQ(set(4096, 0xF7), 512u);    // 2 MiB of 4 KiB sectors
  EXPECT_EQ(set(512, 0xF3), 0u);       // 4 MiB: larger than NTFS clusters go
  EXPECT_EQ(set(4096, 0xF6), 0u);
  EXPECT_EQ(set(512, 0x81), 0u);       // 2^127
  EXPECT_EQ(set(512, 0x00), 0u);
  EXPECT_EQ(set(0, 0x08), 0u);
  // The record size follows the decoded count: one cluster of 2 MiB is
  // no record size, 0xF6 still gives 1024.
  boot[0x0D] = 0xF4;
  testing::Put(boot, 0x0B, 512, 2);
  boot[0x40] = 0x01;
  EXPECT_EQ(MftRecordSizeFromBoot(boot), 0u);
  boot[0x40] = 0xF6;
  EXPECT_EQ(MftRecordSizeFromBoot(boot), 1024u);
}

TEST(PrepareNtfsVolume, ClustersOfTwoMebibytes) {
  // 512-byte sectors, 4096 per cluster (boot byte 0xF4); the MFT at
  // cluster 1, a file's data in cluster 2.
  VolumeBuilder b(512, 4096, 64, 1, 4);
  ASSERT_EQ(b.boot()[0x0D], 0xF4);
  const ByteVec data = Filled(3 * 1024 * 1024, 9);
  NonResident d{.runs = VolumeBuilder::RunBytes(2, 2), .highestVcn = 1, .allocated = 4u << 20,
                .real = data.size(), .initialized = data.size()};
  b.SetRecord(40, RecordBuilder(0).Add(StandardInfoAttr()).Add(FileNameAttr(5, u"big.bin")).Add(NonResidentAttr(d)).Build());
  std::copy(data.begin(), data.end(), b.image().begin() + 2 * (2u << 20));
  bool ok = false;
  auto ctx = b.Build(&ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ctx.bytesPerCluster, 2u << 20);
  EXPECT_EQ(ctx.lastCluster, 3u);
  EXPECT_EQ(NameOf(ctx, 40), "big.bin");
  auto stream = DataStream::Open(ctx, 40);
  ASSERT_TRUE(stream);
  ByteVec got;
  for (auto piece = stream->ReadNext(); !piece.empty(); piece = stream->ReadNext()) got.insert(got.end(), piece.begin(), piece.end());
  EXPECT_EQ(got, data);
}

TEST(PrepareNtfsVolume, AcceptsAVolumeAndDerivesItsValues) {
  VolumeBuilder b(512, 8, 64, 16, 256);
  b.SetRecord(40, NamedFile(u"forty.txt"));
  bool ok = false;
  auto ctx = b.Build(&ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ctx.bytesPerSector, 512);
  EXPECT_EQ(ctx.lastCluster, 255u);
  EXPECT_EQ(ctx.mftRecordSize, 1024u);
  ASSERT_EQ(ctx.mftSelfRecord.size(), 1024u);
  EXPECT_EQ(NameOf(ctx, 40), "forty.txt");
  EXPECT_EQ(MftRecordCount(ctx), 64u);
}

TEST(PrepareNtfsVolume, LastClusterOfAMillionSectorVolume) {
  VolumeBuilder b(512, 8, 64, 16, 256);
  testing::Put(b.boot(), 0x28, 1000000, 8);
  bool ok = false;
  auto ctx = b.Build(&ok);
  ASSERT_TRUE(ok);
  // On a device of 1,000,001 sectors (the last one for the boot sector's
  // copy).
  ctx.volumeHandle = std::make_shared<testing::ZeroExtendedDevice>(ctx.volumeHandle, 1000001ull * 512);
  ASSERT_TRUE(PrepareNtfsVolume(ctx));
  EXPECT_EQ(ctx.lastCluster, 124999u);
}

TEST(PrepareNtfsVolume, TotalSectorsBoundedByTheDeviceAndNeverWrapping) {
  // The device holds 256 clusters of 4096 bytes and the sector of the boot
  // sector's copy, which no cluster of the volume may take.
  for (std::uint64_t total : {256ull * 8 + 1, 257ull * 8, 1000000ull, 0xFFFFFFFFFFFFFFF0ull, ~0ull}) {
    VolumeBuilder b(512, 8, 64, 16, 256);
    testing::Put(b.boot(), 0x28, total, 8);
    bool ok = false;
    auto ctx = b.Build(&ok);
    ASSERT_TRUE(ok) << total;
    EXPECT_EQ(ctx.lastCluster, 255u) << total;
  }
  // A smaller volume on the device keeps its own size.
  VolumeBuilder small(512, 8, 64, 16, 256);
  testing::Put(small.boot(), 0x28, 100 * 8 + 7, 8);
  bool ok = false;
  EXPECT_EQ(small.Build(&ok).lastCluster, 99u);
  EXPECT_TRUE(ok);
  // No whole cluster: the last cluster would wrap to 2^64 - 1.
  for (std::uint64_t total : {0ull, 7ull}) {
    VolumeBuilder b(512, 8, 64, 16, 256);
    testing::Put(b.boot(), 0x28, total, 8);
    ok = true;
    b.Build(&ok);
    EXPECT_FALSE(ok) << total;
  }
}

TEST(PrepareNtfsVolume, RefusesGeometryThatWouldDivideByZero) {
  struct Case { const char* what; std::size_t off; std::uint64_t value; int width; };
  for (const Case& c : {Case{"0 sectors per cluster", 0x0D, 0, 1}, Case{"0 bytes per sector", 0x0B, 0, 2},
                        Case{"odd bytes per sector", 0x0B, 511, 2}, Case{"520 bytes per sector", 0x0B, 520, 2},
                        Case{"128 bytes per sector", 0x0B, 128, 2}, Case{"8192 bytes per sector", 0x0B, 8192, 2},
                        Case{"clusters of 2^127 sectors", 0x0D, 0x81, 1}, Case{"4 MiB clusters", 0x0D, 0xF3, 1},
                        Case{"record size 0", 0x40, 0, 1},
                        Case{"record size 128 KiB", 0x40, 0xEF, 1}, Case{"record size 2^128", 0x40, 0x80, 1}}) {
    VolumeBuilder b;
    testing::Put(b.boot(), c.off, c.value, c.width);
    bool ok = true;
    b.Build(&ok);
    EXPECT_FALSE(ok) << c.what;
  }
  // No MFT record at the MFT's place.
  VolumeBuilder b;
  testing::Put(b.boot(), 0x30, 200, 8);
  bool ok = true;
  b.Build(&ok);
  EXPECT_FALSE(ok) << "no FILE record";
  // An MFT said to lie far beyond the volume reads nothing.
  VolumeBuilder far;
  testing::Put(far.boot(), 0x30, 0x4000000000000000ULL, 8);
  far.Build(&ok);
  EXPECT_FALSE(ok);
}

TEST(ApplyFixups, PutsTheArrayIntoTheSectorTails) {
  ByteVec r = NamedFile(u"x");
  const std::uint16_t realTail = disk::le16(r, 0x30 + 2);
  ASSERT_EQ(disk::le16(r, 510), 7);
  EXPECT_EQ(ApplyFixups(r), Fixups::Whole);
  EXPECT_EQ(disk::le16(r, 510), realTail);
  EXPECT_EQ(disk::le16(r, 1022), disk::le16(r, 0x30 + 4));
}

TEST(ApplyFixups, TornRecordIsToldTornAndLeftAsRead) {
  ByteVec r = NamedFile(u"x");
  testing::Put(r, 1022, 0x1234, 2);  // the second sector never got written
  testing::Put(r, 0x30 + 4, 0xBEEF, 2);
  const ByteVec before = r;
  EXPECT_EQ(ApplyFixups(r), Fixups::Torn);
  EXPECT_EQ(r, before);
}

TEST(ApplyFixups, LeavesRecordsWithoutAUsableArrayAlone) {
  for (auto [off, count] : std::vector<std::pair<int, int>>{{1024, 3}, {2000, 3}, {0x30, 0}, {0x30, 1}, {1020, 3}}) {
    ByteVec r = NamedFile(u"x");
    testing::Put(r, 0x04, off, 2);
    testing::Put(r, 0x06, count, 2);
    const ByteVec before = r;
    EXPECT_EQ(ApplyFixups(r), Fixups::Torn) << off << "/" << count;
    EXPECT_EQ(r, before) << off << "/" << count;
  }
}

TEST(ApplyFixups, StrideComesFromTheRecordsOwnCount) {
  // Records of 1, 2 and 4 KiB (as mkntfs makes them for 512-, 2048- and
  // 4096-byte sectors) protected in 512-byte blocks: 3, 5 and 9 entries.
  for (std::uint32_t size : {1024u, 2048u, 4096u}) {
    ByteVec r = RecordBuilder().Add(StandardInfoAttr()).Add(FileNameAttr(5, std::u16string(200, u'n'))).Build(size);
    EXPECT_EQ(disk::le16(r, 0x06), size / 512 + 1);
    for (std::uint32_t tail = 510; tail < size; tail += 512) EXPECT_EQ(disk::le16(r, tail), 7) << size;
    ApplyFixups(r);
    for (std::uint32_t tail = 510; tail < size; tail += 512) EXPECT_NE(disk::le16(r, tail), 7) << size << "/" << tail;
    EXPECT_EQ(disk::le16(r, 510), 'n') << "inside the name";
  }
  // Other strides a count can give: a whole 4 KiB record as one block, or
  // blocks of 256 bytes.
  for (std::uint32_t stride : {4096u, 1024u, 256u}) {
    ByteVec r = RecordBuilder().Add(StandardInfoAttr()).Build(4096, stride);
    ASSERT_EQ(disk::le16(r, 0x06), 4096 / stride + 1);
    ApplyFixups(r);
    for (std::uint32_t tail = stride - 2; tail < 4096; tail += stride) EXPECT_EQ(disk::le16(r, tail), 0) << stride;
  }
}

TEST(ApplyFixups, CountsThatGiveNoBlockSizeLeaveTheRecordTorn) {
  // 1024 / 3 and 1024 / 6 are no whole blocks, 1024 / 8 is below 256
  // bytes, and a count of 2^16 - 1 reaches past any record.
  for (int count : {4, 9, 7, 0xFFFF}) {
    ByteVec r = NamedFile(u"x");
    testing::Put(r, 0x06, count, 2);
    const ByteVec before = r;
    EXPECT_EQ(ApplyFixups(r), Fixups::Torn) << count;
    EXPECT_EQ(r, before) << count;
  }
}

TEST(ReadMftRecord, RecordSevenIsSlotThreeOfTheSecondCluster) {
  // 4096-byte clusters, 1024-byte records.
  VolumeBuilder b(512, 8, 16, 16, 64);
  for (std::uint32_t n = 1; n < 16; ++n) {
    if (n == 5) continue;
    b.SetRecord(n, NamedFile(u"rec" + std::u16string(1, static_cast<char16_t>(u'A' + n))));
  }
  auto ctx = b.Build();
  EXPECT_EQ(NameOf(ctx, 7), "recH");
  // Slot 3 of VCN 1: bytes 3072.. of cluster 17.
  ByteVec raw(1024);
  ctx.volumeHandle->ReadAt(17 * 4096 + 3 * 1024, raw);
  ApplyFixups(raw);
  ByteVec viaReader(1024);
  ASSERT_TRUE(ReadMftRecord(ctx, 7, viaReader));
  EXPECT_EQ(raw, viaReader);
}

TEST(ReadMftRecord, TwoClusterRecordsThroughAFragmentedMft) {
  // 512-byte clusters, value 0x02: each record spans two clusters. The MFT
  // lies in two runs, the second before the first (negative delta).
  VolumeBuilder b(512, 1, 32, 100, 400, 0x02);
  ByteVec runs = VolumeBuilder::RunBytes(40, 100, false);
  ByteVec second = VolumeBuilder::RunBytes(24, -60);
  runs.insert(runs.end(), second.begin(), second.end());
  b.SetMftRuns(runs, {{100, 40}, {40, 24}});
  for (std::uint32_t n : {6u, 19u, 20u, 21u, 31u}) b.SetRecord(n, NamedFile(u"n" + std::u16string(1, u'a' + n % 26)));
  bool ok = false;
  auto ctx = b.Build(&ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ctx.mftRecordSize, 1024u);
  for (std::uint32_t n : {6u, 19u, 20u, 21u, 31u})
    EXPECT_EQ(NameOf(ctx, n), "n" + std::string(1, static_cast<char>('a' + n % 26))) << n;
  // The window reader gives the same bytes for every record.
  MftReader reader(ctx, 4096);
  for (std::uint32_t n = 0; n < 32; ++n) {
    ByteVec a(1024), c(1024);
    EXPECT_EQ(ReadMftRecord(ctx, n, a), reader.Read(n, c)) << n;
    EXPECT_EQ(a, c) << n;
  }
}

TEST(Attributes, DosOnlyNameGivesNoNameAndWin32IsPreferredWhereverItStands) {
  VolumeBuilder b;
  b.SetRecord(20, RecordBuilder().Add(StandardInfoAttr()).Add(FileNameAttr(5, u"DOSONLY~1.TXT", 2)).Build());
  b.SetRecord(21, RecordBuilder()
                      .Add(StandardInfoAttr())
                      .Add(FileNameAttr(5, u"LONGNA~1.TXT", 2))
                      .Add(FileNameAttr(5, u"long name.txt", 1))
                      .Build());
  auto ctx = b.Build();
  EXPECT_EQ(NameOf(ctx, 20), "<no name>");
  EXPECT_EQ(NameOf(ctx, 21), "long name.txt");
}

TEST(Attributes, NamedAttributesMatchOnlyWhenAsked) {
  ByteVec r = RecordBuilder()
                  .Add(ResidentAttr(0x80, {1, 2, 3}, u"Zone.Identifier"))
                  .Add(ResidentAttr(0x80, {9}))
                  .Build();
  ApplyFixups(r);
  VolumeBuilder b;
  auto ctx = b.Build();
  auto unnamed = FindAttribute(ctx, r, 0x80);
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->value().size(), 1u);
  const std::u16string want = u"zone.identifier";
  auto named = FindAttribute(ctx, r, 0x80, &want);
  ASSERT_TRUE(named);
  EXPECT_EQ(named->value().size(), 3u);
}

TEST(Attributes, DataOnlyThroughTheAttributeList) {
  VolumeBuilder b;
  // Record 30 (base) lists its $DATA in record 31; the list also names a
  // record that is not a file record, which is passed over.
  ByteVec list = testing::ListEntry(0x10, 0, 30);
  for (auto e : {testing::ListEntry(0x80, 0, 40), testing::ListEntry(0x80, 0, 31)}) list.insert(list.end(), e.begin(), e.end());
  b.SetRecord(30, RecordBuilder()
                      .Add(StandardInfoAttr())
                      .Add(ResidentAttr(0x20, list))
                      .Add(FileNameAttr(5, u"listed.txt"))
                      .Build());
  testing::ByteVec ext = RecordBuilder().Add(ResidentAttr(0x80, {'h', 'e', 'l', 'l', 'o'})).Build();
  testing::Put(ext, 0x20, 30, 8);  // base record reference
  b.SetRecord(31, ext);
  auto ctx = b.Build();
  ByteVec r(1024);
  ASSERT_TRUE(ReadMftRecord(ctx, 30, r));
  auto data = FindAttribute(ctx, r, 0x80);
  ASSERT_TRUE(data);
  EXPECT_EQ(disk::le64(r, 0x20), 30u) << "the buffer now holds the extension record";
  auto stream = DataStream::Open(ctx, 30);
  ASSERT_TRUE(stream);
  EXPECT_TRUE(stream->resident());
  auto piece = stream->ReadNext();
  EXPECT_EQ(std::string(piece.begin(), piece.end()), "hello");
  EXPECT_TRUE(stream->ReadNext().empty());
  // With noList the base record alone is searched.
  ASSERT_TRUE(ReadMftRecord(ctx, 30, r));
  EXPECT_FALSE(FindAttribute(ctx, r, 0x80, nullptr, 0, true));
}

TEST(Attributes, ExtentsSpreadOverRecordsAreReadInOrder) {
  // 512-byte clusters; $DATA of 8 clusters: VCN 0-2 in the base record,
  // 3-5 in record 41, 6-7 in record 42 (listed out of order).
  VolumeBuilder b(512, 1, 64, 16, 400);
  const std::uint64_t lcns[] = {200, 300, 250};
  NonResident e0{.runs = VolumeBuilder::RunBytes(3, 200), .lowestVcn = 0, .highestVcn = 2, .allocated = 8 * 512,
                 .real = 8 * 512 - 100, .initialized = 8 * 512 - 100};
  NonResident e1{.runs = VolumeBuilder::RunBytes(3, 300), .lowestVcn = 3, .highestVcn = 5};
  NonResident e2{.runs = VolumeBuilder::RunBytes(2, 250), .lowestVcn = 6, .highestVcn = 7};
  ByteVec list;
  for (auto e : {testing::ListEntry(0x80, 0, 40), testing::ListEntry(0x80, 6, 42), testing::ListEntry(0x80, 3, 41)})
    list.insert(list.end(), e.begin(), e.end());
  b.SetRecord(40, RecordBuilder()
                      .Add(StandardInfoAttr())
                      .Add(ResidentAttr(0x20, list))
                      .Add(FileNameAttr(5, u"spread.bin"))
                      .Add(NonResidentAttr(e0))
                      .Build());
  b.SetRecord(41, RecordBuilder().Add(NonResidentAttr(e1)).Build());
  b.SetRecord(42, RecordBuilder().Add(NonResidentAttr(e2)).Build());
  ByteVec expected;
  const std::uint64_t counts[] = {3, 3, 2};
  for (int i = 0; i < 3; ++i) {
    ByteVec part = Filled(counts[i] * 512, static_cast<std::uint8_t>(i * 50));
    for (std::uint64_t c = 0; c < counts[i]; ++c)
      b.WriteCluster(lcns[i] + c, ByteVec(part.begin() + c * 512, part.begin() + (c + 1) * 512));
    expected.insert(expected.end(), part.begin(), part.end());
  }
  auto ctx = b.Build();
  expected.resize(8 * 512 - 100);
  auto stream = DataStream::Open(ctx, 40);
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->size(), expected.size());
  ByteVec got;
  for (auto piece = stream->ReadNext(); !piece.empty(); piece = stream->ReadNext()) got.insert(got.end(), piece.begin(), piece.end());
  EXPECT_EQ(got, expected);
  // A read that starts in the last extent.
  ByteVec r(1024);
  ASSERT_TRUE(ReadMftRecord(ctx, 40, r));
  ByteVec two(1024);
  ReadAttributeClusters(ctx, r, 0x80, 6, 2, two, 0);
  EXPECT_TRUE(std::equal(two.begin(), two.end() - 100, expected.begin() + 6 * 512));
  EXPECT_TRUE(std::all_of(two.end() - 100, two.end(), [](std::uint8_t c) { return c == 0; }));
}

TEST(RunList, DecodesTheDocumentedEntries) {
  const ByteVec one = {0x21, 0x18, 0x34, 0x56, 0x00};
  EXPECT_EQ(RunHeaderSize(one), 4u);
  EXPECT_EQ(RunLength(one), 0x18u);
  EXPECT_EQ(RunOffsetDelta(one), 0x5634);
  const ByteVec sparse = {0x01, 0x08, 0x00};
  EXPECT_EQ(RunHeaderSize(sparse), 2u);
  EXPECT_EQ(RunLength(sparse), 8u);
  EXPECT_EQ(RunOffsetDelta(sparse), 0);
  const ByteVec back = {0x21, 0x04, 0x00, 0xFF};
  EXPECT_EQ(RunOffsetDelta(back), -256);
  const ByteVec wide = {0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1};
  EXPECT_EQ(RunHeaderSize(wide), 0u) << "9 length bytes";
  const ByteVec cut = {0x33, 1, 2};
  EXPECT_EQ(RunHeaderSize(cut), 0u) << "runs past the run list";
  EXPECT_EQ(RunLength(cut), 0u);
}

Attribute MakeExtent(ByteVec& storage, const NonResident& d) {
  storage = NonResidentAttr(d);
  auto a = AttributeAt(storage, 0);
  EXPECT_TRUE(a);
  return *a;
}

TEST(MapVcn, WalksRunsSparseAndBackwards) {
  ByteVec runs = VolumeBuilder::RunBytes(0x18, 0x5634, false);
  for (auto r : {VolumeBuilder::RunBytes(4, 0, false), VolumeBuilder::RunBytes(4, -0x100)})
    runs.insert(runs.end(), r.begin(), r.end());
  ByteVec storage;
  Attribute a = MakeExtent(storage, {.runs = runs, .lowestVcn = 0, .highestVcn = 0x18 + 8 - 1});
  Lcn lcn = 0;
  std::uint64_t left = 0;
  ASSERT_TRUE(MapVcn(a, 0, lcn, left));
  EXPECT_EQ(lcn, 0x5634u);
  EXPECT_EQ(left, 0x18u);
  ASSERT_TRUE(MapVcn(a, 0x19, lcn, left));
  EXPECT_EQ(lcn, 0u) << "sparse";
  EXPECT_EQ(left, 3u);
  ASSERT_TRUE(MapVcn(a, 0x1C, lcn, left));
  EXPECT_EQ(lcn, 0x5534u) << "the sparse run adds nothing; the delta goes back";
  ASSERT_TRUE(MapVcn(a, 0x1F, lcn, left)) << "the highest VCN maps";
  EXPECT_EQ(lcn, 0x5537u);
  EXPECT_EQ(left, 1u);
  EXPECT_FALSE(MapVcn(a, 0x20, lcn, left)) << "one above fails";
  ByteVec s2;
  Attribute later = MakeExtent(s2, {.runs = VolumeBuilder::RunBytes(4, 10), .lowestVcn = 8, .highestVcn = 11});
  EXPECT_FALSE(MapVcn(later, 7, lcn, left));
  ASSERT_TRUE(MapVcn(later, 9, lcn, left));
  EXPECT_EQ(lcn, 11u);
}

TEST(MapVcn, HostileRunListsEndTheWalk) {
  Lcn lcn = 0;
  std::uint64_t left = 0;
  // A run so long that VCN + length wraps: it still maps only what it
  // covers, and the LCN it gives lies outside any volume.
  ByteVec huge = VolumeBuilder::RunBytes(0xFFFFFFFFFFFFFFF0ULL, 5, false);
  ByteVec more = VolumeBuilder::RunBytes(0x100, 5);
  huge.insert(huge.end(), more.begin(), more.end());
  ByteVec s1;
  Attribute a = MakeExtent(s1, {.runs = huge, .lowestVcn = 0x20, .highestVcn = ~0ULL - 1});
  EXPECT_FALSE(MapVcn(a, 0x1F, lcn, left));
  ASSERT_TRUE(MapVcn(a, 0xFFFFFFFFFFFFFFF8ULL, lcn, left));
  EXPECT_EQ(left, 0x18u);
  // A run list without its terminator ends at the attribute's end.
  ByteVec s2;
  Attribute b = MakeExtent(s2, {.runs = {0x11, 0x04, 0x05, 0x11, 0x04}, .highestVcn = 100});
  EXPECT_TRUE(MapVcn(b, 3, lcn, left));
  EXPECT_FALSE(MapVcn(b, 50, lcn, left));
}

TEST(ReadExtentClusters, SparseClustersAreZeroAndCounted) {
  VolumeBuilder b(512, 1, 64, 16, 400);
  b.WriteCluster(300, ByteVec(512, 0xAA));
  b.WriteCluster(301, ByteVec(512, 0xBB));
  auto ctx = b.Build();
  ByteVec runs = VolumeBuilder::RunBytes(3, 0, false);
  ByteVec data = VolumeBuilder::RunBytes(2, 300);
  runs.insert(runs.end(), data.begin(), data.end());
  ByteVec s;
  Attribute a = MakeExtent(s, {.runs = runs, .highestVcn = 4});
  ByteVec buf(6 * 512, 0x55);
  std::uint32_t sparse = 0;
  EXPECT_EQ(ReadExtentClusters(ctx, a, 0, 6, buf, sparse), 5u) << "VCN 5 is not mapped";
  EXPECT_EQ(sparse, 3u);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.begin() + 3 * 512, [](auto c) { return c == 0; }));
  EXPECT_EQ(buf[3 * 512], 0xAA);
  EXPECT_EQ(buf[4 * 512], 0xBB);
  EXPECT_EQ(buf[5 * 512], 0x55) << "an unmapped cluster keeps what the buffer held";
  // A run said to lie beyond the volume reads as zeros.
  ByteVec s2;
  Attribute far = MakeExtent(s2, {.runs = VolumeBuilder::RunBytes(2, 0x7FFFFFFFFFFF), .highestVcn = 1});
  EXPECT_EQ(ReadExtentClusters(ctx, far, 0, 2, buf, sparse), 2u);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.begin() + 1024, [](auto c) { return c == 0; }));
}

TEST(RunList, OneSparseRuleForEveryReader) {
  // A run with offset bytes is on the disk even with a delta of 0 (at
  // cluster 0, as the boot sector's own run is); only a run without any
  // offset field is sparse.
  VolumeBuilder b(512, 1, 64, 16, 400);
  b.WriteCluster(10, ByteVec(512, 0xAA));
  auto ctx = b.Build();
  const ByteVec runs = {0x11, 0x02, 0x00, 0x01, 0x03, 0x11, 0x01, 0x0A, 0x00};
  ByteVec s;
  Attribute a = MakeExtent(s, {.runs = runs, .highestVcn = 5});
  const RunList list = ReadRunList(a);
  ASSERT_EQ(list.runs.size(), 3u);
  EXPECT_EQ(list.fault, RunFault::None);
  EXPECT_FALSE(list.runs[0].sparse);
  EXPECT_EQ(list.runs[0].lcn, 0u);
  EXPECT_TRUE(list.runs[1].sparse);
  EXPECT_EQ(list.runs[2].lcn, 10u);
  EXPECT_EQ(list.end, 6u);
  ByteVec buf(6 * 512, 0x55);
  std::uint32_t sparse = 0;
  EXPECT_EQ(ReadExtentClusters(ctx, a, 0, 6, buf, sparse), 6u);
  EXPECT_EQ(sparse, 3u) << "the clusters at LCN 0 are read, not taken as a hole";
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, b.image().begin())) << "cluster 0: the boot sector";
  EXPECT_EQ(buf[5 * 512], 0xAA);
  // The wipe's survey reads the same runs from the same decoder.
  std::vector<ClusterRun> strict;
  ASSERT_TRUE(DecodeRuns(a, 400, strict));
  ASSERT_EQ(strict.size(), 3u);
  EXPECT_FALSE(strict[0].sparse);
  EXPECT_TRUE(strict[1].sparse);
}

TEST(RunList, MalformedListsEndAtTheirFault) {
  struct Case {
    ByteVec runs;
    RunFault fault;
    std::size_t kept;
  };
  const Case cases[] = {
      // Eight bytes of runs fill the attribute to its end (no padding):
      // the third entry is cut short, or there is no end marker.
      {{0x11, 0x02, 0x05, 0x11, 0x02, 0x05, 0x31, 0x04}, RunFault::BadEntry, 2},
      {{0x11, 0x02, 0x05, 0x11, 0x01, 0x05, 0x01, 0x01}, RunFault::NoEnd, 3},
      {{0x11, 0x04, 0x05, 0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 0}, RunFault::BadEntry, 1},  // 9 length bytes
      {{0x18, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x04, 0x00}, RunFault::VcnOverflow, 1},
  };
  for (const Case& c : cases) {
    ByteVec s;
    Attribute a = MakeExtent(s, {.runs = c.runs, .lowestVcn = 0x20, .highestVcn = 0x23});
    const RunList list = ReadRunList(a);
    EXPECT_EQ(list.fault, c.fault);
    EXPECT_EQ(list.runs.size(), c.kept);
    std::vector<ClusterRun> strict;
    EXPECT_FALSE(DecodeRuns(a, 400, strict)) << "the strict reader refuses a list that ends in a fault";
  }
}

TEST(Attributes, RecordCutMidAttributeIsRefused) {
  const ByteVec whole = RecordBuilder().Add(StandardInfoAttr()).Add(FileNameAttr(5, u"cut.txt")).Build();
  disk::VolumeContext ctx;
  ByteVec full = whole;
  auto name = FindAttribute(ctx, full, kAttrFileName, nullptr, 0, true);
  ASSERT_TRUE(name);
  const std::size_t at = static_cast<std::size_t>(name->bytes.data() - full.data());
  // The record ends in the middle of the $FILE_NAME: the attribute before
  // it reads, the cut one is no attribute at all.
  ByteVec cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(at + 0x30));
  EXPECT_TRUE(FindAttribute(ctx, cut, kAttrStandardInformation, nullptr, 0, true));
  EXPECT_FALSE(FindAttribute(ctx, cut, kAttrFileName, nullptr, 0, true));
  EXPECT_FALSE(AttributeAt(cut, at));
  // A $FILE_NAME value shorter than the name it announces.
  ByteVec value = testing::FileNameValue(5, u"cut.txt", 1);
  value.resize(value.size() - 2);
  const ByteVec storage = ResidentAttr(0x30, value);
  auto shortName = AttributeAt(storage, 0);
  ASSERT_TRUE(shortName);
  EXPECT_FALSE(ParseFileName(*shortName));
}

struct InitializedFixture {
  InitializedFixture() : b(512, 1, 64, 16, 400) {
    for (int i = 0; i < 4; ++i) b.WriteCluster(300 + i, ByteVec(512, static_cast<std::uint8_t>(0x10 + i)));
    NonResident d{.runs = VolumeBuilder::RunBytes(4, 300), .highestVcn = 3, .allocated = 2048, .real = 2000,
                  .initialized = 1000};
    b.SetRecord(40, RecordBuilder().Add(StandardInfoAttr()).Add(FileNameAttr(5, u"init.bin")).Add(NonResidentAttr(d)).Build());
    ctx = b.Build();
    auto counting = std::make_shared<CountingDevice>(ctx.volumeHandle);
    device = counting;
    ctx.volumeHandle = counting;
    record.resize(1024);
    ReadMftRecord(ctx, 40, record);
  }
  VolumeBuilder b;
  disk::VolumeContext ctx;
  std::shared_ptr<CountingDevice> device;
  ByteVec record;
};

TEST(ReadAttributeClusters, BytesPastTheInitializedSizeAreZeros) {
  InitializedFixture f;
  ByteVec buf(4 * 512, 0x77);
  ReadAttributeClusters(f.ctx, f.record, 0x80, 0, 4, buf, 0);
  EXPECT_EQ(buf[0], 0x10);
  EXPECT_EQ(buf[999], 0x11);
  EXPECT_TRUE(std::all_of(buf.begin() + 1000, buf.end(), [](auto c) { return c == 0; }));
  // Starting past the initialized size: zeros without a disk read.
  ByteVec tail(2 * 512, 0x77);
  const int before = f.device->reads;
  ReadAttributeClusters(f.ctx, f.record, 0x80, 2, 2, tail, 0);
  EXPECT_EQ(f.device->reads, before);
  EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](auto c) { return c == 0; }));
  // The stream gives the real size, ending in zeros.
  auto stream = DataStream::Open(f.ctx, 40);
  ASSERT_TRUE(stream);
  auto piece = stream->ReadNext();
  ASSERT_EQ(piece.size(), 2000u);
  EXPECT_EQ(piece[999], 0x11);
  EXPECT_EQ(piece[1000], 0);
}

// A chunk that gives "abc" repeated over its 4096 bytes: three literals and
// one back-reference of length 4093 at distance 3.
ByteVec AbcChunk() { return {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0xFA, 0x2F}; }

TEST(Lznt1, BackReferenceSplitDependsOnThePosition) {
  std::array<std::uint8_t, kChunkOutput> out;
  // 16 literals, then token 0x0805 at position 16 (12-bit length: 2056
  // bytes at distance 1).
  ByteVec at16 = {0, 0xB0, 0x00};
  for (int i = 0; i < 8; ++i) at16.push_back(static_cast<std::uint8_t>('A' + i));
  at16.push_back(0x00);
  for (int i = 0; i < 8; ++i) at16.push_back(static_cast<std::uint8_t>('I' + i));
  at16.push_back(0x01);
  at16.push_back(0x05);
  at16.push_back(0x08);
  testing::Put(at16, 0, 0xB000 | (at16.size() - 3), 2);
  EXPECT_EQ(DecompressChunk(at16, out), at16.size());
  EXPECT_EQ(out[15], 'P');
  EXPECT_EQ(out[16], 'P');
  EXPECT_EQ(out[16 + 2055], 'P');
  EXPECT_EQ(out[16 + 2056], 0);
  // The same token at position 17 (11-bit length: 8 bytes at distance 2).
  ByteVec at17 = {0, 0xB0, 0x00};
  for (int i = 0; i < 8; ++i) at17.push_back(static_cast<std::uint8_t>('A' + i));
  at17.push_back(0x00);
  for (int i = 0; i < 8; ++i) at17.push_back(static_cast<std::uint8_t>('I' + i));
  at17.push_back(0x02);
  at17.push_back('Q');
  at17.push_back(0x05);
  at17.push_back(0x08);
  testing::Put(at17, 0, 0xB000 | (at17.size() - 3), 2);
  DecompressChunk(at17, out);
  EXPECT_EQ(std::string(out.begin() + 15, out.begin() + 27), "PQPQPQPQPQ" + std::string(2, '\0'));
}

TEST(Lznt1, OverlappingReferenceRawChunkAndEarlyEnd) {
  std::array<std::uint8_t, kChunkOutput> out;
  EXPECT_EQ(DecompressChunk(AbcChunk(), out), 8u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 7), "abcabca");
  EXPECT_EQ(out[4095], 'a' + 4095 % 3);
  // Raw chunk: stored size 4098, the bytes follow the header.
  ByteVec raw = {0xFF, 0x3F};
  ByteVec body = Filled(4096, 3);
  raw.insert(raw.end(), body.begin(), body.end());
  EXPECT_EQ(DecompressChunk(raw, out), 4098u);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), body.begin()));
  // A chunk that gives 5 bytes: the rest of its output is zero, and the
  // bytes after it (the next chunk) are not decoded as its tokens.
  ByteVec early = {0x05, 0xB0, 0x00, 'h', 'e', 'l', 'l', 'o', 0x05, 0xB0, 0x00, 'X'};
  EXPECT_EQ(DecompressChunk(early, out), 8u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 5), "hello");
  EXPECT_TRUE(std::all_of(out.begin() + 5, out.end(), [](auto c) { return c == 0; }));
  // A reference before the chunk's start ends its decoding.
  ByteVec before = {0x04, 0xB0, 0x02, 'a', 0x00, 0x50, 'z'};
  DecompressChunk(before, out);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[1], 0);
  // Stored sizes beyond the source are not followed.
  ByteVec cut = {0xFF, 0xBF, 0x00, 'a', 'b'};
  EXPECT_EQ(DecompressChunk(cut, out), 4098u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 3), std::string("ab\0", 3));
  ByteVec rawCut = {0xFF, 0x3F, 'r'};
  DecompressChunk(rawCut, out);
  EXPECT_EQ(out[0], 'r');
}

TEST(Lznt1, UnitDecodesEveryChunkItHolds) {
  // Two chunks in a 8192-byte unit (16 clusters of 512): a raw one first,
  // so the second starts past 4096 and must still be decoded.
  ByteVec unit = {0xFF, 0x3F};
  ByteVec body = Filled(4096, 9);
  unit.insert(unit.end(), body.begin(), body.end());
  ByteVec abc = AbcChunk();
  unit.insert(unit.end(), abc.begin(), abc.end());
  unit.resize(8192, 0);
  DecompressUnit(unit);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), unit.begin()));
  EXPECT_EQ(std::string(unit.begin() + 4096, unit.begin() + 4102), "abcabc");
  // A unit that ends after one small chunk: the rest is zero.
  ByteVec small(16384, 0);
  ByteVec hello = {0x05, 0xB0, 0x00, 'h', 'e', 'l', 'l', 'o'};
  std::copy(hello.begin(), hello.end(), small.begin());
  DecompressUnit(small);
  EXPECT_EQ(std::string(small.begin(), small.begin() + 5), "hello");
  EXPECT_TRUE(std::all_of(small.begin() + 5, small.end(), [](auto c) { return c == 0; }));
}

struct CompressedFixture {
  // 512-byte clusters, compression unit 2^4 = 16 clusters (8192 bytes):
  // unit 0 compressed in 6 clusters (10 sparse), unit 1 all sparse, unit 2
  // stored as is.
  CompressedFixture() : b(512, 1, 64, 16, 400) {
    ByteVec comp = AbcChunk();
    ByteVec second = AbcChunk();
    comp.insert(comp.end(), second.begin(), second.end());
    comp.resize(6 * 512, 0);
    for (int c = 0; c < 6; ++c) b.WriteCluster(200 + c, ByteVec(comp.begin() + c * 512, comp.begin() + (c + 1) * 512));
    stored = Filled(16 * 512, 1);
    for (int c = 0; c < 16; ++c) b.WriteCluster(250 + c, ByteVec(stored.begin() + c * 512, stored.begin() + (c + 1) * 512));
    ByteVec runs = VolumeBuilder::RunBytes(6, 200, false);
    for (auto r : {VolumeBuilder::RunBytes(26, 0, false), VolumeBuilder::RunBytes(16, 50)}) runs.insert(runs.end(), r.begin(), r.end());
    NonResident d{.runs = runs, .highestVcn = 47, .allocated = 48 * 512, .real = 48 * 512 - 10,
                  .initialized = 48 * 512 - 10, .flags = 0x0001, .compressionUnit = 4};
    b.SetRecord(40, RecordBuilder().Add(StandardInfoAttr()).Add(FileNameAttr(5, u"c.bin")).Add(NonResidentAttr(d)).Build());
    ctx = b.Build();
  }
  VolumeBuilder b;
  disk::VolumeContext ctx;
  ByteVec stored;
};

TEST(ReadAttributeClusters, CompressionUnitsDecompressOnlyWhenPartlySparse) {
  CompressedFixture f;
  ByteVec record(1024);
  ASSERT_TRUE(ReadMftRecord(f.ctx, 40, record));
  ByteVec unit(16 * 512);
  ReadAttributeClusters(f.ctx, record, 0x80, 0, 16, unit, 1);
  EXPECT_EQ(std::string(unit.begin(), unit.begin() + 6), "abcabc");
  EXPECT_EQ(std::string(unit.begin() + 4096, unit.begin() + 4102), "abcabc");
  ReadAttributeClusters(f.ctx, record, 0x80, 0, 16, unit, 0);
  EXPECT_EQ(unit[0], 0x05) << "flag 0: the unit as stored";
  std::fill(unit.begin(), unit.end(), 0x66);
  ReadAttributeClusters(f.ctx, record, 0x80, 16, 16, unit, 1);
  EXPECT_TRUE(std::all_of(unit.begin(), unit.end(), [](auto c) { return c == 0; }));
  ReadAttributeClusters(f.ctx, record, 0x80, 32, 16, unit, 1);
  EXPECT_TRUE(std::equal(unit.begin(), unit.end() - 10, f.stored.begin()));
  EXPECT_TRUE(std::all_of(unit.end() - 10, unit.end(), [](auto c) { return c == 0; })) << "past the initialized size";

  auto stream = DataStream::Open(f.ctx, 40);
  ASSERT_TRUE(stream);
  EXPECT_TRUE(stream->compressed());
  EXPECT_EQ(stream->unitClusters(), 16u);
  ByteVec all;
  for (auto p = stream->ReadNext(); !p.empty(); p = stream->ReadNext()) all.insert(all.end(), p.begin(), p.end());
  ASSERT_EQ(all.size(), 48u * 512 - 10);
  EXPECT_EQ(all[8191], 'a' + 4095 % 3);
  EXPECT_EQ(all[8192], 0);
  EXPECT_TRUE(std::equal(all.begin() + 16384, all.end(), f.stored.begin()));
  EXPECT_EQ(all.size() - 16384, f.stored.size() - 10);
}

TEST(DataStream, CompressedAndSparseFlagsTogetherStillDecompress) {
  CompressedFixture f;
  // Flags 0x8001: the same data, marked sparse as well.
  ByteVec& image = std::static_pointer_cast<platform::MemoryDevice>(f.ctx.volumeHandle)->Bytes();
  ByteVec record(1024);
  ASSERT_TRUE(ReadMftRecord(f.ctx, 40, record));
  auto data = FindAttribute(f.ctx, record, 0x80);
  ASSERT_TRUE(data);
  const std::size_t flagsAt = 16 * 512 + 40 * 1024 + (data->bytes.data() - record.data()) + 0x0C;
  ASSERT_EQ(disk::le16(image, flagsAt), 0x0001);
  testing::Put(image, flagsAt, 0x8001, 2);
  auto stream = DataStream::Open(f.ctx, 40);
  ASSERT_TRUE(stream);
  EXPECT_TRUE(stream->compressed());
  auto first = stream->ReadNext();
  EXPECT_EQ(std::string(first.begin(), first.begin() + 6), "abcabc");
}

TEST(IsBitSet, LeastSignificantFirstAndSetPastTheEnd) {
  const ByteVec bits = {0x05, 0x80};
  EXPECT_TRUE(IsBitSet(bits, 0));
  EXPECT_FALSE(IsBitSet(bits, 1));
  EXPECT_TRUE(IsBitSet(bits, 2));
  EXPECT_TRUE(IsBitSet(bits, 15));
  EXPECT_FALSE(IsBitSet(bits, 14));
  EXPECT_TRUE(IsBitSet(bits, 16));
  EXPECT_TRUE(IsBitSet({}, 0));
}

TEST(HostileRecords, AttributesThatLeaveTheirRecordAreNotUsed) {
  VolumeBuilder b;
  auto ctx = b.Build();
  auto walk = [&](ByteVec r, std::uint32_t type) {
    ApplyFixups(r);
    return FindAttribute(ctx, r, type).has_value();
  };
  ByteVec good = RecordBuilder().Add(StandardInfoAttr()).Add(ResidentAttr(0x80, {1, 2, 3})).Build();
  EXPECT_TRUE(walk(good, 0x80));
  const std::size_t first = disk::le16(good, 0x14);
  const std::size_t second = first + disk::le32(good, first + 4);
  {
    ByteVec r = good;  // first attribute longer than the record
    testing::Put(r, first + 4, 0x7FFFFFF0, 4);
    EXPECT_FALSE(walk(r, 0x80));
  }
  {
    ByteVec r = good;  // first attribute offset past the record
    testing::Put(r, 0x14, 0xFFF0, 2);
    EXPECT_FALSE(walk(r, 0x10));
  }
  {
    ByteVec r = good;  // resident value outside its attribute
    testing::Put(r, second + 0x10, 0x10000, 4);
    EXPECT_FALSE(walk(r, 0x80));
  }
  {
    ByteVec r = good;  // name outside its attribute
    r[second + 9] = 200;
    EXPECT_FALSE(walk(r, 0x80));
  }
  {
    ByteVec r = good;  // zero length would loop forever
    testing::Put(r, first + 4, 0, 4);
    EXPECT_FALSE(walk(r, 0x80));
  }
  // A non-resident attribute whose run list offset lies outside it.
  NonResident d{.runs = VolumeBuilder::RunBytes(1, 20), .highestVcn = 0, .allocated = 4096, .real = 4096, .initialized = 4096};
  ByteVec nr = NonResidentAttr(d);
  testing::Put(nr, 0x20, 0x4000, 2);
  EXPECT_FALSE(walk(RecordBuilder().Add(nr).Build(), 0x80));
  // A $FILE_NAME too short for its own name is passed over.
  ByteVec fn = testing::FileNameValue(5, u"abc");
  fn[0x40] = 100;
  ByteVec withShort = RecordBuilder().Add(ResidentAttr(0x30, fn)).Add(FileNameAttr(5, u"second")).Build();
  ApplyFixups(withShort);
  auto name = FindRecordName(ctx, withShort);
  ASSERT_TRUE(name);
  EXPECT_EQ(name->name, "second");
}

TEST(HostileRecords, SizesNeverAllocateMoreThanTheVolume) {
  VolumeBuilder b(512, 8, 64, 16, 256);
  // An attribute list that claims 4 GiB, a list entry of length 0, and a
  // $DATA claiming 2^62 bytes in one run of 2^60 clusters.
  NonResident list{.type = 0x20, .runs = VolumeBuilder::RunBytes(0x100000, 50), .highestVcn = 0xFFFFF,
                   .allocated = 0xFFFFF000, .real = 0xFFFFF000, .initialized = 0xFFFFF000};
  NonResident data{.runs = VolumeBuilder::RunBytes(1ULL << 60, 60), .highestVcn = (1ULL << 60) - 1,
                   .allocated = 1ULL << 62, .real = 1ULL << 62, .initialized = 1ULL << 62};
  b.SetRecord(40, RecordBuilder(0)
                      .Add(StandardInfoAttr())
                      .Add(NonResidentAttr(list))
                      .Add(FileNameAttr(5, u"huge.bin"))
                      .Add(NonResidentAttr(data))
                      .Build());
  auto ctx = b.Build();
  ByteVec r(1024);
  ASSERT_TRUE(ReadMftRecord(ctx, 40, r));
  auto l = FindAttribute(ctx, r, 0x20);
  ASSERT_TRUE(l);
  EXPECT_EQ(AttributeCapacity(ctx, *l), 256u * 1024) << "no attribute list is longer";
  EXPECT_EQ(ReadAttributeValue(ctx, *l).size(), 256u * 1024);
  ASSERT_TRUE(ReadMftRecord(ctx, 40, r));
  EXPECT_FALSE(FindAttribute(ctx, r, 0x90)) << "the list's entries are garbage, and the walk ends";
  auto stream = DataStream::Open(ctx, 40);
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->size(), 1ULL << 62);
  auto piece = stream->ReadNext();
  EXPECT_EQ(piece.size(), 16u * 4096);
}

TEST(HostileRecords, OneRecordCannotMakeTheSearchAllocateGigabytes) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit does not work under AddressSanitizer";
#else
  // A 6 GiB volume (zeros past the part built here) whose deleted record
  // 40 has an $ATTRIBUTE_LIST claiming 4 GiB, and whose MFT $BITMAP
  // claims 4 GiB too; searched with 1 GiB of address space.
  VolumeBuilder b(512, 8, 64, 16, 256);
  const std::uint64_t volume = 6ull << 30;
  testing::Put(b.boot(), 0x28, volume / 512 - 1, 8);
  NonResident list{.type = 0x20, .runs = VolumeBuilder::RunBytes(0x100000, 50), .highestVcn = 0xFFFFF,
                   .allocated = 0xFFFFF000, .real = 0xFFFFF000, .initialized = 0xFFFFF000};
  b.SetRecord(40, RecordBuilder(0).Add(StandardInfoAttr()).Add(NonResidentAttr(list)).Add(FileNameAttr(5, u"list.bin")).Build());
  b.SetSelfBitmap(NonResidentAttr({.type = 0xB0, .runs = VolumeBuilder::RunBytes(0x100000, 60), .highestVcn = 0xFFFFF,
                                   .allocated = 0xFFFFF000, .real = 0xFFFFF000, .initialized = 0xFFFFF000}));
  auto ctx = b.Build();
  ctx.volumeHandle = std::make_shared<testing::ZeroExtendedDevice>(ctx.volumeHandle, volume);
  ASSERT_TRUE(PrepareNtfsVolume(ctx));
  auto search = [&] {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 1ul << 30;
    ::setrlimit(RLIMIT_AS, &limit);
    disk::OperationState op;
    op.includeZeroSize = true;
    test::RecordingHost host;
    ScanMft(ctx, op, host, 0, "");
    std::_Exit(host.rows.size() == 1 && host.rows[0].name == "list.bin" ? 0 : 1);
  };
  EXPECT_EXIT(search(),
      ::testing::ExitedWithCode(0), "");
#endif
}

TEST(HostileRecords, EmptyResidentValueReadsAsNothing) {
  VolumeBuilder b;
  auto ctx = b.Build();
  ByteVec r = RecordBuilder(0).Add(StandardInfoAttr()).Add(ResidentAttr(0x20, {})).Add(FileNameAttr(5, u"e")).Build();
  ApplyFixups(r);
  auto list = FindAttribute(ctx, r, 0x20);
  ASSERT_TRUE(list);
  EXPECT_TRUE(ReadAttributeValue(ctx, *list).empty());
  EXPECT_FALSE(FindAttribute(ctx, r, 0x80));
}

TEST(HostileRecords, ListsThatPointInCirclesEnd) {
  // Record 40's list sends every lookup back to record 40 itself; record
  // 0's $DATA continues in an extent only found through record 0's own
  // list, which names record 0 again.
  VolumeBuilder b;
  ByteVec list;
  for (int i = 0; i < 20; ++i) {
    auto e = testing::ListEntry(0x80, 0, 40);
    list.insert(list.end(), e.begin(), e.end());
  }
  b.SetRecord(40, RecordBuilder(0).Add(StandardInfoAttr()).Add(ResidentAttr(0x20, list)).Add(FileNameAttr(5, u"loop")).Build());
  b.AddSelfAttribute(ResidentAttr(0x20, testing::ListEntry(0x80, 16, 100)));
  b.SetMftClaimedClusters(64);
  auto ctx = b.Build();
  ByteVec r(1024);
  ASSERT_TRUE(ReadMftRecord(ctx, 40, r));
  EXPECT_FALSE(FindAttribute(ctx, r, 0x80));
  EXPECT_FALSE(DataStream::Open(ctx, 40));
  // A record past the MFT's only extent: finding the next extent needs
  // record 100, which lies past it too, and so on; the lookups end.
  EXPECT_FALSE(ReadMftRecord(ctx, 200, r));
  EXPECT_TRUE(ReadMftRecord(ctx, 40, r));
}

}  // namespace
}  // namespace ambrelic::ntfs
