// Deleted folders past their first cluster: cards made by mkfs.fat and
// mtools (make_folder_images.sh), listed and restored against the files as
// written, and the ends of such a folder on bytes no tool writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "fat/cluster_scan.h"
#include "fat/directory_walk.h"
#include "fat/restore.h"
#include "fat_test_image.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

namespace fs = std::filesystem;
constexpr const char* kScript = "make_folder_images.sh";

std::string Image(const std::string& name) { return ambrelic::test::FixtureImage(kScript, "folders/" + name); }

// MANIFEST lines of one image: path -> sha256.
std::map<std::string, std::string> Manifest(const std::string& image) {
  std::map<std::string, std::string> out;
  std::ifstream in(fs::path(Image(image + ".img")).parent_path() / "MANIFEST");
  std::string img, sha, path;
  while (std::getline(in, img, '\t') && std::getline(in, sha, '\t') && std::getline(in, path)) {
    if (img == image) out[path] = sha;
  }
  return out;
}

// "C:\Folder\Sub" and the name of a manifest path; a short name keeps only
// what the deleted entry kept ("$OTES.TXT").
std::pair<std::string, std::string> RowOf(const std::string& path) {
  std::string folder = "C:\\";
  std::string name = path;
  if (const auto slash = path.rfind('/'); slash != std::string::npos) {
    folder += path.substr(0, slash);
    name = path.substr(slash + 1);
    for (char& ch : folder) ch = ch == '/' ? '\\' : ch;
  }
  if (name == "notes.txt") name = "$OTES.TXT";
  return {folder, name};
}

// A card of the fixture opened and searched as a user would.
struct Searched {
  disk::VolumeContext ctx;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
};
::testing::AssertionResult SearchImage(const std::string& image, Searched& s) {
  ambrelic::test::UseUtf8Locale();
  if (!test::OpenFatImage(Image(image), s.ctx)) return ::testing::AssertionFailure() << image << " does not open";
  SearchFat(s.ctx, s.op, s.host);
  return ::testing::AssertionSuccess();
}

TEST(DeletedFolderImages, EveryFileListedInItsFolderOnceAndRestoredWhole) {
  Searched s;
  ASSERT_TRUE(SearchImage("tree32.img", s));
  auto& [ctx, op, host] = s;

  std::set<std::pair<std::string, std::string>> rows;
  Cluster holiday = 0;
  for (const auto& r : host.rows) {
    EXPECT_TRUE(rows.insert({r.folder, r.name}).second) << "twice: " << r.folder << " " << r.name;
    if (r.isFolder && r.name == "Holiday photos 2023") holiday = static_cast<Cluster>(r.facts.number);
  }
  const auto manifest = Manifest("tree32");
  ASSERT_EQ(manifest.size(), 94u);
  for (const auto& [path, sha] : manifest) {
    if (path == "keep.txt") continue;  // live
    EXPECT_EQ(rows.count(RowOf(path)), 1u) << path;
  }
  // The files and the three folders: the 80 photos span four clusters of
  // their folder, with their data between them.
  EXPECT_EQ(host.rows.size(), 93u + 3u);

  // The folder's clusters are its own: the vacant-cluster scan adds nothing.
  op.ClusterScanActive = 1;
  ScanClusters(ctx, op, host);
  EXPECT_EQ(host.rows.size(), 96u);

  ASSERT_NE(holiday, 0u);
  const std::string target = ambrelic::test::MakeTempDir("folders") + "/Holiday";
  fs::create_directories(target);
  op.IncompleteCount = 0;
  RestoreFatFolder(ctx, op, host, holiday, target);
  EXPECT_EQ(op.IncompleteCount, 0u);
  int identical = 0;
  for (const auto& [path, sha] : manifest) {
    if (path.rfind("Holiday photos 2023/", 0) != 0) continue;
    const std::string restored = target + "/" + path.substr(20);
    identical += fs::exists(restored) && ambrelic::test::Sha256Of(restored) == sha ? 1 : 0;
  }
  EXPECT_EQ(identical, 80);
}

TEST(DeletedFolderImages, ALongNameSplitBeforeItsShortEntryLinksTheFoldersClusters) {
  // Each folder's second cluster lies past the other folder's data, and
  // begins with the short entry of a name the first cluster began.
  Searched s;
  ASSERT_TRUE(SearchImage("split16.img", s));
  auto& [ctx, op, host] = s;
  op.ClusterScanActive = 1;
  ScanClusters(ctx, op, host);
  std::set<std::pair<std::string, std::string>> rows;
  for (const auto& r : host.rows) {
    if (!r.isFolder) {
      EXPECT_TRUE(rows.insert({r.folder, r.name}).second) << "twice: " << r.folder << " " << r.name;
    }
  }
  std::set<std::pair<std::string, std::string>> expected;
  for (const auto& [path, sha] : Manifest("split16")) expected.insert(RowOf(path));
  EXPECT_EQ(expected.size(), 8u);
  EXPECT_EQ(rows, expected);
}

TEST(DeletedFolderImages, AFolderGoesOnPastOtherFoldersDataOnlyWhenNoOtherCouldHaveGrownThere) {
  // OPEN's second cluster lies past CLOSED's files: it is OPEN's, the only
  // deleted folder whose last cluster is full. LEFT and RIGHT both filled
  // theirs before either grew: their next files stay under <unknown>.
  Searched s;
  ASSERT_TRUE(SearchImage("interleave16.img", s));
  auto& [ctx, op, host] = s;
  Cluster open = 0;
  for (const auto& r : host.rows) {
    if (r.isFolder && r.name == "$PEN") open = static_cast<Cluster>(r.facts.number);
  }
  op.ClusterScanActive = 1;
  ScanClusters(ctx, op, host);
  std::map<std::string, std::multiset<std::string>> files;
  for (const auto& r : host.rows) {
    if (r.isFolder) continue;
    files[r.folder].insert(r.name);
    EXPECT_TRUE(r.folder == "C:\\<unknown>" || files[r.folder].count(r.name) == 1) << "twice: " << r.name;
  }
  EXPECT_EQ(files["C:\\$PEN"].size(), 16u);
  EXPECT_EQ(files["C:\\$LOSED"].size(), 5u);
  EXPECT_EQ(files["C:\\$EFT"].size(), 14u);
  EXPECT_EQ(files["C:\\$IGHT"].size(), 14u);
  EXPECT_EQ(files["C:\\<unknown>"], (std::multiset<std::string>{"$15.JPG", "$15.JPG"}));

  ASSERT_NE(open, 0u);
  const std::string target = ambrelic::test::MakeTempDir("folders") + "/OPEN";
  fs::create_directories(target);
  RestoreFatFolder(ctx, op, host, open, target);
  int identical = 0;
  for (const auto& [path, sha] : Manifest("interleave16")) {
    if (path.rfind("OPEN/", 0) != 0) continue;
    const std::string restored = target + "/$" + path.substr(6);
    identical += fs::exists(restored) && ambrelic::test::Sha256Of(restored) == sha ? 1 : 0;
  }
  EXPECT_EQ(identical, 16);
}

TEST(DeletedFolderImages, AQuickFormattedCardsFoldersArePutBackTogether) {
  Searched s;
  ASSERT_TRUE(SearchImage("card32.img", s));
  auto& [ctx, op, host] = s;
  EXPECT_TRUE(host.rows.empty());
  op.ClusterScanActive = 1;
  ScanClusters(ctx, op, host);
  // DCIM and Music were named by the root the format emptied: their
  // folders are found, under <unknown>, with what they held inside.
  std::map<std::string, int> perFolder;
  Cluster canon = 0;
  for (const auto& r : host.rows) {
    ++perFolder[r.folder + (r.isFolder ? "\\" + r.name + " (folder)" : "")];
    if (r.isFolder && r.name == "100CANON") canon = static_cast<Cluster>(r.facts.number);
    EXPECT_LE(r.facts.size, 24000u) << r.name;
  }
  EXPECT_EQ(perFolder, (std::map<std::string, int>{{"C:\\<unknown>\\100CANON", 40},
                                                   {"C:\\<unknown>\\100CANON (folder)", 1},
                                                   {"C:\\<unknown>\\Album One", 8},
                                                   {"C:\\<unknown>\\Album One (folder)", 1}}));
  ASSERT_NE(canon, 0u);
  const std::string target = ambrelic::test::MakeTempDir("folders") + "/100CANON";
  fs::create_directories(target);
  RestoreFatFolder(ctx, op, host, canon, target);
  int identical = 0;
  for (const auto& [path, sha] : Manifest("card32")) {
    if (path.rfind("DCIM/100CANON/", 0) != 0) continue;
    const std::string restored = target + "/" + path.substr(14);
    identical += ambrelic::test::Sha256Of(restored) == sha ? 1 : 0;
  }
  EXPECT_EQ(identical, 40);
}

// A deleted folder DEL (cluster 3, 16 entries a cluster) full of deleted
// files, and what its next cluster 4 holds.
struct DeletedFolder : test::MemFat {
  DeletedFolder() : MemFat(disk::FsKind::Fat32, 60) {
    auto del = Short("XDEL       ", kAttrDirectory, 3, 0);
    del[0] = kDeletedMark;
    Put(2, 0, del);
    Dots(3, 0);
    for (std::size_t i = 2; i < 16; ++i) Put(3, i, File(static_cast<char>('A' + i), 20 + i));
  }
  static std::array<std::uint8_t, 32> File(char letter, Cluster c) {
    auto e = Short("XFILE   TXT", 0x20, c, 100);
    e[0] = kDeletedMark;
    e[5] = static_cast<std::uint8_t>(letter);
    return e;
  }
  std::size_t Rows() {
    disk::OperationState op;
    ambrelic::test::RecordingHost host;
    ctx.fatWork = ctx.fatCopy;
    SearchFat(ctx, op, host);
    return host.rows.size();
  }
};

TEST(DeletedFolderEnds, FollowingClusterOfEntriesIsTheFolders) {
  DeletedFolder v;
  v.Put(4, 0, DeletedFolder::File('Y', 50));
  v.Put(4, 1, DeletedFolder::File('Z', 51));
  EXPECT_EQ(v.Rows(), 1u + 14u + 2u);
}

TEST(DeletedFolderEnds, StopsAtAClusterInUseADotClusterOrData) {
  {
    DeletedFolder v;
    v.Put(4, 0, DeletedFolder::File('Y', 50));
    v.SetFat(4, kEndOfChain);
    EXPECT_EQ(v.Rows(), 1u + 14u);
  }
  {
    DeletedFolder v;  // a folder inside DEL that DEL does not list
    v.Dots(4, 3);
    v.Put(4, 2, DeletedFolder::File('Y', 50));
    EXPECT_EQ(v.Rows(), 1u + 14u);
  }
  {
    DeletedFolder v;  // file data, then entries that do not account for it
    for (std::size_t i = 0; i < 512; ++i) v.ClusterBytes(4)[i] = static_cast<std::uint8_t>(i * 7 + 1);
    v.Put(5, 0, DeletedFolder::File('Y', 50));
    EXPECT_EQ(v.Rows(), 1u + 14u);
  }
}

// DEL's one cluster is full; data of files no entry lists lies past its
// files' data (clusters 36 to 39), then a cluster of entries whose first
// file's data are the two clusters before it.
struct FullFolderThenData : DeletedFolder {
  FullFolderThenData() {
    for (Cluster c = 36; c <= 39; ++c) {
      for (std::size_t i = 0; i < 512; ++i) ClusterBytes(c)[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
  }
  void Next(Cluster firstOfFile) {
    auto e = File('Y', firstOfFile);
    e[28] = 0x00;  // 1024 bytes: two clusters
    e[29] = 0x04;
    Put(40, 0, e);
  }
};

TEST(DeletedFolderEnds, GoesOnPastDataOnlyWhereItsNextFileWasWritten) {
  {
    FullFolderThenData v;
    v.Next(38);
    EXPECT_EQ(v.Rows(), 1u + 14u + 1u);
  }
  {
    FullFolderThenData v;  // the file's data does not end right before
    v.Next(37);
    EXPECT_EQ(v.Rows(), 1u + 14u);
  }
  {
    FullFolderThenData v;  // a folder the walk does not know lies between
    v.Next(38);
    v.Dots(37, 50);
    EXPECT_EQ(v.Rows(), 1u + 14u);
  }
  {
    FullFolderThenData v;  // a cluster never written lies between
    v.Next(38);
    std::fill_n(v.ClusterBytes(36), 512, 0);
    EXPECT_EQ(v.Rows(), 1u + 14u);
  }
}

}  // namespace
}  // namespace ambrelic::fat
