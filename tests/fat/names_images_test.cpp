// Names a FAT restore must not lose, on an image made by mkfs.fat and mtools
// (long names patched where no tool writes them): long names that are no
// plain names, a file and a folder of one name, names longer than the
// target takes, and a deep CJK tree. Restored bytes are compared with the
// files as written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "fat/directory_walk.h"
#include "fat/restore.h"
#include "fat_test_image.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

namespace fs = std::filesystem;

std::string Image() { return ambrelic::test::FixtureImage("make_name_images.sh", "names16.img"); }

// The digests of the files as written, by path.
std::map<std::string, std::string> Written() {
  std::map<std::string, std::string> out;
  std::ifstream in(fs::path(Image()).parent_path().string() + "/names-manifest.txt");
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string img, sha, path;
    std::getline(f, img, '\t');
    std::getline(f, sha, '\t');
    std::getline(f, path);
    if (img == "names16.img") out[path] = sha;
  }
  return out;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}
const std::string kE = "\xC3\xA9";  // é

// Every entry below root: relative path -> sha256, or "/" for a folder.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    out[fs::relative(e.path(), root).string()] = e.is_directory() ? "/" : ambrelic::test::Sha256Of(e.path().string());
  }
  return out;
}

class FatNames : public ::testing::Test {
 protected:
  void SetUp() override {
    ambrelic::test::UseUtf8Locale();
    ASSERT_TRUE(test::OpenFatImage(Image(), ctx));
    SearchFat(ctx, op, host);
    written = Written();
    ASSERT_FALSE(written.empty());
  }
  const disk::FoundRow* Row(const std::string& folder, const std::string& name) const {
    for (const auto& r : host.rows) {
      if (r.folder == folder && r.name == name) return &r;
    }
    return nullptr;
  }
  // Restores the folder row into a new folder; returns that folder.
  std::string RestoreFolderRow(const std::string& folder, const std::string& name) {
    const disk::FoundRow* row = Row(folder, name);
    EXPECT_TRUE(row) << folder << " " << name;
    if (!row) return std::string();
    const std::string target = ambrelic::test::MakeTempDir("fatnames") + "/out";
    EXPECT_TRUE(platform::MakeFolder(target));
    RestoreFatFolder(ctx, op, host, static_cast<Cluster>(std::stoul(row->number)), target);
    return target;
  }
  disk::VolumeContext ctx;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  std::map<std::string, std::string> written;
};

TEST_F(FatNames, LongNamesThatAreNoPlainNamesGiveWayToShortNames) {
  // Deleted files: listed as a failed checksum is, and restored like any row.
  const std::map<std::string, std::string> files = {
      {"$XBLON~1.TXT", "aXb long.txt"}, {"$HATXL~1.TXT", "whatX long.txt"}, {"$ACKXS~1.TXT", "backXslash.txt"}};
  const std::string dir = ambrelic::test::MakeTempDir("fatnames");
  for (const auto& [name, original] : files) {
    const disk::FoundRow* row = Row("C:\\", name);
    ASSERT_TRUE(row) << name;
    const std::string out = dir + "/" + name;
    EXPECT_TRUE(RestoreFatFile(ctx, host, out, std::stoul(row->number), std::stoul(row->size)));
    EXPECT_EQ(ambrelic::test::Sha256Of(out), written.at(original)) << name;
  }
  // A deleted folder "f|older long", and live folders ".." and ".": entered
  // under their short names, their deleted files listed.
  EXPECT_TRUE(Row("C:\\", "$XOLDE~1"));
  EXPECT_TRUE(Row("C:\\$XOLDE~1", "$NSIDE.TXT"));
  EXPECT_TRUE(Row("C:\\DOTSFO~1", "inner file.txt"));
  EXPECT_TRUE(Row("C:\\DOTFOL~1", "in dot.txt"));
  const std::string target = RestoreFolderRow("C:\\", "$XOLDE~1");
  EXPECT_EQ(Tree(target), (std::map<std::string, std::string>{{"$NSIDE.TXT", written.at("fXolder long/inside.txt")}}));
  EXPECT_TRUE(host.events.empty() || host.events == std::vector<std::string>{"progress open"});
  EXPECT_EQ(op.IncompleteCount, 0u);
}

TEST_F(FatNames, AFolderWhoseNameAFileTookFirstIsRestoredWithItsContents) {
  // "Clash" holds, in this order, a file and a folder both named
  // "Report 2020": the folder takes " (2)", and what it holds follows it.
  const std::string target = RestoreFolderRow("C:\\", "Clash");
  const std::map<std::string, std::string> expected = {
      {"Report 2020", written.at("Clash/Report 2020")},
      {"Report 2020 (2)", "/"},
      {"Report 2020 (2)/$NSIDE.TXT", written.at("Clash/Report 2020 (2)/inside.txt")},
      {"Report 2020 (2)/$EEPER", "/"},
      {"Report 2020 (2)/$EEPER/$EEP.TXT", written.at("Clash/Report 2020 (2)/deeper/deep.txt")},
  };
  EXPECT_EQ(Tree(target), expected);
  EXPECT_EQ(op.IncompleteCount, 0u);
}

TEST_F(FatNames, NamesLongerThanTheTargetTakesAreShortened) {
  // 258 and 259 bytes of UTF-8: the part before the extension is cut at a
  // character and followed by "~" and the name's hash, within 247 bytes.
  const std::string target = RestoreFolderRow("C:\\", "Long");
  const std::string a1 = "A" + Repeat(kE, 116) + "~D1EACA41.txt";
  const std::string a2 = "A" + Repeat(kE, 116) + "~977B2FBC.txt";
  const std::string folder = "L" + Repeat(kE, 118) + "~64AF79C3";
  const std::map<std::string, std::string> expected = {
      {a1, written.at("Long/A" + Repeat(kE, 126) + "1.txt")},
      {a2, written.at("Long/A" + Repeat(kE, 126) + "2.txt")},
      {folder, "/"},
      {folder + "/in long.txt", written.at("Long/L" + Repeat(kE, 129) + "/in long.txt")},
  };
  EXPECT_EQ(Tree(target), expected);
  EXPECT_TRUE(host.events.empty() || host.events == std::vector<std::string>{"progress open"});
}

TEST_F(FatNames, ThreeFoldersOfSixtyCjkCharactersAreListedAndRestored) {
  // "Deep" holds three nested folders of a digit and 60 CJK characters:
  // 193 characters with the drive, 556 bytes of UTF-8.
  const std::string d1 = "1" + Repeat("\xE5\x90\x8D", 60);
  const std::string d2 = "2" + Repeat("\xE5\x89\x8D", 60);
  const std::string d3 = "3" + Repeat("\xE6\x96\x87", 60);
  EXPECT_TRUE(Row("C:\\Deep\\" + d1 + "\\" + d2 + "\\" + d3, "$EEP.TXT"));
  const std::string target = RestoreFolderRow("C:\\", "Deep");
  EXPECT_EQ(ambrelic::test::Sha256Of(target + "/" + d1 + "/" + d2 + "/" + d3 + "/$EEP.TXT"),
            written.at("Deep/" + d1 + "/" + d2 + "/" + d3 + "/deep.txt"));
  EXPECT_EQ(op.IncompleteCount, 0u);
}

TEST_F(FatNames, AFileThatCouldNotBeRestoredIsCounted) {
  // "Damaged" holds good.txt and broken.bin, whose first cluster lies past
  // the volume: the one is restored, the other counted.
  const std::string target = RestoreFolderRow("C:\\", "Damaged");
  EXPECT_EQ(Tree(target), (std::map<std::string, std::string>{{"$OOD.TXT", written.at("Damaged/good.txt")}}));
  EXPECT_EQ(op.IncompleteCount, 1u);
}

}  // namespace
}  // namespace ambrelic::fat
