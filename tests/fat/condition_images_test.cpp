// The condition of FAT rows on a volume where a known part of deleted files
// now belongs to new files, checked against what mtools said about each
// file's clusters while it lived and about the live files at the end.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "fat/condition.h"
#include "fat/directory_walk.h"
#include "fat_test_image.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

// "<3-5> <9> ..." as mshowfat prints a chain.
std::vector<Cluster> ParseChain(const std::string& text) {
  std::vector<Cluster> out;
  std::istringstream in(text);
  std::string part;
  while (in >> part) {
    if (part.size() < 3 || part.front() != '<' || part.back() != '>') continue;
    const std::string body = part.substr(1, part.size() - 2);
    const auto dash = body.find('-');
    const Cluster a = static_cast<Cluster>(std::stoul(body.substr(0, dash)));
    const Cluster b = dash == std::string::npos ? a : static_cast<Cluster>(std::stoul(body.substr(dash + 1)));
    for (Cluster c = a; c <= b; ++c) out.push_back(c);
  }
  return out;
}

TEST(FatCondition, KnownPartsOverwrittenByNewFiles) {
  ambrelic::test::UseUtf8Locale();
  const std::string image = ambrelic::test::FixtureImage("make_condition_images.sh", "cond-fat16.img");
  std::ifstream list(image.substr(0, image.size() - 4) + ".txt");
  std::map<std::string, std::vector<Cluster>> deleted;
  std::set<Cluster> live;
  std::string line;
  while (std::getline(list, line)) {
    std::istringstream in(line);
    std::string kind, name, chain;
    std::getline(in, kind, '\t');
    std::getline(in, name, '\t');
    std::getline(in, chain);
    for (Cluster c : ParseChain(chain)) {
      if (kind == "live") live.insert(c);
    }
    if (kind == "deleted") deleted[name] = ParseChain(chain);
  }
  ASSERT_EQ(deleted.size(), 3u);

  disk::VolumeContext ctx;
  ASSERT_TRUE(test::OpenFatImage(image, ctx));
  disk::OperationState op;
  op.listFilesOnUsedClusters = 1;  // OVER.BIN's first cluster is in use
  ambrelic::test::RecordingHost host;
  SearchFat(ctx, op, host);

  std::map<std::string, disk::RowFacts> rows;
  for (const auto& r : host.rows) rows[r.name.substr(1)] = r.facts;  // '$' + the rest of the name
  for (const auto& [name, chain] : deleted) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(rows.count(name.substr(1)));
    const disk::RowFacts& f = rows[name.substr(1)];
    // The clusters from the first one on, as many as the file had (they
    // were contiguous: mtools allocates lowest first on an empty volume).
    std::uint64_t free = 0;
    for (std::size_t k = 0; k < chain.size(); ++k) free += live.count(chain.front() + static_cast<Cluster>(k)) == 0;
    EXPECT_EQ(f.number, chain.front());
    EXPECT_EQ(f.condition.total, chain.size());
    EXPECT_EQ(f.condition.free, free);
    EXPECT_EQ(f.condition.firstInUse, live.count(chain.front()) == 1);
  }
  EXPECT_EQ(disk::Classify(rows["VER.BIN"].condition), disk::Condition::Overwritten);
  EXPECT_EQ(disk::PercentFree(rows["VER.BIN"].condition), 0);
  EXPECT_EQ(disk::Classify(rows["IG.BIN"].condition), disk::Condition::Partial);
  EXPECT_EQ(disk::PercentFree(rows["IG.BIN"].condition), 60);
  EXPECT_EQ(disk::ConditionText(rows["IG.BIN"].condition), "6 of 10 clusters still free");
  EXPECT_EQ(disk::Classify(rows["MALL.TXT"].condition), disk::Condition::Intact);
  // The deleted folder entry's file T.BIN: its one cluster is free again.
  EXPECT_EQ(disk::ConditionText(rows[".BIN"].condition), "1 of 1 cluster still free");
}

TEST(FatCondition, WindowWrapsOnceAndEmptyFilesAndFolders) {
  test::MemFat v(disk::FsKind::Fat16, 64);
  disk::VolumeContext& ctx = v.ctx;
  // Clusters 60 to the last one free, and 2 to 5; 6 in use.
  for (Cluster c = 2; c <= ctx.lastCluster; ++c) v.SetFat(c, c >= 6 && c < 60 ? -1 : 0);
  const std::uint32_t cs = ctx.bytesPerCluster;
  const Cluster last = static_cast<Cluster>(ctx.lastCluster);
  // From cluster 60: to the last cluster, then from 2 up.
  auto c = FatRowCondition(ctx, 60, (last - 60 + 1 + 3) * cs, false);
  EXPECT_EQ(c.total, last - 60 + 1 + 3);
  EXPECT_EQ(c.free, c.total);
  // Longer than the volume: the window stops at the first cluster again.
  c = FatRowCondition(ctx, 60, (last + 10) * cs, false);
  EXPECT_EQ(c.free, (last - 60 + 1) + 4) << "60..last, then 2..5";
  EXPECT_EQ(disk::Classify(c), disk::Condition::Partial);
  // An empty file reads nothing; a folder counts its first cluster.
  c = FatRowCondition(ctx, 7, 0, false);
  EXPECT_EQ(disk::ConditionText(c), "empty file");
  c = FatRowCondition(ctx, 7, 0, true);
  EXPECT_EQ(c.total, 1u);
  EXPECT_TRUE(c.firstInUse);
  EXPECT_EQ(disk::Classify(c), disk::Condition::Overwritten);
  c = FatRowCondition(ctx, 1, 100, false);
  EXPECT_EQ(disk::Classify(c), disk::Condition::Overwritten) << "no valid first cluster";
}

}  // namespace
}  // namespace ambrelic::fat
