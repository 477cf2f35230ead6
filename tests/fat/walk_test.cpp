// The walk in each mode, and on damaged volumes that no tool writes.
#include <gtest/gtest.h>

#include <random>

#include "fat/cluster_scan.h"
#include "fat/directory_walk.h"
#include "fat_test_image.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

using test::MemFat;

// A FAT16 volume: root with a live folder DOCS (cluster 3) holding a deleted
// file, a deleted folder OLD (cluster 4) holding a file and a deleted
// subfolder SUB (cluster 5) with a file, and a deleted file at the root.
MemFat SampleVolume() {
  MemFat v;
  v.Put(0, 0, MemFat::Short("DOCS       ", 0x10, 3, 0));
  v.Put(0, 1, MemFat::Short("\xE5" "LD        ", 0x10, 4, 0));
  v.Put(0, 2, MemFat::Short("\xE5" "OOT    TXT", 0x20, 10, 100));
  v.SetFat(3, -1);
  v.Dots(3, 0);
  v.Put(3, 2, MemFat::Short("\xE5" "EMO    TXT", 0x20, 11, 100));
  v.Put(3, 3, MemFat::Short("LIVE    TXT", 0x20, 20, 100));
  v.SetFat(20, -1);
  v.Dots(4, 0);
  v.Put(4, 2, MemFat::Short("FILE    TXT", 0x20, 12, 100));
  v.Put(4, 3, MemFat::Short("\xE5" "UB        ", 0x10, 5, 0));
  v.Dots(5, 4);
  v.Put(5, 2, MemFat::Short("DEEP    TXT", 0x20, 13, 100));
  return v;
}

std::vector<std::string> RowTexts(const std::vector<disk::FoundRow>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.folder + "|" + r.name);
  return out;
}

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override { ambrelic::test::UseUtf8Locale(); }
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
};

TEST_F(WalkTest, SearchListsAndReportsProgressInOrder) {
  MemFat v = SampleVolume();
  SearchFat(v.ctx, op, host);
  EXPECT_EQ(RowTexts(host.rows), (std::vector<std::string>{
                                     "C:\\|$LD", "C:\\|$OOT.TXT", "C:\\DOCS|$EMO.TXT", "C:\\$LD|FILE.TXT",
                                     "C:\\$LD|$UB", "C:\\$LD\\$UB|DEEP.TXT"}));
  ASSERT_EQ(host.progress.size(), 1u);
  const auto& p = *host.progress[0];
  EXPECT_EQ(p.label, "");
  EXPECT_EQ(p.total, 3u);  // two subdirectory entries at the root, plus one
  EXPECT_TRUE(p.fileLabelShown);
  EXPECT_EQ(p.positions, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_TRUE(p.closed);
  EXPECT_EQ(op.ActiveProgress, nullptr);
  EXPECT_EQ(op.SearchCancelled, 0);
  // The deleted folders walked are marked in fatWork, not in fatCopy.
  EXPECT_EQ(FatGetEntry(v.ctx, v.ctx.fatWork, 4), kEndOfChain);
  EXPECT_EQ(FatGetEntry(v.ctx, v.ctx.fatWork, 5), kEndOfChain);
  EXPECT_EQ(FatGetEntry(v.ctx, v.ctx.fatCopy, 4), kFreeCluster);
  // Every entry handled and every directory asked for a cancel.
  EXPECT_GT(p.cancelChecks, 10);
}

TEST_F(WalkTest, CancelInTheMiddleKeepsTheRowsSoFar) {
  for (long after = 0; after < 40; ++after) {
    MemFat v = SampleVolume();
    host = ambrelic::test::RecordingHost{};
    host.cancelAfterChecks = after;
    op = disk::OperationState{};
    SearchFat(v.ctx, op, host);
    const long totalChecks = host.cancelChecks;
    if (after + 1 > totalChecks) {
      EXPECT_EQ(op.SearchCancelled, 0);
      EXPECT_EQ(host.rows.size(), 6u);
      break;
    }
    EXPECT_EQ(op.SearchCancelled, 1) << after;
    EXPECT_LT(host.rows.size(), 6u) << after;
    // The walk unwinds: what is left are the root's Advance calls for the
    // remaining root folders (two here).
    EXPECT_LE(totalChecks, after + 3) << after;
  }
}

TEST_F(WalkTest, ReplaceInfoHandsOverEveryRegionWithoutCancelChecks) {
  MemFat v = SampleVolume();
  op.OperationMode = disk::OpReplaceInfo;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> regions;
  WalkHooks hooks;
  hooks.replaceRegion = [&](std::uint32_t first, std::span<std::uint8_t> region, std::uint32_t count) {
    EXPECT_EQ(region.size(), count * 512u);
    regions.emplace_back(first, count);
  };
  SearchFat(v.ctx, op, host, hooks);
  EXPECT_TRUE(host.rows.empty());
  const std::uint32_t root = v.ctx.rootDirSector;
  auto sec = [&](Cluster c) { return ClusterToSector(v.ctx, c); };
  EXPECT_EQ(regions, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                         {root, 1}, {sec(3), 1}, {sec(4), 1}, {sec(5), 1}}));
  ASSERT_EQ(host.progress.size(), 1u);
  EXPECT_EQ(host.progress[0]->fileNames, (std::vector<std::string>{"Replacing file information."}));
  // Only the root's Advance calls look at the cancel request.
  EXPECT_EQ(host.progress[0]->cancelChecks, 2);
}

TEST_F(WalkTest, ReplaceInfoCancelStopsTheRemainingRootFolders) {
  MemFat v = SampleVolume();
  op.OperationMode = disk::OpReplaceInfo;
  host.cancelAfterChecks = 0;  // the first Advance reports Cancel
  int regions = 0;
  WalkHooks hooks;
  hooks.replaceRegion = [&](std::uint32_t, std::span<std::uint8_t>, std::uint32_t) { ++regions; };
  SearchFat(v.ctx, op, host, hooks);
  EXPECT_EQ(op.SearchCancelled, 1);
  EXPECT_EQ(regions, 1);  // the root sector only
}

TEST_F(WalkTest, FolderRestoreWalkHandsCandidatesWithoutProgress) {
  MemFat v = SampleVolume();
  v.ctx.fatWork.clear();
  std::vector<std::string> seen;
  WalkHooks hooks;
  hooks.restoreEntry = [&](const RestoreCandidate& c) {
    seen.push_back(c.fullPath + (c.isFolder ? "/" : "") + " " + std::to_string(c.firstCluster) + " " +
                   std::to_string(c.size) + " in " + c.parentPath);
    return c.isFolder ? c.fullPath : std::string();
  };
  RestoreFolderWalk(v.ctx, op, host, 4, "/target/OLD", hooks);
  EXPECT_EQ(seen, (std::vector<std::string>{"/target/OLD/FILE.TXT 12 100 in /target/OLD",
                                            "/target/OLD/$UB/ 5 0 in /target/OLD",
                                            "/target/OLD/$UB/DEEP.TXT 13 100 in /target/OLD/$UB"}));
  EXPECT_TRUE(host.progress.empty());
  EXPECT_TRUE(host.rows.empty());
  EXPECT_EQ(host.cancelChecks, 0);
  EXPECT_EQ(op.OperationMode, disk::OpRestore);
  EXPECT_TRUE(v.ctx.fatWork.empty());  // freed again

  // The filter still applies to files; every folder is handed, so that the
  // matching files inside have a folder to go to.
  seen.clear();
  op.nameFilter = "DEEP";
  RestoreFolderWalk(v.ctx, op, host, 4, "/target/OLD", hooks);
  EXPECT_EQ(seen, (std::vector<std::string>{"/target/OLD/$UB/ 5 0 in /target/OLD",
                                            "/target/OLD/$UB/DEEP.TXT 13 100 in /target/OLD/$UB"}));
}

TEST_F(WalkTest, FolderRestoreEntersFoldersWhereTheHookMadeThem) {
  MemFat v = SampleVolume();
  std::vector<std::string> seen;
  std::string suffix = " (2)";  // the folder was made under another name
  WalkHooks hooks;
  hooks.restoreEntry = [&](const RestoreCandidate& c) {
    seen.push_back(c.fullPath);
    return c.isFolder && !suffix.empty() ? c.fullPath + suffix : std::string();
  };
  RestoreFolderWalk(v.ctx, op, host, 4, "/t", hooks);
  EXPECT_EQ(seen, (std::vector<std::string>{"/t/FILE.TXT", "/t/$UB", "/t/$UB (2)/DEEP.TXT"}));
  // Not made: not entered.
  seen.clear();
  suffix.clear();
  RestoreFolderWalk(v.ctx, op, host, 4, "/t", hooks);
  EXPECT_EQ(seen, (std::vector<std::string>{"/t/FILE.TXT", "/t/$UB"}));
  EXPECT_TRUE(host.events.empty());
}

TEST_F(WalkTest, ClusterScanOfVacantClusters) {
  MemFat v = SampleVolume();
  // Cluster 30: an orphaned directory cluster, free in the table.
  v.Dots(30, 0);
  v.Put(30, 2, MemFat::Short("ORPHAN  TXT", 0x20, 31, 100));
  v.Put(30, 3, MemFat::Short("\xE5" "ONE    TXT", 0x20, 32, 100));
  op.nameFilter = "";
  SearchFat(v.ctx, op, host);
  host.rows.clear();
  op.ClusterScanActive = 1;
  ScanClusters(v.ctx, op, host);
  // Clusters 4 and 5 were walked as deleted folders (marked); 30 is found.
  EXPECT_EQ(RowTexts(host.rows), (std::vector<std::string>{"C:\\<unknown>|ORPHAN.TXT", "C:\\<unknown>|$ONE.TXT"}));
  ASSERT_EQ(host.progress.size(), 2u);
  const auto& p = *host.progress[1];
  EXPECT_EQ(p.label, "Cluster:");
  EXPECT_EQ(p.total, v.ctx.lastCluster);
  EXPECT_TRUE(p.fileLabelShown);
  ASSERT_EQ(p.positions.size(), v.ctx.lastCluster - 1);
  EXPECT_EQ(p.positions.front(), 2u);
  EXPECT_EQ(p.positions.back(), v.ctx.lastCluster);
  EXPECT_TRUE(p.closed);

  // All clusters, used ones too: the live folder DOCS and the deleted ones.
  host = ambrelic::test::RecordingHost{};
  op.IncludeUsedClusters = 1;
  op.listFilesOnUsedClusters = 1;
  op.nameFilter = "TXT";
  ScanClusters(v.ctx, op, host);
  // Each folder's rows under the folder, as far as its entries link it;
  // the orphan's folder is named nowhere.
  EXPECT_EQ(RowTexts(host.rows),
            (std::vector<std::string>{"C:\\DOCS|$EMO.TXT", "C:\\DOCS|LIVE.TXT", "C:\\$LD|FILE.TXT",
                                      "C:\\$LD\\$UB|DEEP.TXT", "C:\\<unknown>|ORPHAN.TXT", "C:\\<unknown>|$ONE.TXT"}));
}

TEST_F(WalkTest, ClusterScanStopsOnceCancelled) {
  MemFat v(disk::FsKind::Fat16, 200);
  for (Cluster c = 2; c < 200; ++c) v.Put(c, 0, MemFat::Short("\xE5" "ILE    TXT", 0x20, 3, 100));
  host.cancelAfterChecks = 50;
  op.ClusterScanActive = 1;
  ScanClusters(v.ctx, op, host);
  EXPECT_EQ(op.SearchCancelled, 1);
  EXPECT_LT(host.progress[0]->positions.size(), 60u);
  EXPECT_GT(host.rows.size(), 10u);
}

TEST_F(WalkTest, Fat12ChainsAtOddEntries) {
  MemFat v(disk::FsKind::Fat12, 40);
  v.Put(0, 0, MemFat::Short("ODD        ", 0x10, 3, 0));
  v.Chain({3, 5, 7});  // odd entries only
  v.Dots(3, 0);
  for (std::size_t i = 2; i < 16; ++i) v.Put(3, i, MemFat::Short("LIVE    TXT", 0x20, 20, 1));
  for (std::size_t i = 0; i < 16; ++i) v.Put(5, i, MemFat::Short("LIVE    TXT", 0x20, 20, 1));
  v.Put(7, 0, MemFat::Short("\xE5" "AST    TXT", 0x20, 9, 1));
  SearchFat(v.ctx, op, host);
  EXPECT_EQ(RowTexts(host.rows), (std::vector<std::string>{"C:\\ODD|$AST.TXT"}));
}

TEST_F(WalkTest, LoopedChainsAndSelfContainingFoldersEnd) {
  MemFat v(disk::FsKind::Fat32, 40);
  // Root (2) -> 6 -> 2: a loop through the root's own chain.
  v.SetFat(2, 6);
  v.SetFat(6, 2);
  v.Put(2, 0, MemFat::Short("LOOP       ", 0x10, 3, 0));
  v.Put(2, 1, MemFat::Short("\xE5" "OOTFILETXT", 0x20, 30, 1));
  // LOOP (3) -> 4 -> 3, and LOOP names itself and its parent's cluster.
  v.SetFat(3, 4);
  v.SetFat(4, 3);
  v.Dots(3, 2);
  v.Put(3, 2, MemFat::Short("SELF       ", 0x10, 3, 0));
  v.Put(3, 3, MemFat::Short("CHILD      ", 0x10, 5, 0));
  v.Put(3, 4, MemFat::Short("\xE5" "NLOOP  TXT", 0x20, 31, 1));
  for (std::size_t i = 5; i < 16; ++i) v.Put(3, i, MemFat::Short("PAD     TXT", 0x20, 0, 0));
  for (std::size_t i = 0; i < 16; ++i) v.Put(4, i, MemFat::Short("PAD     TXT", 0x20, 0, 0));
  v.Put(4, 15, MemFat::Short("\xE5" "ECOND  TXT", 0x20, 32, 1));
  // CHILD (5) names LOOP, its parent, as a subfolder.
  v.SetFat(5, -1);
  v.Dots(5, 3);
  v.Put(5, 2, MemFat::Short("BACK       ", 0x10, 3, 0));
  v.Put(5, 3, MemFat::Short("\xE5" "NCHILD TXT", 0x20, 33, 1));
  for (std::size_t i = 0; i < 16; ++i) v.Put(6, i, MemFat::Short("PAD2    TXT", 0x20, 0, 0));
  SearchFat(v.ctx, op, host);
  EXPECT_EQ(RowTexts(host.rows), (std::vector<std::string>{"C:\\|$OOTFILE.TXT", "C:\\LOOP|$NLOOP.TXT",
                                                           "C:\\LOOP|$ECOND.TXT", "C:\\LOOP\\CHILD|$NCHILD.TXT"}));
}

TEST_F(WalkTest, DepthIsBoundedByThePathLimit) {
  // 300 live folders, each the only subfolder of the one before: paths grow
  // by two bytes a level and stop at 518 bytes.
  MemFat v(disk::FsKind::Fat16, 320, 1, 3);
  v.Put(0, 0, MemFat::Short("D          ", 0x10, 3, 0));
  for (Cluster c = 3; c < 303; ++c) {
    v.SetFat(c, -1);
    v.Dots(c, c - 1);
    v.Put(c, 2, MemFat::Short("D          ", 0x10, c + 1, 0));
    v.Put(c, 3, MemFat::Short("\xE5" "ERE    TXT", 0x20, 310, 1));
  }
  SearchFat(v.ctx, op, host);
  ASSERT_FALSE(host.rows.empty());
  std::size_t longest = 0;
  for (const auto& r : host.rows) longest = std::max(longest, r.folder.size());
  EXPECT_LE(longest, 518u);
  EXPECT_GE(longest, 515u);
  EXPECT_LT(host.rows.size(), 300u);

  // A folder restore goes as deep as its target takes: every level.
  int deepest = 0;
  WalkHooks hooks;
  hooks.restoreEntry = [&](const RestoreCandidate& c) {
    deepest = std::max<int>(deepest, static_cast<int>(c.fullPath.size()));
    return c.isFolder ? c.fullPath : std::string();
  };
  // The restore walks deleted folders: make the whole tree free again.
  for (Cluster c = 3; c < 303; ++c) v.SetFat(c, 0);
  host = ambrelic::test::RecordingHost{};
  RestoreFolderWalk(v.ctx, op, host, 3, "/t", hooks);
  EXPECT_EQ(deepest, static_cast<int>(std::string("/t").size() + 299 * 2 + std::string("/$ERE.TXT").size()));
}

TEST_F(WalkTest, AFolderRestoreGoesDownToThePathLimitOfItsTarget) {
  // 2200 deleted folders, each the only subfolder of the one before: the
  // restore's paths grow by two bytes a level and stop at 4095 bytes, more
  // than 2000 levels down (which the walk's recursion must bear).
  MemFat v(disk::FsKind::Fat16, 2200, 1, 9);
  for (Cluster c = 3; c < 2200; ++c) {
    v.Dots(c, c - 1);
    v.Put(c, 2, MemFat::Short("D          ", 0x10, c + 1, 0));
  }
  std::size_t deepest = 0;
  WalkHooks hooks;
  hooks.restoreEntry = [&](const RestoreCandidate& c) {
    deepest = std::max(deepest, c.fullPath.size());
    return c.isFolder ? c.fullPath : std::string();
  };
  RestoreFolderWalk(v.ctx, op, host, 3, "/t", hooks);
  EXPECT_GE(deepest, 4096u);
  EXPECT_LE(deepest, 4097u);
}

TEST_F(WalkTest, ShortAndGarbageVolumesEnd) {
  // A volume description larger than its image: reads past the end give
  // zeros, which end every directory.
  MemFat v(disk::FsKind::Fat32, 1000);
  v.device->Bytes().resize(4096);
  v.ctx.lastCluster = 5000000;
  SearchFat(v.ctx, op, host);
  op.ClusterScanActive = 1;
  op.IncludeUsedClusters = 1;
  ScanClusters(v.ctx, op, host);
  EXPECT_TRUE(host.rows.empty());

  // Random bytes everywhere (directories, table), many times over.
  std::mt19937 rng(20261208);
  for (int round = 0; round < 90; ++round) {
    const auto kind = round % 3 == 0 ? disk::FsKind::Fat12 : round % 3 == 1 ? disk::FsKind::Fat16 : disk::FsKind::Fat32;
    MemFat g(kind, 100, 1, 1);
    for (auto& b : g.device->Bytes()) b = static_cast<std::uint8_t>(rng());
    for (auto& b : g.ctx.fatCopy) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 110 : rng());
    g.ctx.fatWork = g.ctx.fatCopy;
    disk::OperationState o;
    o.listFilesOnUsedClusters = round & 1;
    o.includeZeroSize = 1;
    ambrelic::test::RecordingHost h;
    SearchFat(g.ctx, o, h);
    o.ClusterScanActive = 1;
    o.IncludeUsedClusters = round & 1;
    ScanClusters(g.ctx, o, h);
    for (const auto& r : h.rows) {
      EXPECT_FALSE(r.name.empty());
      EXPECT_LE(r.folder.size(), 518u + 1 + 765u);
    }
  }
}

TEST_F(WalkTest, FilteredScanListsWhatTheFilterRuleSelects) {
  // Entries the filter's anchors reject early must be exactly those the
  // designed match would drop: compare with an unfiltered scan filtered here.
  platform::SetOemCodepage("CP437");
  std::mt19937 rng(7);
  MemFat v(disk::FsKind::Fat16, 300);
  auto& bytes = v.device->Bytes();
  for (std::size_t at = static_cast<std::size_t>(v.ctx.dataStartSector) * 512; at < bytes.size(); at += 32) {
    for (std::size_t i = 0; i < 32; ++i) {
      // Mostly letters, digits and a few OEM bytes, so that names match.
      const unsigned r = rng() % 64;
      bytes[at + i] = static_cast<std::uint8_t>(r < 26 ? 'A' + r : r < 36 ? '0' + r - 26 : r < 40 ? 0x80 + r : r < 44 ? 0xE5 : r < 54 ? 'A' + r - 44 : ' ');
    }
    // Entries a file system could have written (the scan lists no others):
    // no reserved bits, plausible times, a size that fits.
    for (std::size_t i = 0x0C; i < 0x14; ++i) bytes[at + i] = 0;
    bytes[at + 0x16] = 0x00; bytes[at + 0x17] = 0x60;  // 12:00
    bytes[at + 0x18] = 0x21; bytes[at + 0x19] = 0x3C;  // 2010-01-01
    bytes[at + 0x1D] = static_cast<std::uint8_t>(rng() % 2);
    bytes[at + 0x1E] = bytes[at + 0x1F] = 0;
    if (bytes[at] == ' ') bytes[at] = 'B';
    bytes[at + 0x0B] = 0x20;                      // no long-name entries
    bytes[at + 0x14] = bytes[at + 0x15] = bytes[at + 0x1B] = 0;
    bytes[at + 0x1A] = static_cast<std::uint8_t>(2 + rng() % 200);  // a valid first cluster
    if (bytes[at] == '$') bytes[at] = 'A';       // '$' only for a lost first character
  }
  op.ClusterScanActive = 1;
  op.IncludeUsedClusters = 1;
  op.listFilesOnUsedClusters = 1;
  op.includeZeroSize = 1;
  ScanClusters(v.ctx, op, host);
  const auto all = host.rows;
  ASSERT_GT(all.size(), 1000u);
  for (const std::string filter : {"AB", "XQZ", "1A", "Z9", "$AB", "A.B", "\xC3\x87" "A", "B\xC3\x87", "Q", "\xC3\x91"}) {
    std::vector<std::string> expected;
    const std::string dollar = "$" + filter.substr(static_cast<unsigned char>(filter[0]) >= 0x80 ? 2 : 1);
    for (const auto& r : all) {
      const std::string upper = platform::UpperCase(r.name);
      if ((r.name[0] == '$' && upper.compare(0, dollar.size(), dollar) == 0) || upper.find(filter) != std::string::npos) {
        expected.push_back(r.name + "@" + r.number);
      }
    }
    host = ambrelic::test::RecordingHost{};
    op.nameFilter = filter;
    ScanClusters(v.ctx, op, host);
    std::vector<std::string> got;
    for (const auto& r : host.rows) got.push_back(r.name + "@" + r.number);
    EXPECT_EQ(got, expected) << filter;
    if (filter.size() <= 2 && filter[0] != '$') {
      EXPECT_FALSE(got.empty()) << filter;
    }
  }
}

TEST_F(WalkTest, UnusableDescriptionsDoNothing) {
  disk::VolumeContext empty;
  SearchFat(empty, op, host);
  ScanClusters(empty, op, host);
  EXPECT_TRUE(host.rows.empty());
  EXPECT_EQ(op.ActiveProgress, nullptr);
}

}  // namespace
}  // namespace ambrelic::fat
