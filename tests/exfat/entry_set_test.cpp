// The exFAT boot region, entry sets, checksums, up-case table and times, on
// bytes from real volumes and on bytes changed by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "exfat/allocation.h"
#include "exfat/boot_region.h"
#include "exfat/entry_set.h"
#include "exfat_test_volume.h"

namespace ambrelic::exfat {
namespace {

using test::SetSpec;
using test::TestVolume;

// The root directory of a volume exfat-fuse wrote (64 MiB, 4 KiB clusters):
// the deleted folder "dir1" and the deleted file "hello.txt", as it left
// them after rm.
const std::uint8_t kDeletedDir1[] = {
    0x05, 0x02, 0x7e, 0xbd, 0x10, 0x00, 0x00, 0x00, 0xa5, 0x46, 0x88, 0x5d, 0xa5, 0x46, 0x88, 0x5d,
    0xa5, 0x46, 0x88, 0x5d, 0x00, 0x00, 0x80, 0x80, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x40, 0x03, 0x00, 0x04, 0x25, 0x90, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x41, 0x00, 0x64, 0x00, 0x69, 0x00, 0x72, 0x00, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
const std::uint8_t kDeletedHello[] = {
    0x05, 0x02, 0xa1, 0xf3, 0x20, 0x00, 0x00, 0x00, 0xa5, 0x46, 0x88, 0x5d, 0xa5, 0x46, 0x88, 0x5d,
    0xa5, 0x46, 0x88, 0x5d, 0x00, 0x00, 0x80, 0x80, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x40, 0x03, 0x00, 0x09, 0x46, 0x30, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x41, 0x00, 0x68, 0x00, 0x65, 0x00, 0x6c, 0x00, 0x6c, 0x00, 0x6f, 0x00, 0x2e, 0x00, 0x74, 0x00,
    0x78, 0x00, 0x74, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

std::vector<std::uint8_t> Bytes(const std::uint8_t* b, std::size_t n) { return {b, b + n}; }

TEST(ExfatEntrySet, DeletedSetsOfARealWriterReadWithTheirChecksumAndHash) {
  EntrySet s;
  ASSERT_TRUE(ReadEntrySet(Bytes(kDeletedDir1, sizeof kDeletedDir1), 0, {}, s));
  EXPECT_FALSE(s.inUse);
  EXPECT_TRUE(s.checksumOk) << "in-use bits are taken as set for the checksum";
  EXPECT_TRUE(s.nameHashOk);
  EXPECT_TRUE(s.IsFolder());
  EXPECT_TRUE(s.NoFatChain());
  EXPECT_EQ(s.entryCount, 3u);
  EXPECT_EQ(s.firstCluster, 6u);
  EXPECT_EQ(s.dataLength, 4096u);
  EXPECT_EQ(s.nameUnits, 4u);
  EXPECT_EQ(SetChecksum(Bytes(kDeletedDir1, sizeof kDeletedDir1), 0, 3), 0xbd7e);

  ASSERT_TRUE(ReadEntrySet(Bytes(kDeletedHello, sizeof kDeletedHello), 0, {}, s));
  EXPECT_TRUE(s.checksumOk);
  EXPECT_TRUE(s.nameHashOk);
  EXPECT_FALSE(s.IsFolder());
  EXPECT_EQ(s.validDataLength, 6u);
  EXPECT_EQ(s.dataLength, 6u);
  EXPECT_EQ(s.firstCluster, 8u);
  EXPECT_EQ(FormatModified(s.modified, s.modified10ms, s.modifiedUtcOffset).substr(0, 10), "12/08/2026");
}

TEST(ExfatEntrySet, DamageDecidesWhatIsStillASetAndWhatCanBeBelieved) {
  auto hello = [] { return Bytes(kDeletedHello, sizeof kDeletedHello); };
  EntrySet s;
  // A deletion cut short: secondaries still marked in use.
  auto torn = hello();
  torn[32] = 0xC0;
  ASSERT_TRUE(ReadEntrySet(torn, 0, {}, s));
  EXPECT_TRUE(s.checksumOk);
  // A live file entry whose stream is not in use is no set.
  auto half = hello();
  half[0] = 0x85;
  EXPECT_FALSE(ReadEntrySet(half, 0, {}, s));
  // The checksum field alone damaged: the names are intact.
  auto sum = hello();
  sum[2] ^= 0xFF;
  ASSERT_TRUE(ReadEntrySet(sum, 0, {}, s));
  EXPECT_FALSE(s.checksumOk);
  EXPECT_TRUE(s.nameHashOk);
  EXPECT_TRUE(s.Listable());
  // A name character damaged: neither checksum nor hash holds.
  auto name = hello();
  name[68] = 'j';
  ASSERT_TRUE(ReadEntrySet(name, 0, {}, s));
  EXPECT_FALSE(s.checksumOk);
  EXPECT_FALSE(s.nameHashOk);
  EXPECT_FALSE(s.Listable());
  // A size damaged: the checksum fails, the names still vouch for the set.
  auto size = hello();
  size[56] = 0x77;
  ASSERT_TRUE(ReadEntrySet(size, 0, {}, s));
  EXPECT_FALSE(s.checksumOk);
  EXPECT_TRUE(s.Listable());
  EXPECT_EQ(s.dataLength, 0x77u);

  // Shapes that are no set at all.
  auto e = hello();
  e[1] = 1;  // no room for a name
  EXPECT_FALSE(ReadEntrySet(e, 0, {}, s));
  e = hello();
  e[1] = 3;  // more secondaries than the bytes hold
  EXPECT_FALSE(ReadEntrySet(e, 0, {}, s));
  e = hello();
  e[35] = 0;  // a name of no units
  EXPECT_FALSE(ReadEntrySet(e, 0, {}, s));
  e = hello();
  e[35] = 16;  // a name that needs two name entries
  EXPECT_FALSE(ReadEntrySet(e, 0, {}, s));
  e = hello();
  e[64] = 0x40;  // a second stream where the name belongs
  EXPECT_FALSE(ReadEntrySet(e, 0, {}, s));
  e = hello();
  e[32] = 0x41;
  EXPECT_FALSE(ReadEntrySet(e, 0, {}, s));
  EXPECT_FALSE(ReadEntrySet(hello(), 1, {}, s)) << "a stream begins no set";
  EXPECT_FALSE(ReadEntrySet(hello(), 3, {}, s)) << "past the end";
}

TEST(ExfatEntrySet, UpcaseTableExpandsAndChecksItsChecksum) {
  // 0x61 units map to themselves, then 'a'..'c' to 'A'..'C', then 3 more
  // units to themselves, then one value.
  std::vector<std::uint8_t> t;
  auto put = [&](std::uint16_t v) {
    t.push_back(static_cast<std::uint8_t>(v));
    t.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  put(0xFFFF);
  put(0x61);
  put('A');
  put('B');
  put('C');
  put(0xFFFF);
  put(3);
  put(0x1234);
  const auto table = ExpandUpcaseTable(t, TableChecksum(t));
  ASSERT_EQ(table.size(), 0x10000u);
  EXPECT_EQ(table['a'], 'A');
  EXPECT_EQ(table['c'], 'C');
  EXPECT_EQ(table['Z'], 'Z');
  EXPECT_EQ(table[0x66], 0x66);
  EXPECT_EQ(table[0x67], 0x1234);
  EXPECT_EQ(table[0x68], 0x68) << "past the table: itself";
  EXPECT_TRUE(ExpandUpcaseTable(t, TableChecksum(t) + 1).empty());

  // The table mkfs.exfat writes: letters of several scripts.
  TestVolume v = TestVolume::Format(4096);
  disk::VolumeContext ctx = v.Context();
  ASSERT_EQ(VolumeOf(ctx).upcase.size(), 0x10000u);
  EXPECT_EQ(VolumeOf(ctx).upcase[u'é'], u'É');
  EXPECT_EQ(VolumeOf(ctx).upcase[u'ж'], u'Ж');
  EXPECT_EQ(VolumeOf(ctx).upcase[u'ω'], u'Ω');
  EXPECT_EQ(VolumeOf(ctx).upcase[u'名'], u'名');
}

class ExfatTime : public ::testing::Test {
 protected:
  void TearDown() override {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
  }
  static std::string In(const char* tz, std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t offset) {
    ::setenv("TZ", tz, 1);
    ::tzset();
    return FormatModified(stamp, tenMs, offset);
  }
};

std::uint32_t Stamp(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s2) {
  return ((y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) | s2;
}

TEST_F(ExfatTime, OffsetsAreHonouredAndShownInLocalTime) {
  const std::uint32_t noon = Stamp(2010, 6, 15, 12, 0, 0);
  EXPECT_EQ(In("UTC0", noon, 0, 0x80), "06/15/2010 12:00");
  // Written at UTC+8 (32 quarter hours): 04:00 UTC.
  EXPECT_EQ(In("UTC0", noon, 0, 0x80 | 32), "06/15/2010 04:00");
  // Written at UTC-5 (-20 quarter hours, 0x6C in seven bits): 17:00 UTC.
  EXPECT_EQ(In("UTC0", noon, 0, 0x80 | 0x6C), "06/15/2010 17:00");
  // Shown in a zone five hours behind UTC.
  EXPECT_EQ(In("EST5", noon, 0, 0x80), "06/15/2010 07:00");
  // Across midnight and the year.
  EXPECT_EQ(In("UTC0", Stamp(2011, 1, 1, 0, 30, 0), 0, 0x80 | 4), "12/31/2010 23:30");
  // The 10 ms field adds at most 1.99 s: never a minute.
  EXPECT_EQ(In("UTC0", Stamp(2010, 6, 15, 12, 0, 29), 199, 0x80), "06/15/2010 12:00");
}

TEST_F(ExfatTime, NoOffsetOrNoDateShowsTheFieldsAsTheyStand) {
  const std::uint32_t noon = Stamp(2010, 6, 15, 12, 0, 0);
  EXPECT_EQ(In("EST5", noon, 0, 0x00), "06/15/2010 12:00") << "the writer's local time, unconverted";
  EXPECT_EQ(In("EST5", 0, 0, 0x80), "00/00/1980 00:00");
  EXPECT_EQ(In("UTC0", Stamp(2010, 2, 30, 25, 61, 0), 0, 0x80 | 4), "02/30/2010 25:61");
  EXPECT_EQ(In("UTC0", Stamp(2107, 15, 31, 31, 63, 31), 0, 0x00), "15/31/2107 31:63");
}

// ---- The boot region --------------------------------------------------

class ExfatBoot : public ::testing::Test {
 protected:
  void SetUp() override { v = TestVolume::Format(4096); }
  // The boot sector with a field changed, parsed alone.
  bool Parses(std::size_t offset, std::uint64_t value, std::size_t width, std::uint64_t device = 0) {
    std::vector<std::uint8_t> b(v.image.begin(), v.image.begin() + 512);
    for (std::size_t i = 0; i < width; ++i) b[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    ExfatVolume out;
    return ParseExfatBootSector(b, device, out);
  }
  TestVolume v;
};

TEST_F(ExfatBoot, ARealBootRegionParsesWithItsChecksum) {
  disk::VolumeContext ctx = v.Context();
  const ExfatVolume& x = VolumeOf(ctx);
  EXPECT_TRUE(x.bootChecksumOk);
  EXPECT_EQ(x.bytesPerSectorShift, 9);
  EXPECT_EQ(x.bytesPerCluster, 4096u);
  EXPECT_EQ(x.clusterCount, v.clusterCount);
  EXPECT_EQ(x.lastCluster, v.clusterCount + 1);
  EXPECT_EQ(x.rootCluster, v.rootCluster);
  EXPECT_EQ(x.numberOfFats, 1);
  EXPECT_EQ(ctx.bytesPerSector, 512);
  EXPECT_EQ(ctx.lastCluster, v.clusterCount + 1u);
  EXPECT_EQ(x.bitmap.size(), (v.clusterCount + 7u) / 8);
  ASSERT_EQ(x.bitmapExtents.size(), 1u);
  EXPECT_TRUE(BitmapInUse(x.bitmap, v.rootCluster));
  EXPECT_FALSE(BitmapInUse(x.bitmap, v.FreeCluster()));
  EXPECT_TRUE(BitmapInUse(x.bitmap, v.clusterCount + 2)) << "past the volume: in use";
}

TEST_F(ExfatBoot, FieldsNoVolumeCanHaveAreRefused) {
  EXPECT_TRUE(Parses(0x70, 0x42, 1));
  EXPECT_FALSE(Parses(3, 'N', 1)) << "name";
  EXPECT_FALSE(Parses(0x0B, 0x02, 1)) << "a FAT parameter block";
  EXPECT_FALSE(Parses(0x3F, 0x01, 1));
  EXPECT_FALSE(Parses(0x6C, 8, 1)) << "256-byte sectors";
  EXPECT_FALSE(Parses(0x6C, 13, 1)) << "8 KiB sectors";
  EXPECT_FALSE(Parses(0x6D, 17, 1)) << "64 MiB clusters";
  EXPECT_FALSE(Parses(0x6E, 0, 1));
  EXPECT_FALSE(Parses(0x6E, 3, 1));
  EXPECT_FALSE(Parses(0x50, 23, 4)) << "FAT over the backup boot region";
  EXPECT_FALSE(Parses(0x54, 1, 4)) << "FAT too short for the clusters";
  EXPECT_FALSE(Parses(0x58, disk::le32(v.image, 0x50), 4)) << "heap over the FAT";
  EXPECT_FALSE(Parses(0x48, 4096, 8)) << "heap past the volume";
  EXPECT_FALSE(Parses(0x5C, 0, 4));
  EXPECT_FALSE(Parses(0x60, 1, 4)) << "root before the heap";
  EXPECT_FALSE(Parses(0x60, v.clusterCount + 2, 4)) << "root past the heap";
  EXPECT_FALSE(Parses(0x70, 0, 1, 512 * 100)) << "a device that ends before the heap";
}

TEST_F(ExfatBoot, ADeviceCutShortKeepsTheClustersItHolds) {
  ExfatVolume out;
  const std::uint64_t device = static_cast<std::uint64_t>(v.heapOffset) * 512 + 10 * 4096 + 100;
  ASSERT_TRUE(ParseExfatBootSector(std::vector<std::uint8_t>(v.image.begin(), v.image.begin() + 512), device, out));
  EXPECT_EQ(out.clusterCount, v.clusterCount);
  EXPECT_EQ(out.lastCluster, 11u);
}

TEST_F(ExfatBoot, TheBackupRegionStandsInForADamagedMainOne) {
  // A damaged main region (its checksum fails) with a good backup.
  v.image[0x70] ^= 0x01;  // percent in use: outside the checksum
  {
    disk::VolumeContext ctx = v.Context();
    EXPECT_TRUE(VolumeOf(ctx).bootChecksumOk);
  }
  v.image[0x64] ^= 0x01;  // the serial: inside it
  {
    disk::VolumeContext ctx = v.Context();
    EXPECT_TRUE(VolumeOf(ctx).bootChecksumOk) << "the backup";
    EXPECT_EQ(VolumeOf(ctx).volumeSerial, disk::le32(v.image, 12 * 512 + 0x64));
  }
  // The main region unreadable as exFAT: the backup alone.
  v.image[3] = 'X';
  {
    disk::VolumeContext ctx = v.Context();
    EXPECT_TRUE(VolumeOf(ctx).bootChecksumOk);
  }
  // Both damaged: the main one as it stands, marked.
  v.image[3] = 'E';
  v.image[12 * 512 + 0x64] ^= 0x01;
  {
    disk::VolumeContext ctx = v.Context();
    EXPECT_FALSE(VolumeOf(ctx).bootChecksumOk);
    EXPECT_EQ(VolumeOf(ctx).rootCluster, v.rootCluster);
  }
  // Nothing to go on.
  v.image[3] = 'X';
  v.image[12 * 512 + 3] = 'X';
  auto device = std::make_shared<platform::MemoryDevice>(v.image, false);
  disk::VolumeContext ctx;
  ctx.volumeHandle = device;
  EXPECT_FALSE(PrepareExfatVolume(ctx));
}

TEST_F(ExfatBoot, TheActiveFatOfTwoIsTheOneRead) {
  std::vector<std::uint8_t> b(v.image.begin(), v.image.begin() + 512);
  // Two FATs fit before the heap on this volume (mkfs leaves room).
  const std::uint32_t fatOffset = disk::le32(b, 0x50);
  const std::uint32_t fatLength = disk::le32(b, 0x54);
  ASSERT_LE(fatOffset + 2 * fatLength, disk::le32(b, 0x58));
  b[0x6E] = 2;
  ExfatVolume out;
  ASSERT_TRUE(ParseExfatBootSector(b, 0, out));
  EXPECT_EQ(out.fatOffset, fatOffset);
  b[0x6A] |= 1;
  ASSERT_TRUE(ParseExfatBootSector(b, 0, out));
  EXPECT_EQ(out.fatOffset, fatOffset + fatLength);
}

}  // namespace
}  // namespace ambrelic::exfat
