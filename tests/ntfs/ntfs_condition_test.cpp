// The condition of NTFS rows on a volume where a new file took the clusters
// of one deleted file and part of another's, checked against The Sleuth
// Kit: the runs istat gives for each deleted record, and what blkls says is
// allocated.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "ntfs/condition.h"
#include "ntfs/mft_scan.h"
#include "platform/block_device.h"
#include "support/test_support.h"

namespace ambrelic::ntfs {
namespace {

// Clusters blkls reports as allocated.
std::set<std::uint64_t> Allocated(const std::string& image) {
  std::set<std::uint64_t> out;
  std::istringstream in(test::RunCommand("blkls -e -l '" + image + "'"));
  std::string line;
  while (std::getline(in, line)) {
    const auto bar = line.find('|');
    if (bar == std::string::npos || line.compare(bar, 2, "|a") != 0 || line[0] < '0' || line[0] > '9') continue;
    out.insert(std::stoull(line.substr(0, bar)));
  }
  return out;
}

// The clusters of the $DATA runs istat -r gives for a record.
std::vector<std::uint64_t> RunClusters(const std::string& image, std::uint64_t record) {
  std::vector<std::uint64_t> out;
  std::istringstream in(test::RunCommand("istat -r '" + image + "' " + std::to_string(record)));
  std::string line;
  while (std::getline(in, line)) {
    const auto at = line.find("Starting address: ");
    if (at == std::string::npos) continue;
    const std::uint64_t start = std::stoull(line.substr(at + 18));
    const std::uint64_t length = std::stoull(line.substr(line.find("length: ") + 8));
    for (std::uint64_t k = 0; k < length; ++k) out.push_back(start + k);
  }
  return out;
}

TEST(NtfsCondition, ClustersOfTheRunsAgainstTheBitmap) {
  test::UseUtf8Locale();
  const std::string image = test::FixtureImage("make_condition_images.sh", "cond-ntfs.img");
  disk::VolumeContext ctx;
  auto opened = platform::OpenFileDevice(image);
  ASSERT_TRUE(opened.device);
  ctx.volumeHandle = opened.device;
  ctx.SearchedRoot = "C:\\";
  ctx.fsKind = disk::FsKind::Ntfs;
  ASSERT_TRUE(PrepareNtfsVolume(ctx));
  disk::OperationState op;
  test::RecordingHost host;
  ScanMft(ctx, op, host, 0, "");

  const std::set<std::uint64_t> allocated = Allocated(image);
  ASSERT_FALSE(allocated.empty());
  std::map<std::string, disk::RowFacts> rows;
  for (const auto& r : host.rows) rows[r.name] = r.facts;
  for (const char* name : {"gone.bin", "big.bin", "other.bin"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(rows.count(name));
    const disk::RowFacts& f = rows[name];
    const std::vector<std::uint64_t> clusters = RunClusters(image, f.number);
    ASSERT_FALSE(clusters.empty());
    std::uint64_t free = 0;
    for (std::uint64_t c : clusters) free += allocated.count(c) == 0;
    EXPECT_EQ(f.condition.total, clusters.size());
    EXPECT_EQ(f.condition.free, free);
  }
  EXPECT_EQ(disk::Classify(rows["gone.bin"].condition), disk::Condition::Overwritten);
  EXPECT_EQ(disk::Classify(rows["big.bin"].condition), disk::Condition::Partial);
  EXPECT_EQ(disk::ConditionText(rows["big.bin"].condition), "60 of 100 clusters still free");
  EXPECT_EQ(disk::PercentFree(rows["big.bin"].condition), 60);
  EXPECT_EQ(disk::Classify(rows["other.bin"].condition), disk::Condition::Intact);
  ASSERT_TRUE(rows.count("res.txt"));
  EXPECT_TRUE(rows["res.txt"].condition.resident);
  EXPECT_EQ(disk::Classify(rows["res.txt"].condition), disk::Condition::Intact);
  // The times of the record: $STANDARD_INFORMATION and $FILE_NAME.
  EXPECT_TRUE(rows["big.bin"].written.present());
  EXPECT_TRUE(rows["big.bin"].hasNameTimes);
  EXPECT_EQ(rows["big.bin"].modified.utcSeconds, rows["big.bin"].changed.utcSeconds);

  // Without a bitmap nothing is promised about a file's clusters.
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  ASSERT_TRUE(ReadMftRecord(ctx, static_cast<RecordNumber>(rows["big.bin"].number), record));
  EXPECT_FALSE(NtfsRowCondition(ctx, nullptr, record, false).known);
  EXPECT_TRUE(NtfsRowCondition(ctx, nullptr, record, true).known) << "a folder counts its record";
}

TEST(NtfsCondition, FileTimes) {
  EXPECT_FALSE(FileTimeToVolumeTime(0).present());
  EXPECT_FALSE(FileTimeToVolumeTime(0x8000000000000000ull).present());
  // 2010-01-01 12:00:00 UTC.
  EXPECT_EQ(FileTimeToVolumeTime(129068208000000000ull).utcSeconds, 1262347200);
}

}  // namespace
}  // namespace ambrelic::ntfs
