// The deep scan on quick-formatted cards made by real tools: the rows it
// lists, the files `restore --carve` writes (scored by hash against the
// originals, as a user would), the clusters it leaves to the search, the
// device read in sectors when no file system is left, and the condition a
// search gives rows whose content it checked.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli/options.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

std::string Card(const std::string& card) { return test::FixtureImage("make_carve_images.sh", "carve-" + card + ".img"); }

struct Original {
  std::string path;
  bool listed = false;
};
// sha256 -> the file written to the card.
std::map<std::string, Original> Manifest(const std::string& card) {
  std::ifstream in(fs::path(Card(card)).replace_extension(".txt"));
  std::map<std::string, Original> out;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string hash, path, size, mark;
    std::getline(fields, hash, '\t');
    std::getline(fields, path, '\t');
    std::getline(fields, size, '\t');
    std::getline(fields, mark, '\t');
    out[hash] = {path, mark == "listed"};
  }
  return out;
}

// What `restore --carve --all` wrote, scored against the originals: the
// originals it brought back byte-identical, and files it wrote twice.
struct Score {
  std::set<std::string> identical;
  int written = 0;
  int twice = 0;
};
Score RestoreAll(const std::string& image, const std::string& card, const std::string& options = "") {
  const std::string out = test::MakeTempDir("carve-" + card) + "/all";
  const test::ProgramRun r = Cli("restore --carve " + options + " --to '" + out + "' --all '" + image + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::map<std::string, Original> manifest = Manifest(card);
  Score score;
  std::set<std::string> seen;
  for (const auto& entry : fs::directory_iterator(out)) {
    ++score.written;
    const std::string hash = test::Sha256Of(entry.path().string());
    if (!seen.insert(hash).second) ++score.twice;
    if (const auto it = manifest.find(hash); it != manifest.end()) score.identical.insert(it->second.path);
  }
  return score;
}

// Every file written before the format, but the first photo, whose clusters
// the files written after the format took.
const std::set<std::string> kRecoverable = {
    "DCIM/100CAM/IMG_0002.JPG", "DCIM/100CAM/IMG_0003.JPG", "DCIM/100CAM/IMG_0004.JPG", "DCIM/100CAM/IMG_0005.JPG",
    "DCIM/100CAM/IMG_0006.JPG", "DCIM/100CAM/IMG_0007.JPG", "DCIM/100CAM/IMG_0008.JPG", "Pictures/logo.png",
    "Pictures/chart.png",       "Docs/report.pdf",          "Docs/notes.docx",          "Docs/table.xlsx",
    "Docs/archive.zip",         "Media/clip.mp4",           "Media/tone.mp3"};

TEST(CarveOptions, TypesAndTheirCommands) {
  const ParseResult r = ParseCommandLine({"carve", "--type", "JPG,docx", "--include-listed", "a.img"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.types, (std::vector<std::string>{"jpg", "docx"}));
  EXPECT_TRUE(r.options.carve);
  EXPECT_TRUE(ParseCommandLine({"restore", "--carve", "--to", "o", "--all", "--type", "pdf", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"restore", "--to", "o", "--all", "--type", "pdf", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"carve", "--type", "jpg,,png", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"carve", "--type", "txt", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"search", "--include-listed", "a.img"}).ok);
}

TEST(Carve, Fat32CardRowsAndRestoredFiles) {
  const test::ProgramRun r = Cli("carve --format csv --condition '" + Card("fat32") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  // Photos are named by the time they were taken, the rest by their first
  // cluster; the photo the search lists (deleted after the format) is not
  // listed again.
  EXPECT_NE(r.out.find("2019-07-02 12-30-10.jpg,C:\\<content>\\jpg,639803,07/02/2019 12:30,388,"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(",C:\\<content>\\pdf,2361,"), std::string::npos);
  EXPECT_NE(r.out.find(",C:\\<content>\\docx,56364,"), std::string::npos);
  EXPECT_NE(r.out.find(",C:\\<content>\\xlsx,56336,"), std::string::npos);
  EXPECT_EQ(r.out.find("2021-03-14 09-26-53.jpg"), std::string::npos);
  EXPECT_NE(r.out.find("intact, verified"), std::string::npos);

  const Score score = RestoreAll(Card("fat32"), "fat32");
  EXPECT_EQ(score.identical, kRecoverable);
  EXPECT_EQ(score.twice, 0);
  EXPECT_EQ(score.written, static_cast<int>(kRecoverable.size()));

  // With the listed file's clusters read too, its photo comes back as well.
  const Score all = RestoreAll(Card("fat32"), "fat32", "--include-listed --type jpg");
  EXPECT_EQ(all.identical.count("late.jpg"), 1u);
  EXPECT_EQ(all.written, 8);
}

TEST(Carve, ExfatCardRestoredFiles) {
  const Score score = RestoreAll(Card("exfat"), "exfat");
  EXPECT_EQ(score.identical, kRecoverable);
  EXPECT_EQ(score.twice, 0);
}

TEST(Carve, DeviceWithoutFileSystemIsReadInSectors) {
  // The card with its boot sectors and tables gone.
  const std::string image = test::MakeTempDir("carve-raw") + "/raw.img";
  fs::copy_file(Card("fat32"), image);
  test::RunCommand("dd if=/dev/zero of='" + image + "' bs=512 count=2048 conv=notrunc status=none");
  const test::ProgramRun r = Cli("carve --format jsonl '" + image + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"sector\": "), std::string::npos) << r.out;
  const Score score = RestoreAll(image, "fat32");
  // The listed photo is a file like any other here.
  std::set<std::string> expected = kRecoverable;
  expected.insert("late.jpg");
  EXPECT_EQ(score.identical, expected);
  EXPECT_EQ(score.twice, 0);
}

TEST(Carve, SearchRowsSayWhetherTheirContentChecksOut) {
  // Listed after the format: its bytes are the photo.
  test::ProgramRun r = Cli("search --no-scan-vacant --condition --format csv '" + Card("fat32") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("$ATE.JPG,C:\\,243340,01/01/2010 12:00,23,\"intact, verified\""), std::string::npos) << r.out;
  // Photos whose clusters later files took, a live PNG and a photo deleted
  // since: every cluster of the second one is free, yet its bytes are not
  // the photo.
  r = Cli("search --no-scan-vacant --include-used --condition --format csv '" + Card("reuse") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("$EW.JPG,C:\\,243340,01/01/2010 12:00,32,\"intact, verified\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("$MG_0003.JPG,C:\\OLD,244683,01/01/2010 12:00,3,damaged 0%"), std::string::npos);
  EXPECT_NE(r.out.find("$MG_0006.JPG,C:\\OLD,283220,01/01/2010 12:00,242,damaged 0%"), std::string::npos);
  // JSON lines tell the same: they are written once the content is checked.
  r = Cli("search --no-scan-vacant --include-used --condition --format jsonl '" + Card("reuse") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  auto line = [&](const std::string& name) {
    const std::size_t at = r.out.find("{\"name\": \"" + name + "\"");
    return at == std::string::npos ? std::string() : r.out.substr(at, r.out.find('\n', at) - at);
  };
  EXPECT_NE(line("$EW.JPG").find("\"condition\": \"intact\", \"percent_free\": 100, \"verified\": true"),
            std::string::npos)
      << r.out;
  EXPECT_NE(line("$MG_0003.JPG").find("\"condition\": \"damaged\""), std::string::npos) << r.out;
  EXPECT_NE(line("$MG_0006.JPG").find("\"verified\": false, \"percent_parsed\": 0"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace ambrelic::cli
