// The cluster scan passes over entries that cannot give a row after a first
// look at their bytes (in plain code, 16 bytes at a time, or two entries at
// a time); the rows must stay those of the plain scan, which hands every
// entry of every cluster to the handler. Compared on real images whose
// clusters hold real directories, a whole volume stored as a file, random
// bytes, text and zeros, with every kind of filter and option.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fat/cluster_scan.h"
#include "fat/directory_walk.h"
#include "fat_test_image.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

using FirstLook = DirectoryWalker::FirstLook;

struct Options {
  std::string filter;
  bool zero = true;
  bool used = true;
  bool scanAll = true;
};

std::vector<std::string> Texts(const std::vector<disk::FoundRow>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.folder + "|" + r.name + "|" + r.size + "|" + r.modified + "|" + r.number);
  return out;
}

class ClusterScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ambrelic::test::UseUtf8Locale();
    platform::SetOemCodepage("CP850");
  }
  void TearDown() override { platform::SetOemCodepage("CP437"); }

  // The rows of a scan: the plain one (every cluster read alone, every
  // entry through HandleDirEntry) or ScanClusters with its first look held
  // to a form. A vacant scan follows the search, as the search command
  // runs it.
  std::vector<std::string> Scan(const std::string& image, const Options& o, bool plain, FirstLook widest) {
    disk::VolumeContext ctx;
    EXPECT_TRUE(test::OpenFatImage(image, ctx)) << image;
    disk::OperationState op;
    op.nameFilter = o.filter;
    op.includeZeroSize = o.zero;
    op.listFilesOnUsedClusters = o.used;
    ambrelic::test::RecordingHost host;
    if (!o.scanAll) {
      SearchFat(ctx, op, host);
      host.rows.clear();
    }
    op.ClusterScanActive = 1;
    op.IncludeUsedClusters = o.scanAll;
    if (plain) {
      DirectoryWalker walker(ctx, op, host);
      walker.BeginLinkedScan();
      for (Cluster c = 2; c <= ctx.lastCluster; ++c) {
        if (o.scanAll || FatGetEntry(ctx, ctx.fatWork, c) == kFreeCluster) walker.ScanClusterAsDirectory(c);
      }
      walker.LinkScanRows();
    } else {
      ScanClusters(ctx, op, host, widest);
    }
    return Texts(host.rows);
  }

  void ExpectSameRows(const std::string& image, const Options& o, std::size_t* rows = nullptr) {
    const auto plain = Scan(image, o, true, FirstLook::Plain);
    for (FirstLook widest : {FirstLook::Plain, FirstLook::Sse2, FirstLook::Avx512}) {
      const auto batched = Scan(image, o, false, widest);
      EXPECT_EQ(batched, plain) << image << " filter '" << o.filter << "' zero " << o.zero << " used " << o.used
                                << " all " << o.scanAll << " form " << static_cast<int>(widest);
    }
    if (rows) *rows = plain.size();
  }
};

TEST_F(ClusterScanTest, FirstLookKeepsTheRowsOfEveryFilter) {
  // Filters with letters (either case in the name), digits, a space, the
  // walk's own '$' and '.', a first character the deleted mark hides, a
  // character outside ASCII (no anchor: the plain test of cluster and
  // size), and none.
  const std::vector<std::string> filters = {"LETTER", "E", "REPORT", "$PT", "BANK NUMBER 2", ".TXT", "7",
                                            "ZZZNOMATCH", "\xC3\x89", "VOLUME", ""};
  for (const char* name : {"scan32-512.img", "scan16-2k.img"}) {
    const std::string image = ambrelic::test::FixtureImage("make_scan_images.sh", name);
    std::size_t letterRows = 0;
    for (const std::string& f : filters) {
      std::size_t rows = 0;
      ExpectSameRows(image, Options{f, true, true, true}, &rows);
      if (f == "LETTER") letterRows = rows;
    }
    // The letters of the stored volume and of the deleted folder are found
    // in used and vacant clusters alike.
    EXPECT_GE(letterRows, 40u) << name;
  }
}

TEST_F(ClusterScanTest, FirstLookKeepsTheRowsOfEveryOption) {
  // Include zero size, include used clusters, all clusters or the vacant
  // ones after a search.
  const std::string image = ambrelic::test::FixtureImage("make_scan_images.sh", "scan16-2k.img");
  for (const char* filter : {"", "LETTER"}) {
    for (int bits = 0; bits < 8; ++bits) {
      ExpectSameRows(image, Options{filter, (bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0});
    }
  }
}

TEST_F(ClusterScanTest, FirstLookKeepsTheRowsOfToolImages) {
  for (const char* name : {"fat12.img", "fat16.img", "fat32.img"}) {
    const std::string image = ambrelic::test::FixtureImage("make_fat_images.sh", name);
    for (const char* filter : {"", "NAME OF MANY"}) {
      ExpectSameRows(image, Options{filter, true, false, true});
      ExpectSameRows(image, Options{filter, false, false, false});
    }
  }
}

TEST_F(ClusterScanTest, ACancelIsReadOncePerCluster) {
  const std::string image = ambrelic::test::FixtureImage("make_scan_images.sh", "scan16-2k.img");
  disk::VolumeContext ctx;
  ASSERT_TRUE(test::OpenFatImage(image, ctx));
  disk::OperationState op;
  op.nameFilter = "LETTER";
  op.ClusterScanActive = op.IncludeUsedClusters = 1;
  ambrelic::test::RecordingHost host;
  ScanClusters(ctx, op, host);
  // One Advance per cluster, and nothing else reads the request.
  ASSERT_EQ(host.progress.size(), 1u);
  EXPECT_EQ(host.progress[0]->positions.size(), ctx.lastCluster - 1);
  EXPECT_EQ(host.cancelChecks, static_cast<long>(ctx.lastCluster - 1));
  ASSERT_FALSE(host.rows.empty());

  // Cancel pressed before the 101st check: the scan stops at that cluster,
  // with the rows of the clusters up to it.
  ambrelic::test::RecordingHost cancelled;
  cancelled.cancelAfterChecks = 100;
  disk::OperationState again;
  again.nameFilter = "LETTER";
  again.ClusterScanActive = again.IncludeUsedClusters = 1;
  ScanClusters(ctx, again, cancelled);
  EXPECT_EQ(again.SearchCancelled, 1);
  EXPECT_EQ(cancelled.progress[0]->positions.size(), 101u);
  EXPECT_EQ(cancelled.cancelChecks, 101);
  EXPECT_LE(cancelled.rows.size(), host.rows.size());
}

}  // namespace
}  // namespace ambrelic::fat
