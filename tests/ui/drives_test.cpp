#include "platform/drives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "disk/byte_reader.h"
#include "platform/volume_info.h"
#include "support/test_support.h"
#include "ui/volume_preparation.h"

namespace ambrelic::platform {
namespace {

std::string Image(const std::string& name) { return test::FixtureImage("make_app_images.sh", name); }

TEST(DriveTable, PartitionedImageGivesOneDrivePerPartitionInTableOrder) {
  const std::string parts = Image("parts.img");
  const DriveTable t = BuildDriveTable({{parts, false, false}});
  ASSERT_EQ(t.drives.size(), 3u);
  EXPECT_EQ(t.drives[0].root, "C:\\");
  EXPECT_EQ(t.drives[0].offset, 2048u * 512);
  EXPECT_EQ(t.drives[0].length, 20480u * 512);
  EXPECT_EQ(t.drives[0].partitionType, 0x06);
  EXPECT_TRUE(t.drives[0].fromTable);
  EXPECT_EQ(t.drives[0].displayName, "PARTONE (C:)");
  EXPECT_EQ(t.drives[0].type, DriveType::Fixed);
  EXPECT_EQ(t.drives[1].root, "D:\\");
  EXPECT_EQ(t.drives[1].offset, 22528u * 512);
  EXPECT_EQ(t.drives[1].partitionType, 0x01);
  EXPECT_EQ(t.drives[1].displayName, "PARTTWO (D:)");
  // The logical partition inside the extended one comes after the primaries.
  EXPECT_EQ(t.drives[2].root, "E:\\");
  EXPECT_EQ(t.drives[2].offset, 32768u * 512);
  EXPECT_EQ(t.drives[2].partitionType, 0x0E);
  EXPECT_EQ(t.drives[2].displayName, "LOGICAL (E:)");
  EXPECT_EQ(ui::IdentifyDriveKind(t.drives[0]), disk::FsKind::Fat16);
  EXPECT_EQ(ui::IdentifyDriveKind(t.drives[1]), disk::FsKind::Fat12);
  EXPECT_EQ(ui::IdentifyDriveKind(t.drives[2]), disk::FsKind::Fat16);
}

TEST(DriveTable, GptPartitionTypeComesFromItsBootSector) {
  const DriveTable t = BuildDriveTable({{Image("gpt.img"), false, false}});
  ASSERT_EQ(t.drives.size(), 1u);
  EXPECT_EQ(t.drives[0].offset, 2048u * 512);
  EXPECT_EQ(t.drives[0].length, 81920u * 512);
  EXPECT_FALSE(t.drives[0].fromTable);
  EXPECT_EQ(t.drives[0].partitionType, 0x0C);
  EXPECT_EQ(t.drives[0].displayName, "GPTFAT (C:)");
  EXPECT_EQ(ui::IdentifyDriveKind(t.drives[0]), disk::FsKind::Fat32);
}

TEST(DriveTable, LettersFloppiesRemovablesAndNames) {
  const DriveTable t = BuildDriveTable({{Image("empty16.img"), false, false},
                                        {test::SampleImage("fat12.img"), true, false},
                                        {Image("del32.img"), false, true},
                                        {Image("garbage.img"), false, false},
                                        {"/no/such/image.img", false, true}});
  ASSERT_EQ(t.drives.size(), 5u);
  EXPECT_EQ(t.drives[0].root, "A:\\");
  EXPECT_EQ(t.drives[0].type, DriveType::Removable);
  EXPECT_EQ(t.drives[0].displayName, "FLOPPY (A:)");
  EXPECT_EQ(t.drives[1].root, "C:\\");
  EXPECT_EQ(t.drives[1].displayName, "EMPTY16 (C:)");
  EXPECT_EQ(t.drives[1].partitionType, 0x06);
  EXPECT_EQ(t.drives[2].root, "D:\\");
  EXPECT_EQ(t.drives[2].type, DriveType::Removable);
  EXPECT_EQ(t.drives[2].partitionType, 0x0C);
  EXPECT_EQ(t.drives[3].displayName, "garbage.img (E:)");
  EXPECT_EQ(t.drives[3].partitionType, 0);
  // A source that is not there yet is still a drive: its disk is "not in".
  EXPECT_EQ(t.drives[4].displayName, "image.img (F:)");
  EXPECT_EQ(PreselectedPosition(t.drives), 1);
  EXPECT_EQ(PositionOfLetter(t.drives, 'd'), 2);
  EXPECT_EQ(PositionOfLetter(t.drives, 'Z'), -1);
}

TEST(DriveTable, PreselectionWithoutC) {
  EXPECT_EQ(PreselectedPosition({}), -1);
  const DriveTable t = BuildDriveTable({{test::SampleImage("fat12.img"), true, false}});
  EXPECT_EQ(PreselectedPosition(t.drives), 0);
}

TEST(DriveTable, NtfsVolumeIsTypeSeven) {
  const DriveTable t = BuildDriveTable({{Image("ntfs.img"), false, false}});
  ASSERT_EQ(t.drives.size(), 1u);
  EXPECT_EQ(t.drives[0].partitionType, 0x07);
}

// NTFS keeps its label in the $Volume file, not in the boot sector: the
// drive is named by it as a FAT drive is by its boot sector's. ntfslabel
// (ntfs-3g) reads and writes the labels of the copies.
TEST(DriveTable, NtfsDrivesAreNamedByTheirLabel) {
  test::UseUtf8Locale();
  const std::string dir = test::MakeTempDir("ntfs-labels");
  const std::string plain = Image("ntfs.img");
  const std::string renamed = dir + "/renamed.img";
  const std::string unnamed = dir + "/unnamed.img";
  const std::string damaged = dir + "/damaged.img";
  for (const std::string& copy : {renamed, unnamed, damaged}) {
    ASSERT_EQ(std::system(("cp '" + plain + "' '" + copy + "'").c_str()), 0);
  }
  int rc = 0;
  test::RunCommand("ntfslabel '" + renamed + "' 'Données été' 2>&1", &rc);
  ASSERT_EQ(rc, 0);
  test::RunCommand("ntfslabel '" + unnamed + "' '' 2>&1", &rc);
  ASSERT_EQ(rc, 0);
  // Record 3 ($Volume) overwritten: no label can be read from it.
  {
    std::vector<std::uint8_t> bytes = test::ReadFileBytes(damaged);
    const disk::Bytes boot(bytes.data(), 512);
    const std::uint64_t cluster = std::uint64_t{disk::le16(boot, 0x0B)} * disk::le8(boot, 0x0D);
    const std::uint64_t mft = disk::le64(boot, 0x30) * cluster;
    const std::int8_t perRecord = static_cast<std::int8_t>(disk::le8(boot, 0x40));
    const std::uint64_t record = perRecord < 0 ? (1ull << -perRecord) : perRecord * cluster;
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(mft + 3 * record), record, 0xA5);
    test::WriteFileBytes(damaged, bytes);
  }
  const std::string fat = test::SampleImage("fat16.img");
  DriveTable t = BuildDriveTable({{plain, false, false}, {renamed, false, false}, {unnamed, false, false},
                                  {damaged, false, false}, {fat, false, false}});
  ASSERT_EQ(t.drives.size(), 5u);
  EXPECT_EQ(t.drives[0].displayName, "ntfs.img (C:)") << "the table alone reads no NTFS label";
  ui::NameNtfsDrivesByLabel(t.drives);
  auto oracle = [](const std::string& image) {
    std::string label = test::RunCommand("ntfslabel '" + image + "' 2>/dev/null");
    while (!label.empty() && label.back() == '\n') label.pop_back();
    return label;
  };
  EXPECT_EQ(oracle(plain), "NTFSVOL");
  EXPECT_EQ(t.drives[0].displayName, oracle(plain) + " (C:)");
  EXPECT_EQ(t.drives[0].label, "NTFSVOL");
  EXPECT_EQ(t.drives[1].displayName, oracle(renamed) + " (D:)");
  EXPECT_EQ(t.drives[1].displayName, "Données été (D:)");
  EXPECT_EQ(oracle(unnamed), "");
  EXPECT_EQ(t.drives[2].displayName, "unnamed.img (E:)");
  EXPECT_EQ(t.drives[3].displayName, "damaged.img (F:)");
  EXPECT_EQ(t.drives[4].displayName, t.drives[4].label + " (G:)");
  EXPECT_FALSE(t.drives[4].label.empty());

  // Every cluster size mkntfs offers (records smaller and larger than a
  // cluster) holds its label where it is read from.
  for (const char* name : {"ntfs-c512.img", "ntfs-c4096.img", "ntfs-c65536.img"}) {
    const std::string image = test::FixtureImage("make_ntfs_images.sh", name);
    DriveTable one = BuildDriveTable({{image, false, false}});
    ui::NameNtfsDrivesByLabel(one.drives);
    ASSERT_EQ(one.drives.size(), 1u);
    EXPECT_EQ(one.drives[0].displayName, oracle(image) + " (C:)") << name;
  }
}

// Hand-built: an extended chain whose record links back to itself, which no
// partitioning tool writes, must end.
TEST(PartitionSlots, SelfLinkedExtendedChainEnds) {
  std::vector<std::uint8_t> disk(64 * 512, 0);
  std::span<std::uint8_t> d(disk);
  auto entry = [&](std::size_t sector, int index, std::uint8_t type, std::uint32_t start, std::uint32_t count) {
    const std::size_t e = sector * 512 + 0x1BE + 16 * static_cast<std::size_t>(index);
    d[e + 4] = type;
    disk::put32(d, e + 8, start);
    disk::put32(d, e + 12, count);
    d[sector * 512 + 510] = 0x55;
    d[sector * 512 + 511] = 0xAA;
  };
  entry(0, 0, 0x06, 1, 8);
  entry(0, 1, 0x0F, 16, 40);
  entry(16, 0, 0x0E, 1, 4);      // logical at 17
  entry(16, 1, 0x05, 8, 16);     // next record at 24
  entry(24, 0, 0x0E, 1, 4);      // logical at 25
  entry(24, 1, 0x05, 8, 16);     // links to 24 again
  MemoryDevice dev(disk, false);
  const auto slots = ReadPartitionSlots(dev, 512);
  ASSERT_EQ(slots.size(), 3u);
  EXPECT_EQ(slots[0].offset, 512u);
  EXPECT_EQ(slots[1].offset, 17u * 512);
  EXPECT_EQ(slots[2].offset, 25u * 512);

  // A record linking to an earlier one ends the walk too.
  entry(24, 1, 0x05, 0 + 0, 16);
  const auto again = ReadPartitionSlots(dev, 512);
  EXPECT_EQ(again.size(), 3u);
}

TEST(PartitionSlots, EntriesPastTheEndAreLeftOutAndLengthsClipped) {
  std::vector<std::uint8_t> disk(32 * 512, 0);
  std::span<std::uint8_t> d(disk);
  auto entry = [&](int index, std::uint8_t type, std::uint32_t start, std::uint32_t count) {
    const std::size_t e = 0x1BE + 16 * static_cast<std::size_t>(index);
    d[e + 4] = type;
    disk::put32(d, e + 8, start);
    disk::put32(d, e + 12, count);
  };
  d[510] = 0x55;
  d[511] = 0xAA;
  entry(0, 0x06, 4, 0xFFFFFFFF);
  entry(1, 0x0C, 0xFFFFFF00, 8);
  MemoryDevice dev(disk, false);
  const auto slots = ReadPartitionSlots(dev, 512);
  ASSERT_EQ(slots.size(), 1u);
  EXPECT_EQ(slots[0].length, 28u * 512);
}

TEST(VolumeInfo, InferredTypesAndVolumeInformation) {
  auto first = [](const std::string& path) {
    auto bytes = test::ReadFileBytes(path);
    bytes.resize(512);
    return bytes;
  };
  EXPECT_EQ(InferPartitionType(first(test::SampleImage("fat12.img"))), 0x01);
  EXPECT_EQ(InferPartitionType(first(test::SampleImage("fat16.img"))), 0x06);
  EXPECT_EQ(InferPartitionType(first(test::SampleImage("fat32.img"))), 0x0C);
  EXPECT_EQ(InferPartitionType(first(Image("ntfs.img"))), 0x07);
  EXPECT_EQ(InferPartitionType(first(Image("garbage.img"))), 0);
  EXPECT_EQ(InferPartitionType(first(Image("parts.img"))), 0) << "an MBR is no boot sector";

  const auto q = QueryVolumeInformation(test::SampleImage("fat32.img"), 0, 0);
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.info.serial, 0x32323232u);
  EXPECT_EQ(q.info.label, "SAMPLE32");
  EXPECT_EQ(q.info.fileSystem, "FAT32");
  const auto part = QueryVolumeInformation(Image("parts.img"), 22528u * 512, 8192u * 512);
  ASSERT_TRUE(part.ok);
  EXPECT_EQ(part.info.serial, 0x0A0A0002u);
  EXPECT_EQ(part.info.label, "PARTTWO");
  EXPECT_EQ(QueryVolumeInformation("/no/such/file", 0, 0).error, kErrorNotReady);
  EXPECT_EQ(QueryVolumeInformation(Image("blank.img"), 0, 0).error, kErrorGenFailure);
  EXPECT_EQ(QueryVolumeInformation(Image("garbage.img"), 0, 0).error, kErrorGenFailure);
}

}  // namespace
}  // namespace ambrelic::platform
