// FAT32 allocation entries read through their low 28 bits by every path, as
// the drivers, fsck.fat and The Sleuth Kit read them: a volume whose entries
// carry the reserved top bits lists, restores and surveys exactly as the
// same volume without them.
#include <gtest/gtest.h>

#include <filesystem>

#include "fat/clusters_in_use.h"
#include "fat/directory_walk.h"
#include "fat/restore.h"
#include "fat_test_image.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

namespace fs = std::filesystem;
constexpr const char* kScript = "make_fat_entry_images.sh";

struct Outcome {
  std::vector<std::string> rows;                      // folder|name|size|cluster|free of total
  std::vector<std::pair<std::string, std::string>> restored;  // name, sha256
  std::vector<std::uint64_t> vacant;
};

Outcome SearchRestoreSurvey(const std::string& image) {
  Outcome o;
  disk::VolumeContext ctx;
  EXPECT_TRUE(test::OpenFatImage(ambrelic::test::FixtureImage(kScript, image), ctx));
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  SearchFat(ctx, op, host);
  const std::string dir = ambrelic::test::MakeTempDir("fat-entries");
  int k = 0;
  for (const disk::FoundRow& r : host.rows) {
    o.rows.push_back(r.folder + "|" + r.name + "|" + r.size + "|" + r.number + "|" +
                     std::to_string(r.facts.condition.free) + "/" + std::to_string(r.facts.condition.total));
    if (r.isFolder) continue;
    const std::string out = dir + "/" + std::to_string(k++);
    EXPECT_TRUE(RestoreFatFile(ctx, host, out, static_cast<Cluster>(r.facts.number),
                               static_cast<std::uint32_t>(r.facts.size)))
        << r.name;
    o.restored.emplace_back(r.folder + "|" + r.name, ambrelic::test::Sha256Of(out));
  }
  fs::remove_all(dir);
  const FatClusterSurvey survey = SurveyFatClusters(ctx);
  EXPECT_TRUE(survey.Usable()) << image;
  for (std::uint64_t c = 0; c < survey.vacant.size(); ++c) {
    if (!survey.vacant.Test(c)) o.vacant.push_back(c);
  }
  return o;
}

TEST(FatEntries, TopBitsOfFat32EntriesAreIgnoredByEveryPath) {
  const std::string plain = ambrelic::test::FixtureImage(kScript, "plain32.img");
  const std::string patched = ambrelic::test::FixtureImage(kScript, "topbits32.img");
  // What the patched volume is to the tools that mount and check FAT: the
  // same volume, without a complaint.
  int status = -1;
  ambrelic::test::RunCommand("fsck.fat -n '" + patched + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ambrelic::test::RunCommand("fls -rd '" + patched + "'"),
            ambrelic::test::RunCommand("fls -rd '" + plain + "'"));

  const Outcome expected = SearchRestoreSurvey("plain32.img");
  const Outcome got = SearchRestoreSurvey("topbits32.img");
  // Eight deleted files in the live folder's later clusters, FRAG.BIN
  // around a live file, THREE.BIN, and the deleted folder with its file.
  ASSERT_EQ(expected.rows.size(), 12u);
  EXPECT_EQ(got.rows, expected.rows);
  EXPECT_EQ(got.restored, expected.restored);
  EXPECT_EQ(got.vacant, expected.vacant);
  // FRAG.BIN's clusters lie on either side of a live file's: restored
  // whole, as tsk_recover restores it.
  std::string yes;
  while (yes.size() < 1800) yes += "frag\n";
  yes.resize(1800);
  const std::string dir = ambrelic::test::MakeTempDir("fat-entries-frag");
  ambrelic::test::WriteFileBytes(dir + "/frag", std::vector<std::uint8_t>(yes.begin(), yes.end()));
  const std::string fragHash = ambrelic::test::Sha256Of(dir + "/frag");
  fs::remove_all(dir);
  bool found = false;
  for (const auto& [name, hash] : got.restored) {
    if (name == "C:\\|$RAG.BIN") {
      found = true;
      EXPECT_EQ(hash, fragHash);
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace ambrelic::fat
