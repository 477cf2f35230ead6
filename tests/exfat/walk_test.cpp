// The exFAT walk, scan and restore on volumes made by mkfs.exfat with by-hand
// entries of what no tool writes: sets whose checksum fails, torn sets,
// folders that loop or nest without end, hostile lengths, chains that loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "exfat/allocation.h"
#include "exfat/directory_walk.h"
#include "exfat/restore.h"
#include "exfat_test_volume.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace ambrelic::exfat {
namespace {

using test::SetSpec;
using test::TestVolume;

constexpr std::uint16_t kFolder = 0x10;
constexpr std::uint8_t kContiguous = 0x03;

class ExfatWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    ambrelic::test::UseUtf8Locale();
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    v = TestVolume::Format(512);
    root = v.rootCluster;
    // mkfs.exfat's root holds the label, bitmap and up-case entries first.
    next = 3;
  }
  std::size_t Add(const SetSpec& s) {
    const std::size_t at = next;
    next += v.WriteSet(root, next, s);
    return at;
  }
  std::vector<disk::FoundRow> Search(bool scan = false, const std::string& filter = "", bool used = true,
                                     bool zero = true) {
    ctx = v.Context();
    disk::OperationState op;
    op.listFilesOnUsedClusters = used;
    op.includeZeroSize = zero;
    op.nameFilter = filter;
    ambrelic::test::RecordingHost host;
    SearchExfat(ctx, op, host);
    if (scan) {
      op.ClusterScanActive = 1;
      ScanExfatClusters(ctx, op, host);
    }
    return host.rows;
  }
  static const disk::FoundRow* Row(const std::vector<disk::FoundRow>& rows, const std::string& name) {
    for (const auto& r : rows)
      if (r.name == name) return &r;
    return nullptr;
  }
  static std::size_t Count(const std::vector<disk::FoundRow>& rows, const std::string& name) {
    return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [&](const auto& r) { return r.name == name; }));
  }

  TestVolume v;
  disk::VolumeContext ctx;
  std::uint32_t root = 0;
  std::size_t next = 0;
};

TEST_F(ExfatWalk, ASetWhoseChecksumFailsIsListedOnlyWithItsNameIntact) {
  const std::uint32_t f = v.FreeCluster();
  const std::size_t sum = Add({.name = u"sumonly.txt", .firstCluster = f, .validDataLength = 10, .dataLength = 10});
  v.At(root, sum * 32 + 2) ^= 0x5A;  // the checksum field
  const std::size_t size = Add({.name = u"size.bin", .firstCluster = f, .validDataLength = 10, .dataLength = 10});
  v.At(root, (size + 1) * 32 + 0x18) = 77;  // the stream's data length
  const std::size_t name = Add({.name = u"broken.txt", .firstCluster = f, .validDataLength = 10, .dataLength = 10});
  v.At(root, (name + 2) * 32 + 4) = 'x';  // a name character
  Add({.name = u"fine.txt", .firstCluster = f, .validDataLength = 10, .dataLength = 10});
  Add({.name = u"live.txt", .firstCluster = f, .validDataLength = 10, .dataLength = 10, .deleted = false});

  const auto rows = Search();
  ASSERT_TRUE(Row(rows, "sumonly.txt"));
  ASSERT_TRUE(Row(rows, "size.bin"));
  EXPECT_EQ(Row(rows, "size.bin")->size, "77");
  EXPECT_TRUE(Row(rows, "fine.txt"));
  EXPECT_FALSE(Row(rows, "broken.txt"));
  EXPECT_FALSE(Row(rows, "bxoken.txt"));
  EXPECT_FALSE(Row(rows, "live.txt"));
  EXPECT_EQ(rows.size(), 3u);
  const disk::FoundRow& r = *Row(rows, "fine.txt");
  EXPECT_EQ(r.folder, "C:\\");
  EXPECT_EQ(r.size, "10");
  EXPECT_EQ(r.modified, "06/15/2010 10:30");
  EXPECT_EQ(r.number, std::to_string(f));
}

TEST_F(ExfatWalk, TornAndBrokenShapesAreSkippedWithoutLosingTheSetsAfterThem) {
  const std::uint32_t f = v.FreeCluster();
  // A deletion cut short: the stream still marked in use.
  const std::size_t torn = Add({.name = u"torn.txt", .firstCluster = f, .validDataLength = 5, .dataLength = 5});
  v.At(root, (torn + 1) * 32) = 0xC0;
  // A deleted file entry whose secondary count runs into the next set.
  const std::size_t cut = Add({.name = u"cut.txt", .firstCluster = f, .validDataLength = 5, .dataLength = 5});
  v.At(root, cut * 32 + 1) = 9;
  Add({.name = u"after.txt", .firstCluster = f, .validDataLength = 5, .dataLength = 5});
  // Left-over secondaries with no file entry.
  const std::size_t orphan = Add({.name = u"orphan.txt", .firstCluster = f, .validDataLength = 5, .dataLength = 5});
  v.At(root, orphan * 32) = 0x00 | 0x01;  // a deleted label's type, not a file
  Add({.name = u"last.txt", .firstCluster = f, .validDataLength = 5, .dataLength = 5});

  const auto rows = Search();
  EXPECT_TRUE(Row(rows, "torn.txt"));
  EXPECT_FALSE(Row(rows, "cut.txt"));
  EXPECT_TRUE(Row(rows, "after.txt"));
  EXPECT_FALSE(Row(rows, "orphan.txt"));
  EXPECT_TRUE(Row(rows, "last.txt"));
}

TEST_F(ExfatWalk, DeletedFoldersAreWalkedWholeOnceWhateverTheirChainsAndNamesSay) {
  const std::uint32_t a = v.FreeCluster(0), b = v.FreeCluster(5);
  // A folder of three clusters whose chain loops: a -> b -> a.
  Add({.name = u"loop", .attributes = kFolder, .firstCluster = a, .validDataLength = 3 * 512, .dataLength = 3 * 512});
  v.SetFat(a, b);
  v.SetFat(b, a);
  v.WriteSet(a, 0, {.name = u"in_a.txt", .firstCluster = v.FreeCluster(9), .validDataLength = 3, .dataLength = 3});
  // Inside: a folder naming the loop folder itself, and one naming the root.
  v.WriteSet(a, 3, {.name = u"self", .attributes = kFolder, .firstCluster = a, .validDataLength = 512, .dataLength = 512});
  v.WriteSet(a, 6, {.name = u"up", .attributes = kFolder, .firstCluster = root, .validDataLength = 512, .dataLength = 512});
  v.WriteSet(b, 0, {.name = u"in_b.txt", .firstCluster = v.FreeCluster(9), .validDataLength = 3, .dataLength = 3});

  // The rest of the loop's first cluster holds unused entries (a 0 would
  // end the folder there).
  for (std::size_t at = 9 * 32; at < 512; at += 32) v.Cluster(a)[at] = 0x41;

  const auto rows = Search(true);
  EXPECT_EQ(Count(rows, "in_a.txt"), 1u);
  EXPECT_EQ(Count(rows, "in_b.txt"), 1u);
  ASSERT_TRUE(Row(rows, "in_b.txt"));
  EXPECT_EQ(Row(rows, "in_b.txt")->folder, "C:\\loop");
  EXPECT_EQ(Count(rows, "self"), 1u) << "listed, not entered again";
  EXPECT_EQ(Count(rows, "up"), 1u);
  EXPECT_EQ(Row(rows, "up")->folder, "C:\\loop");
  EXPECT_EQ(Count(rows, "loop"), 1u);
}

TEST_F(ExfatWalk, NestingWithoutEndNeitherExhaustsTheStackNorGrowsPathsPastTheLimit) {
  // 3000 deleted folders, each in the cluster of the one before.
  const std::uint32_t first = v.FreeCluster();
  Add({.name = u"d", .attributes = kFolder, .firstCluster = first, .validDataLength = 512, .dataLength = 512,
       .streamFlags = kContiguous});
  for (std::uint32_t k = 0; k < 3000; ++k) {
    v.WriteSet(first + k, 0,
               {.name = u"d", .attributes = kFolder, .firstCluster = first + k + 1, .validDataLength = 512,
                .dataLength = 512, .streamFlags = kContiguous});
  }
  const auto rows = Search();
  EXPECT_GT(rows.size(), 2000u);
  EXPECT_EQ(rows[0].folder, "C:\\");
  EXPECT_LT(rows.size(), 2100u);
  for (const auto& r : rows) ASSERT_LE(r.folder.size(), 4096u);
}

TEST_F(ExfatWalk, NamesAndClustersNoFileCanHaveAreNotListed) {
  const std::uint32_t f = v.FreeCluster();
  Add({.name = u"Ελληνικά.txt", .firstCluster = f, .validDataLength = 5, .dataLength = 5});
  Add({.name = u"empty.txt"});
  Add({.name = u"nowhere.txt", .firstCluster = v.clusterCount + 2, .validDataLength = 5, .dataLength = 5});
  Add({.name = u"bad\\name.txt", .firstCluster = f, .validDataLength = 5, .dataLength = 5});
  Add({.name = std::u16string(u"nul\0.txt", 8), .firstCluster = f, .validDataLength = 5, .dataLength = 5});
  Add({.name = u"..", .attributes = kFolder, .firstCluster = f, .validDataLength = 512, .dataLength = 512});
  const auto rows = Search();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "Ελληνικά.txt");
  EXPECT_EQ(rows[1].name, "empty.txt");
  EXPECT_EQ(rows[1].number, "0") << "an empty file is listed whatever its cluster field holds";
  EXPECT_EQ(Search(false, "ΛΗΝ").size(), 1u) << "the filter upper-cases the name";
}

TEST_F(ExfatWalk, TheScanFindsSetsAcrossClustersAndFoldersWhoseParentIsGone) {
  const std::uint32_t a = v.FreeCluster(10);
  // Five sets, then one whose name entries run on into the next (free)
  // cluster.
  for (std::size_t k = 0; k < 5; ++k) {
    v.WriteSet(a, 3 * k, {.name = u"f" + std::u16string(1, static_cast<char16_t>(u'0' + k)), .firstCluster = a + 5,
                          .validDataLength = 9, .dataLength = 9});
  }
  const std::size_t last = 512 / 32 - 1;
  v.WriteSet(a, last, {.name = u"straddles the cluster end.bin", .firstCluster = a + 5, .validDataLength = 9,
                       .dataLength = 9});
  // An orphaned folder with a file: its parent's entries are gone.
  v.WriteSet(a + 3, 0, {.name = u"orphan dir", .attributes = kFolder, .firstCluster = a + 4,
                        .validDataLength = 512, .dataLength = 512, .streamFlags = kContiguous});
  v.WriteSet(a + 4, 0, {.name = u"kid.txt", .firstCluster = a + 6, .validDataLength = 9, .dataLength = 9});

  const auto rows = Search(true);
  ASSERT_TRUE(Row(rows, "straddles the cluster end.bin"));
  EXPECT_EQ(Row(rows, "straddles the cluster end.bin")->folder, "C:\\<unknown>");
  ASSERT_TRUE(Row(rows, "orphan dir"));
  EXPECT_EQ(Row(rows, "orphan dir")->folder, "C:\\<unknown>");
  ASSERT_TRUE(Row(rows, "kid.txt"));
  EXPECT_EQ(Row(rows, "kid.txt")->folder, "C:\\<unknown>\\orphan dir");
  EXPECT_EQ(Count(rows, "kid.txt"), 1u);
}

TEST_F(ExfatWalk, AFolderCutShortGivesTheSetThatRunsOnIntoTheFreeClusterAfterIt) {
  // Two deleted folders of one cluster each, full of sets; the last set of
  // each runs past the folder's end, into the free cluster after it (a
  // writer shrank the folder). Only the first one's rest is there.
  const std::uint32_t a = v.FreeCluster(0), b = v.FreeCluster(4);
  for (std::uint32_t dir : {a, b}) {
    Add({.name = dir == a ? u"kept" : u"lost", .attributes = kFolder, .firstCluster = dir, .validDataLength = 512,
         .dataLength = 512, .streamFlags = kContiguous});
    for (std::size_t k = 0; k < 5; ++k) {
      v.WriteSet(dir, 3 * k, {.name = u"x" + std::u16string(1, static_cast<char16_t>(u'0' + k)),
                              .firstCluster = v.FreeCluster(9), .validDataLength = 9, .dataLength = 9});
    }
    v.WriteSet(dir, 15, {.name = u"runs on past the end.txt", .firstCluster = v.FreeCluster(9), .validDataLength = 9,
                         .dataLength = 9});
  }
  v.Cluster(b + 1)[32 + 4] ^= 0x20;  // a character of the rest's second name entry
  const auto rows = Search();
  ASSERT_EQ(Count(rows, "runs on past the end.txt"), 1u);
  EXPECT_EQ(Row(rows, "runs on past the end.txt")->folder, "C:\\kept");
  EXPECT_EQ(Count(rows, "x4"), 2u);
}

TEST_F(ExfatWalk, CancelStopsTheWalkWithTheRowsFoundSoFar) {
  for (int i = 0; i < 10; ++i) {
    Add({.name = u"f" + std::u16string(1, static_cast<char16_t>(u'0' + i)), .firstCluster = v.FreeCluster(),
         .validDataLength = 5, .dataLength = 5});
  }
  ctx = v.Context();
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  host.cancelAfterChecks = 4;
  SearchExfat(ctx, op, host);
  EXPECT_EQ(op.SearchCancelled, 1);
  EXPECT_GE(host.rows.size(), 2u);
  EXPECT_LT(host.rows.size(), 10u);
}

// ---- The clusters a restore reads ---------------------------------------

class ExfatSelection : public ExfatWalk {
 protected:
  std::vector<ClusterRun> Select(std::uint32_t first, std::uint64_t length, bool contiguous, bool& complete) {
    ctx = v.Context();
    return SelectRestoreClusters(ctx, first, length, contiguous, complete);
  }
  static std::vector<std::uint32_t> Flat(const std::vector<ClusterRun>& runs) {
    std::vector<std::uint32_t> out;
    for (const auto& r : runs)
      for (std::uint32_t k = 0; k < r.count; ++k) out.push_back(r.first + k);
    return out;
  }
};

TEST_F(ExfatSelection, ContiguousChainedBrokenAndLoopingFiles) {
  const std::uint32_t f = v.FreeCluster(20);
  bool complete = false;
  // No FAT chain: the run as it stands, used clusters or not.
  v.SetUsed(f + 1, true);
  EXPECT_EQ(Flat(Select(f, 3 * 512, true, complete)), (std::vector<std::uint32_t>{f, f + 1, f + 2}));
  EXPECT_TRUE(complete);
  // A chain still there and free.
  v.SetUsed(f + 1, false);
  v.SetFat(f, f + 5);
  v.SetFat(f + 5, f + 2);
  v.SetFat(f + 2, 0xFFFFFFFF);
  EXPECT_EQ(Flat(Select(f, 3 * 512 - 7, false, complete)), (std::vector<std::uint32_t>{f, f + 5, f + 2}));
  EXPECT_TRUE(complete);
  // Never beyond the length, however long the chain.
  EXPECT_EQ(Flat(Select(f, 512, false, complete)), (std::vector<std::uint32_t>{f}));
  // A link to a cluster in use ends the chain: the next free clusters.
  v.SetUsed(f + 5, true);
  EXPECT_EQ(Flat(Select(f, 3 * 512, false, complete)), (std::vector<std::uint32_t>{f, f + 1, f + 2}));
  // Unless the first cluster is in use too (a row listed with include used).
  v.SetUsed(f, true);
  EXPECT_EQ(Flat(Select(f, 3 * 512, false, complete)), (std::vector<std::uint32_t>{f, f + 5, f + 2}));
  v.SetUsed(f, false);
  v.SetUsed(f + 5, false);
  // A chain that loops: what it gave, then the next free clusters.
  v.SetFat(f + 2, f);
  EXPECT_EQ(Flat(Select(f, 5 * 512, false, complete)), (std::vector<std::uint32_t>{f, f + 5, f + 2, f + 3, f + 4}));
  EXPECT_TRUE(complete);
}

// The condition counts what the restore would read had nothing been
// reused: a cluster in use on that path is a lost part of the file.
TEST_F(ExfatSelection, TheConditionCountsTheClustersTheRestoreWouldRead) {
  const std::uint32_t f = v.FreeCluster(20);
  auto condition = [&](std::uint32_t first, std::uint64_t length, bool contiguous, bool folder = false) {
    ctx = v.Context();
    return ExfatRowCondition(ctx, disk::ExfatStream{first, length, length, contiguous, folder});
  };
  // A run without chain: its own clusters, in use or not.
  v.SetUsed(f + 1, true);
  disk::RowCondition c = condition(f, 3 * 512, true);
  EXPECT_EQ(c.total, 3u);
  EXPECT_EQ(c.free, 2u);
  EXPECT_EQ(disk::Classify(c), disk::Condition::Partial);
  // A chain: its links, then the next clusters (in use ones lost).
  v.SetUsed(f + 1, false);
  v.SetFat(f, f + 5);
  v.SetUsed(f + 6, true);
  c = condition(f, 3 * 512, false);
  EXPECT_EQ(c.total, 3u);
  EXPECT_EQ(c.free, 2u) << "f, f+5 free; f+6 after the chain's end is not";
  EXPECT_FALSE(c.firstInUse);
  v.SetUsed(f + 6, false);
  EXPECT_EQ(disk::Classify(condition(f, 3 * 512, false)), disk::Condition::Intact);
  // A first cluster taken since: overwritten, whatever else is free.
  v.SetUsed(f, true);
  c = condition(f, 3 * 512, false);
  EXPECT_TRUE(c.firstInUse);
  EXPECT_EQ(disk::Classify(c), disk::Condition::Overwritten);
  EXPECT_EQ(c.free, 2u);
  v.SetUsed(f, false);
  // A folder counts its first cluster; an empty file none; a run past the
  // volume's end loses what lies beyond it.
  EXPECT_EQ(condition(f, 0, false, true).total, 1u);
  EXPECT_EQ(condition(f, 0, false).total, 0u);
  const std::uint32_t last = v.clusterCount + 1;
  c = condition(last, 4 * 512, true);
  EXPECT_EQ(c.total, 4u);
  EXPECT_LE(c.free, 1u);
  c = condition(v.FreeCluster(), std::uint64_t{1} << 62, false);
  EXPECT_EQ(disk::Classify(c), disk::Condition::Partial) << "a length no volume holds";
}

// A folder restore's entries take names the target holds: a name of more
// bytes than a Linux name takes is fitted; a folder whose name a file holds
// takes a number; what cannot be made is not complete.
TEST(ExfatRestoreEntry, LongNamesAreFittedAndFoldersNeverLost) {
  const std::string dir = ambrelic::test::MakeTempDir("exfat-entry");
  disk::VolumeContext ctx;
  ambrelic::test::RecordingHost host;
  RestoreCandidate entry;
  entry.parentPath = dir;
  // 200 units of "é": 400 bytes of UTF-8.
  std::string name;
  for (int i = 0; i < 200; ++i) name += "\xC3\xA9";
  entry.name = name + ".txt";
  EntryRestore done = RestoreExfatEntry(ctx, host, entry);
  EXPECT_TRUE(done.complete);
  std::vector<std::string> made;
  for (const auto& e : std::filesystem::directory_iterator(dir)) made.push_back(e.path().filename().string());
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0], platform::FitName(entry.name));
  EXPECT_LE(made[0].size(), 255u);
  // A file already named "sub": the folder becomes "sub (2)".
  entry.name = "sub";
  RestoreExfatEntry(ctx, host, entry);
  entry.isFolder = true;
  done = RestoreExfatEntry(ctx, host, entry);
  EXPECT_TRUE(done.complete);
  EXPECT_EQ(done.folderPath, dir + "/sub (2)");
  EXPECT_TRUE(std::filesystem::is_directory(done.folderPath));
  entry.parentPath = dir + "/missing";
  EXPECT_FALSE(RestoreExfatEntry(ctx, host, entry).complete);
  EXPECT_TRUE(host.events.empty());
}

TEST(ExfatTimes, StampsWithAnOffsetAreMomentsAndWithoutOneLocalFields) {
  // 2010-06-15 10:30:04.50 at UTC+02:00 (eight 15-minute steps).
  const std::uint32_t stamp = (30u << 25) | (6u << 21) | (15u << 16) | (10u << 11) | (30u << 5) | 2u;
  const disk::VolumeTime east = StampTime(stamp, 150, 0x80 | 8);
  ASSERT_EQ(east.kind, disk::VolumeTime::Kind::Utc);
  EXPECT_EQ(east.utcSeconds, 1276597805 - 2 * 3600);
  // West of UTC: the offset's seven bits are negative (-4:00).
  EXPECT_EQ(StampTime(stamp, 0, 0x80 | (128 - 16)).utcSeconds, 1276597804 + 4 * 3600);
  const disk::VolumeTime local = StampTime(stamp, 0, 0x08);
  ASSERT_EQ(local.kind, disk::VolumeTime::Kind::Local);
  EXPECT_EQ(local.hour, 10);
  EXPECT_EQ(local.second, 4);
  EXPECT_FALSE(StampTime(0, 0, 0x80).present()) << "never set";
  EXPECT_FALSE(disk::UnixSeconds(StampTime(0x0000FFFF, 0, 0x80)).has_value()) << "no date";
}

TEST_F(ExfatSelection, TheVolumeEndWrapsOnceAndLengthsBeyondItAreIncomplete) {
  const std::uint32_t last = v.clusterCount + 1;
  bool complete = true;
  const auto runs = Flat(Select(last, 3 * 512, false, complete));
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0], last);
  EXPECT_LT(runs[1], last) << "wrapped to the start";
  EXPECT_FALSE(BitmapInUse(VolumeOf(ctx).bitmap, runs[1]));
  EXPECT_TRUE(complete);
  EXPECT_EQ(Flat(Select(last, 3 * 512, true, complete)).size(), 1u);
  EXPECT_FALSE(complete) << "a contiguous run past the end";
  Select(v.FreeCluster(), std::uint64_t{1} << 62, false, complete);
  EXPECT_FALSE(complete);
  EXPECT_TRUE(Select(0, 100, false, complete).empty());
  EXPECT_FALSE(complete);
  EXPECT_TRUE(Select(v.FreeCluster(), 0, false, complete).empty());
  EXPECT_TRUE(complete);
}

TEST_F(ExfatSelection, RestoreWritesZerosPastTheValidLengthAndNeverPastTheDataLength) {
  const std::uint32_t f = v.FreeCluster(30);
  for (std::uint32_t k = 0; k < 4; ++k) std::fill(v.Cluster(f + k).begin(), v.Cluster(f + k).end(), 0xAB);
  ctx = v.Context();
  const std::string dir = ambrelic::test::MakeTempDir("exfat-restore");
  ambrelic::test::RecordingHost host;
  auto restore = [&](const std::string& name, std::uint64_t valid, std::uint64_t length) {
    disk::ExfatStream s{f, valid, length, true, false};
    const bool whole = RestoreExfatFile(ctx, host, dir + "/" + name, s);
    return std::make_pair(whole, ambrelic::test::ReadFileBytes(dir + "/" + name));
  };
  auto [w1, partZero] = restore("part", 100, 1000);
  EXPECT_TRUE(w1);
  ASSERT_EQ(partZero.size(), 1000u);
  EXPECT_EQ(std::count(partZero.begin(), partZero.begin() + 100, 0xAB), 100);
  EXPECT_EQ(std::count(partZero.begin() + 100, partZero.end(), 0), 900);
  auto [w2, capped] = restore("capped", 1000000000000ull, 1000);
  EXPECT_TRUE(w2);
  EXPECT_EQ(capped.size(), 1000u);
  auto [w3, huge] = restore("huge", std::uint64_t{1} << 63, std::uint64_t{1} << 63);
  EXPECT_FALSE(w3) << "the volume cannot hold it";
  EXPECT_LE(huge.size(), static_cast<std::size_t>(v.clusterCount) * 512);
  EXPECT_TRUE(host.events.empty()) << "an incomplete file ends silently, as on FAT";
  // A name taken gets a number; nothing is replaced.
  restore("part", 10, 10);
  EXPECT_TRUE(std::filesystem::exists(dir + "/part (2)"));
  EXPECT_EQ(std::filesystem::file_size(dir + "/part"), 1000u);
}

}  // namespace
}  // namespace ambrelic::exfat
