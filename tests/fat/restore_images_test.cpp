// The FAT restore on images made by mkfs.fat and mtools: restored bytes
// compared with the files as written and with The Sleuth Kit's `icat`.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "fat/directory_walk.h"
#include "fat/restore.h"
#include "fat_test_image.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

namespace fs = std::filesystem;
constexpr const char* kScript = "make_restore_images.sh";

std::string Image(const std::string& name) { return ambrelic::test::FixtureImage(kScript, name); }
std::string Original(const std::string& image, const std::string& path) {
  return fs::path(Image(image)).parent_path().string() + "/originals/" + fs::path(image).stem().string() + "/" +
         path;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A searched volume with its rows, as the restore command finds them.
struct Searched {
  disk::VolumeContext ctx;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;

  explicit Searched(const std::string& image) {
    ambrelic::test::UseUtf8Locale();
    EXPECT_TRUE(test::OpenFatImage(Image(image), ctx));
    op.includeZeroSize = 1;
    SearchFat(ctx, op, host);
  }
  // The row whose folder and name (first character aside, which a deleted
  // short name loses) match, case-insensitively.
  const disk::FoundRow& Row(const std::string& folder, const std::string& name) const {
    for (const auto& r : host.rows) {
      if (r.folder == folder && r.name.size() == name.size() && Lower(r.name.substr(1)) == Lower(name.substr(1))) {
        return r;
      }
    }
    ADD_FAILURE() << "no row " << folder << name;
    static const disk::FoundRow none;
    return none;
  }
};

int Messages(const ambrelic::test::RecordingHost& host) {
  int n = 0;
  for (const auto& e : host.events) n += e.rfind("message:", 0) == 0 ? 1 : 0;
  return n;
}

// fls -rd: path -> inode of each deleted entry.
std::map<std::string, std::string> DeletedInodes(const std::string& image) {
  std::map<std::string, std::string> out;
  std::istringstream in(ambrelic::test::RunCommand("fls -rd -p '" + image + "'"));
  std::string line;
  while (std::getline(in, line)) {
    const auto star = line.find("* ");
    const auto colon = line.find(":\t");
    if (star == std::string::npos || colon == std::string::npos) continue;
    out[Lower(line.substr(colon + 2))] = line.substr(star + 2, colon - star - 2);
  }
  return out;
}

std::string IcatSha(const std::string& image, const std::string& inode) {
  return ambrelic::test::RunCommand("icat '" + image + "' " + inode + " | sha256sum").substr(0, 64);
}

TEST(FatRestoreImages, FilesOfZeroOneOneClusterAndManyClusters) {
  Searched s("restore16.img");
  const std::string before = ambrelic::test::Sha256Of(Image("restore16.img"));
  const std::string dir = ambrelic::test::MakeTempDir("fatimg");
  const auto inodes = DeletedInodes(Image("restore16.img"));
  for (const std::string name : {"zero.dat", "one.txt", "cluster.bin", "many clusters.bin"}) {
    const disk::FoundRow& row = s.Row("C:\\", name);
    const std::string target = dir + "/" + name;
    ASSERT_TRUE(RestoreFatFile(s.ctx, s.host, target, std::stoul(row.number), std::stoul(row.size))) << name;
    EXPECT_EQ(ambrelic::test::Sha256Of(target), ambrelic::test::Sha256Of(Original("restore16.img", name))) << name;
    const std::string key = "_" + Lower(name).substr(1);
    const auto inode = inodes.count(key) ? inodes.at(key) : inodes.at(Lower(name));
    EXPECT_EQ(ambrelic::test::Sha256Of(target), IcatSha(Image("restore16.img"), inode)) << name;
  }
  EXPECT_EQ(Messages(s.host), 0);
  EXPECT_EQ(ambrelic::test::Sha256Of(Image("restore16.img")), before) << "the searched image changed";
}

TEST(FatRestoreImages, MiddleClusterReusedIsSkipped) {
  Searched s("restore16.img");
  const disk::FoundRow& row = s.Row("C:\\", "Middle.bin");
  const std::string dir = ambrelic::test::MakeTempDir("fatimg");
  ASSERT_TRUE(RestoreFatFile(s.ctx, s.host, dir + "/m.bin", std::stoul(row.number), std::stoul(row.size)));
  const auto got = ambrelic::test::ReadFileBytes(dir + "/m.bin");
  const auto orig = ambrelic::test::ReadFileBytes(Original("restore16.img", "Middle.bin"));
  ASSERT_EQ(got.size(), 6144u);
  // Clusters first, first + 2 (the middle one is taken), then the next free
  // one (first + 3 holds keep.txt): first + 4.
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 2048, orig.begin()));
  EXPECT_TRUE(std::equal(got.begin() + 2048, got.begin() + 4096, orig.begin() + 4096));
  std::vector<std::uint8_t> fifth(2048);
  ReadCluster(s.ctx, std::stoul(row.number) + 4, fifth.data());
  EXPECT_TRUE(std::equal(got.begin() + 4096, got.end(), fifth.begin()));
}

// Every file below root, relative path -> sha256.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    out[rel] = e.is_directory() ? "/" : ambrelic::test::Sha256Of(e.path().string());
  }
  return out;
}

TEST(FatRestoreImages, FolderTreeWithLongNamesTwiceIntoOneTarget) {
  Searched s("restore16.img");
  const std::string before = ambrelic::test::Sha256Of(Image("restore16.img"));
  const disk::FoundRow& row = s.Row("C:\\", "Project Folder");
  const std::string target = ambrelic::test::MakeTempDir("fatimg") + "/Project Folder";
  ASSERT_TRUE(platform::MakeFolder(target));
  RestoreFatFolder(s.ctx, s.op, s.host, std::stoul(row.number), target);
  auto sha = [&](const std::string& p) { return ambrelic::test::Sha256Of(Original("restore16.img", p)); };
  const std::map<std::string, std::string> expected = {
      {"Empty Sub", "/"},
      {"Sub One", "/"},
      {"Sub One/Sub Two", "/"},
      {"readme with a long name.md", sha("Project Folder/readme with a long name.md")},
      {"Sub One/deep file with a long name.txt", sha("Project Folder/Sub One/deep file with a long name.txt")},
      {"Sub One/Sub Two/data set.bin", sha("Project Folder/Sub One/Sub Two/data set.bin")},
  };
  EXPECT_EQ(Tree(target), expected);

  // Again into the same folder: nothing is appended or replaced, the second
  // copies take numbered names.
  RestoreFatFolder(s.ctx, s.op, s.host, std::stoul(row.number), target);
  auto twice = expected;
  twice["readme with a long name (2).md"] = expected.at("readme with a long name.md");
  twice["Sub One/deep file with a long name (2).txt"] = expected.at("Sub One/deep file with a long name.txt");
  twice["Sub One/Sub Two/data set (2).bin"] = expected.at("Sub One/Sub Two/data set.bin");
  EXPECT_EQ(Tree(target), twice);
  EXPECT_EQ(Messages(s.host), 0);
  EXPECT_EQ(ambrelic::test::Sha256Of(Image("restore16.img")), before);
}

TEST(FatRestoreImages, FolderWithTwoDeletedFilesOfOneName) {
  Searched s("restore16.img");
  const disk::FoundRow& row = s.Row("C:\\", "Twins");
  const std::string target = ambrelic::test::MakeTempDir("fatimg") + "/Twins";
  ASSERT_TRUE(platform::MakeFolder(target));
  RestoreFatFolder(s.ctx, s.op, s.host, std::stoul(row.number), target);
  const auto tree = Tree(target);
  ASSERT_EQ(tree.size(), 2u);
  // Entry order: the first twin keeps the name, the second is numbered.
  EXPECT_EQ(tree.at("$WINA.TXT"), ambrelic::test::Sha256Of(Original("restore16.img", "Twins/TWINA.TXT")));
  EXPECT_EQ(tree.at("$WINA (2).TXT"), ambrelic::test::Sha256Of(Original("restore16.img", "Twins/TWINB.TXT")));
}

TEST(FatRestoreImages, Fat32FolderMatchesOriginalsAndIcat) {
  Searched s("restore32.img");
  const disk::FoundRow& row = s.Row("C:\\", "Album");
  const std::string target = ambrelic::test::MakeTempDir("fatimg") + "/Album";
  ASSERT_TRUE(platform::MakeFolder(target));
  RestoreFatFolder(s.ctx, s.op, s.host, std::stoul(row.number), target);
  const auto inodes = DeletedInodes(Image("restore32.img"));
  for (const std::string rel : {"cover picture.jpg", "2010 Summer/beach at noon.jpg",
                                "2010 Summer/Best of/sunset over the sea.jpg"}) {
    const std::string got = ambrelic::test::Sha256Of(target + "/" + rel);
    EXPECT_EQ(got, ambrelic::test::Sha256Of(Original("restore32.img", "Album/" + rel))) << rel;
    EXPECT_EQ(got, IcatSha(Image("restore32.img"), inodes.at(Lower("album/" + rel)))) << rel;
  }
  // A short name without a long one keeps its '$'.
  EXPECT_EQ(ambrelic::test::Sha256Of(target + "/2010 Summer/$OTES.TXT"),
            ambrelic::test::Sha256Of(Original("restore32.img", "Album/2010 Summer/notes.txt")));
}

}  // namespace
}  // namespace ambrelic::fat
