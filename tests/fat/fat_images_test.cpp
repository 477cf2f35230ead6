// The search and the cluster scan on images made by mkfs.fat and mtools,
// and what they list compared with The Sleuth Kit's `fls -rd`.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "fat/cluster_scan.h"
#include "fat/directory_walk.h"
#include "fat_test_image.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

constexpr const char* kScript = "make_fat_images.sh";

struct Listing {
  std::vector<disk::FoundRow> rows;
  std::vector<std::string> texts;  // "folder|name|size|modified|cluster"
};

Listing RunImage(const std::string& image, bool zero = false, bool used = false, bool scanVacant = false,
            bool scanAll = false, const std::string& filter = "") {
  ambrelic::test::UseUtf8Locale();
  platform::SetOemCodepage("CP850");  // what mtools writes short names in
  disk::VolumeContext ctx;
  EXPECT_TRUE(test::OpenFatImage(ambrelic::test::FixtureImage(kScript, image), ctx)) << image;
  disk::OperationState op;
  op.includeZeroSize = zero;
  op.listFilesOnUsedClusters = used;
  op.nameFilter = filter;
  ambrelic::test::RecordingHost host;
  if (!scanAll) SearchFat(ctx, op, host);
  if (scanVacant || scanAll) {
    op.ClusterScanActive = 1;
    op.IncludeUsedClusters = scanAll;
    ScanClusters(ctx, op, host);
  }
  Listing l;
  l.rows = host.rows;
  for (const auto& r : host.rows) {
    l.texts.push_back(r.folder + "|" + r.name + "|" + r.size + "|" + r.modified + "|" + r.number);
  }
  platform::SetOemCodepage("CP437");
  return l;
}

std::vector<std::string> Names(const Listing& l) {
  std::vector<std::string> n;
  for (const auto& r : l.rows) n.push_back(r.folder + "|" + r.name);
  return n;
}

TEST(FatImages, Fat12Listing) {
  const Listing l = RunImage("fat12.img");
  // Names of 1 to 20 long-name entries, up to 255 characters.
  auto longName = [](std::size_t n) {
    std::string s;
    while (s.size() < n - 4) s += "Long name of many parts ";
    s = s.substr(0, n - 4);
    while (!s.empty() && (s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s + ".txt";
  };
  const std::vector<std::string> expected = {
      "C:\\|Old Folder||01/01/2010 12:00|3",
      "C:\\|$EPORT.DOC|100|01/01/2010 12:00|8",
      "C:\\|Long file name number one.txt|100|01/01/2010 12:00|9",
      "C:\\|\xC3\x89t\xC3\xA9 d\xC3\xA9j\xC3\xA0 vu.txt|100|01/01/2010 12:00|15",
      // mtools writes '_' for each character of 日本語... in the short name:
      // the long name's checksum cannot be confirmed, the short name is shown.
      "C:\\|$_______.TXT|100|01/01/2010 12:00|16",
      "C:\\Docs|$OTES.TXT|1500|01/01/2010 12:00|10",
      "C:\\Old Folder|Inner||01/01/2010 12:00|4",
      "C:\\Old Folder|$IRST.TXT|100|01/01/2010 12:00|12",
      "C:\\Old Folder|Second file.bin|1500|01/01/2010 12:00|13",
      "C:\\Old Folder\\Inner|$EEP.TXT|100|01/01/2010 12:00|14",
      "C:\\Names|" + longName(13) + "|100|01/01/2010 12:00|18",
      "C:\\Names|" + longName(26) + "|100|01/01/2010 12:00|19",
      "C:\\Names|" + longName(39) + "|100|01/01/2010 12:00|20",
      "C:\\Names|" + longName(65) + "|100|01/01/2010 12:00|21",
      "C:\\Names2|" + longName(255) + "|100|01/01/2010 12:00|17",
      "C:\\Names2|" + longName(104) + "|100|01/01/2010 12:00|22",
      "C:\\Names2|" + longName(169) + "|100|01/01/2010 12:00|23",
      "C:\\Names2|" + longName(247) + "|100|01/01/2010 12:00|24",
  };
  EXPECT_EQ(l.texts, expected);
  EXPECT_TRUE(l.rows[0].isFolder);
  EXPECT_EQ(longName(255).size(), 255u);

  // The zero-size file only with its option.
  const Listing z = RunImage("fat12.img", true);
  EXPECT_EQ(z.rows.size(), l.rows.size() + 1);
  EXPECT_NE(std::find(z.texts.begin(), z.texts.end(), "C:\\|$MPTY.TXT|0|01/01/2010 12:00|0"), z.texts.end());

  // Filters: the lost first character, a substring, a lower-case long name.
  EXPECT_EQ(Names(RunImage("fat12.img", false, false, false, false, "REPORT")),
            (std::vector<std::string>{"C:\\|$EPORT.DOC"}));
  EXPECT_EQ(Names(RunImage("fat12.img", false, false, false, false, "SECOND")),
            (std::vector<std::string>{"C:\\Old Folder|Second file.bin"}));
  EXPECT_EQ(RunImage("fat12.img", false, false, false, false, ".TXT").rows.size(), 14u);
  EXPECT_EQ(Names(RunImage("fat12.img", false, false, false, false, "\xC3\x89T\xC3\x89")),
            (std::vector<std::string>{"C:\\|\xC3\x89t\xC3\xA9 d\xC3\xA9j\xC3\xA0 vu.txt"}));
}

TEST(FatImages, Fat16ReusedClustersNestedFoldersAndLostFolder) {
  const std::vector<std::string> tree = {
      "C:\\Work|$REE", "C:\\Work\\$REE|Branch", "C:\\Work\\$REE|$OP.TXT", "C:\\Work\\$REE\\Branch|Leaf",
      "C:\\Work\\$REE\\Branch|$IDDLE.BIN", "C:\\Work\\$REE\\Branch\\Leaf|$OTTOM.TXT"};
  EXPECT_EQ(Names(RunImage("fat16.img")), tree);

  // The victim's first cluster belongs to Newcomer.bin now.
  auto withUsed = tree;
  withUsed.insert(withUsed.begin(), "C:\\|Reused victim.bin");
  EXPECT_EQ(Names(RunImage("fat16.img", false, true)), withUsed);

  // LOST's entry was overwritten: only the vacant-cluster scan finds its
  // contents, under "<unknown>".
  auto withScan = tree;
  withScan.push_back("C:\\<unknown>|orphan one.txt");
  withScan.push_back("C:\\<unknown>|orphan two.bin");
  const Listing s = RunImage("fat16.img", false, false, true);
  EXPECT_EQ(Names(s), withScan);
  EXPECT_EQ(s.texts.back(), "C:\\<unknown>|orphan two.bin|20000|01/01/2010 12:00|11");

  // Scanning all clusters for a name.
  EXPECT_EQ(Names(RunImage("fat16.img", false, false, false, true, "ORPHAN")),
            (std::vector<std::string>{"C:\\<unknown>|orphan one.txt", "C:\\<unknown>|orphan two.bin"}));
}

TEST(FatImages, OneFatFourKSectorsAndFat32) {
  EXPECT_EQ(Names(RunImage("fat16-1fat.img")),
            (std::vector<std::string>{"C:\\|Gone", "C:\\|$LONE.BIN", "C:\\Gone|$NSIDE.TXT"}));

  // 4096-byte sectors: 128 root entries in each root sector.
  std::vector<std::string> root4k = {"C:\\|root file 3.txt"};
  for (int i = 30; i <= 39; ++i) root4k.push_back("C:\\|root file " + std::to_string(i) + ".txt");
  root4k.push_back("C:\\|Folder");
  root4k.push_back("C:\\Folder|in folder.txt");
  EXPECT_EQ(Names(RunImage("fat16-4k.img")), root4k);

  EXPECT_EQ(Names(RunImage("fat32.img")),
            (std::vector<std::string>{"C:\\|Photos", "C:\\|$_______.TXT", "C:\\Photos|$009",
                                      "C:\\Photos|$NDEX.HTM", "C:\\Photos\\$009|$EACH.JPG",
                                      "C:\\Photos\\$009|$APTION.TXT", "C:\\Archive|$LD.ZIP"}));
  const Listing big = RunImage("fat32-4k.img");
  ASSERT_EQ(big.rows.size(), 32u);
  EXPECT_EQ(big.texts[0], "C:\\A|$||01/01/2010 12:00|4");
  EXPECT_EQ(big.texts[2], "C:\\A\\$\\$|file with a long name 1.txt|100|01/01/2010 12:00|6");
}

TEST(FatImages, BatchedScanMatchesClusterByClusterScan) {
  for (const char* image : {"fat12.img", "fat16.img", "fat32.img", "fat32-4k.img"}) {
    const Listing batched = RunImage(image, true, true, false, true, "E");
    ambrelic::test::UseUtf8Locale();
    platform::SetOemCodepage("CP850");
    disk::VolumeContext ctx;
    ASSERT_TRUE(test::OpenFatImage(ambrelic::test::FixtureImage(kScript, image), ctx));
    disk::OperationState op;
    op.includeZeroSize = op.listFilesOnUsedClusters = 1;
    op.nameFilter = "E";
    op.ClusterScanActive = 1;
    ambrelic::test::RecordingHost host;
    DirectoryWalker walker(ctx, op, host);
    for (Cluster c = 2; c <= ctx.lastCluster; ++c) walker.ScanClusterAsDirectory(c);
    platform::SetOemCodepage("CP437");
    ASSERT_EQ(host.rows.size(), batched.rows.size()) << image;
    for (std::size_t i = 0; i < host.rows.size(); ++i) {
      EXPECT_EQ(host.rows[i].name + host.rows[i].number, batched.rows[i].name + batched.rows[i].number);
    }
  }
}

// What fls -rd lists, as "FOLDER/NAME" upper-cased with '_' for a lost
// first character.
std::set<std::string> FlsDeleted(const std::string& image) {
  int status = 0;
  const std::string out = ambrelic::test::RunCommand("fls -rd '" + image + "'", &status);
  EXPECT_EQ(status, 0);
  std::set<std::string> names;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 1);
    // fls's own scan for orphans; ours is the separate vacant-cluster scan.
    if (path.rfind("$OrphanFiles", 0) == 0) continue;
    names.insert(platform::UpperCase(path));
  }
  return names;
}

std::set<std::string> OursAsFls(const Listing& l) {
  std::set<std::string> names;
  for (const auto& r : l.rows) {
    std::string path = r.folder.substr(3);  // drop "C:\"
    std::replace(path.begin(), path.end(), '\\', '/');
    path = path.empty() ? r.name : path + "/" + r.name;
    // fls writes '_' where we write '$' for the deleted first character.
    for (std::size_t i = 0; i < path.size(); ++i) {
      if (path[i] == '$' && (i == 0 || path[i - 1] == '/')) path[i] = '_';
    }
    names.insert(platform::UpperCase(path));
  }
  return names;
}

TEST(FatImages, SameDeletedNamesAsTheSleuthKit) {
  // Differences the designed rules explain, by image:
  //  - a name whose short name has no OEM character for its first letter
  //    (mtools writes '_'): the long name's checksum cannot be confirmed, we
  //    show the short name, fls the long name;
  //  - fls lists every deleted entry; with both options on we list them too,
  //    except the contents of a folder that only the vacant-cluster scan
  //    reaches (fls finds them as orphans, left out above).
  ambrelic::test::UseUtf8Locale();
  struct Case {
    const char* image;
    std::set<std::string> onlyOurs, onlyFls;
  };
  const std::vector<Case> cases = {
      {"fat12.img", {"________.TXT"}, {platform::UpperCase("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB\xE5\x90\x8D.txt")}},
      {"fat16.img", {}, {}},
      {"fat16-1fat.img", {}, {}},
      {"fat16-4k.img", {}, {}},
      {"fat32.img", {"________.TXT"}, {platform::UpperCase("\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC.txt")}},
      {"fat32-4k.img", {}, {}},
  };
  for (const auto& c : cases) {
    const Listing ours = RunImage(c.image, true, true);
    const auto mine = OursAsFls(ours);
    const auto fls = FlsDeleted(ambrelic::test::FixtureImage(kScript, c.image));
    std::set<std::string> onlyOurs, onlyFls;
    std::set_difference(mine.begin(), mine.end(), fls.begin(), fls.end(), std::inserter(onlyOurs, onlyOurs.end()));
    std::set_difference(fls.begin(), fls.end(), mine.begin(), mine.end(), std::inserter(onlyFls, onlyFls.end()));
    EXPECT_EQ(onlyOurs, c.onlyOurs) << c.image;
    EXPECT_EQ(onlyFls, c.onlyFls) << c.image;
    EXPECT_GE(mine.size(), 3u) << c.image;
  }
}

TEST(FatImages, TruncatedImageEnds) {
  const std::string source = ambrelic::test::FixtureImage(kScript, "fat32.img");
  const std::string dir = ambrelic::test::MakeTempDir("fat-truncated");
  const std::string cut = dir + "/cut.img";
  // The tables and the first clusters only.
  int status = 0;
  ambrelic::test::RunCommand("head -c 716800 '" + source + "' > '" + cut + "'", &status);
  ASSERT_EQ(status, 0);
  disk::VolumeContext ctx;
  auto opened = platform::OpenFileDevice(cut);
  ASSERT_TRUE(opened.device);
  ctx.fsKind = disk::FsKind::Fat32;
  ctx.volumeHandle = opened.device;
  ctx.SearchedRoot = "C:\\";
  ASSERT_TRUE(disk::ParseFatBootSector(ctx, 0));
  LoadAllocationTable(ctx, 0);
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  SearchFat(ctx, op, host);
  op.ClusterScanActive = 1;
  op.IncludeUsedClusters = 1;
  ScanClusters(ctx, op, host);
  SUCCEED() << host.rows.size() << " rows";
}

}  // namespace
}  // namespace ambrelic::fat
