// ambrelic-cli on exFAT images: drives, search, restore and wipe, with the
// exit statuses of the FAT commands.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <vector>

#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }
std::string Image(const std::string& name) { return test::FixtureImage("make_exfat_images.sh", name); }

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, by)) out.push_back(part);
  return out;
}

// fls -m's lines of deleted entries: path (with '/', "C:/..."), the four
// times "atime|mtime|ctime|crtime".
std::map<std::string, std::string> FlsTimes(const std::string& image) {
  std::map<std::string, std::string> out;
  int rc = -1;
  const std::string fls = test::RunCommand("TZ=UTC fls -m C: -r -d '" + image + "'", &rc);
  EXPECT_EQ(rc, 0);
  for (const std::string& line : Split(fls, '\n')) {
    const std::vector<std::string> f = Split(line, '|');
    if (f.size() != 11) continue;
    std::string path = f[1];
    const auto deleted = path.find(" (deleted)");
    if (deleted != std::string::npos) path.erase(deleted, 10);
    out[path] = f[7] + "|" + f[8] + "|" + f[9] + "|" + f[10];
  }
  return out;
}

long long ModificationTime(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return static_cast<long long>(st.st_mtime);
}

TEST(CliExfat, DrivesNameTheKind) {
  const test::ProgramRun r = Cli("drives '" + Image("exfat-mbr.img") + "' '" + Image("exfat-c512.img") + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("C:\\\tfixed\tFAT12\tPARTFAT (C:)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("D:\\\tfixed\texFAT\tAMB4096 (D:)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("E:\\\tfixed\texFAT\tAMB512 (E:)"), std::string::npos) << r.out;
}

TEST(CliExfat, SearchRestoreAndWipe) {
  const std::string copy = test::MakeTempDir("cli-exfat") + "/card.img";
  fs::copy_file(Image("exfat-mbr.img"), copy);
  const test::ProgramRun search =
      Cli("search --drive D: --name SEVENTY --format csv --scan-vacant '" + copy + "'");
  EXPECT_EQ(search.status, 0);
  EXPECT_NE(search.out.find("seventy.bin,D:\\tree\\a\\b,70000,"), std::string::npos) << search.out;

  const std::string target = test::MakeTempDir("cli-exfat-out") + "/seventy.bin";
  const test::ProgramRun restore =
      Cli("restore --drive D: --name SEVENTY --no-scan-vacant --row 1 --to '" + target + "' '" + copy + "'");
  EXPECT_EQ(restore.status, 0) << restore.err;
  EXPECT_EQ(fs::file_size(target), 70000u);

  const std::string before = test::Sha256Of(copy);
  Cli("wipe --drive D: '" + copy + "'");
  EXPECT_EQ(test::Sha256Of(copy), before) << "no --yes and no terminal: No";
  const test::ProgramRun wipe = Cli("wipe --drive D: --yes --records --quiet '" + copy + "'");
  EXPECT_EQ(wipe.status, 0) << wipe.err;
  const test::ProgramRun after = Cli("search --drive D: --format csv --scan-vacant '" + copy + "'");
  EXPECT_EQ(after.out, "Name,In Folder,Size,Modified,Cluster\n");
  EXPECT_NE(after.err.find("No files were found."), std::string::npos);
  // The FAT partition beside it is left as it was.
  EXPECT_EQ(Cli("search --drive C: --format csv --no-scan-vacant '" + copy + "'").out,
            Cli("search --drive C: --format csv --no-scan-vacant '" + Image("exfat-mbr.img") + "'").out);
}

TEST(CliExfat, AVolumeThatContradictsItselfIsRefusedWithStatusOne) {
  const std::string copy = test::MakeTempDir("cli-exfat") + "/dirty.img";
  fs::copy_file(Image("exfat-c4096.img"), copy);
  // The volume flags' dirty bit: the volume was not unmounted cleanly.
  test::RunCommand("printf '\\002' | dd of='" + copy + "' bs=1 seek=106 conv=notrunc status=none");
  const std::string before = test::Sha256Of(copy);
  const test::ProgramRun r = Cli("wipe --yes --records '" + copy + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is damaged: it was not unmounted cleanly.\n\nNothing has been overwritten."), std::string::npos)
      << r.err;
  EXPECT_EQ(test::Sha256Of(copy), before);
}

// The body file's times of every deleted file and folder are fls -m's (to
// the second it leaves out); the
// JSON rows carry the cluster and the condition (a file whose first cluster
// a live file took is overwritten).
TEST(CliExfat, BodyfileTimesMatchFlsAndJsonCarriesTheCondition) {
  const std::string image = Image("exfat-c4096.img");
  ::setenv("TZ", "UTC0", 1);
  const test::ProgramRun body =
      Cli("search --quiet --include-used --no-scan-vacant --format bodyfile '" + image + "'");
  ASSERT_EQ(body.status, 0) << body.err;
  const std::map<std::string, std::string> theirs = FlsTimes(image);
  int compared = 0;
  for (const std::string& line : Split(body.out, '\n')) {
    const std::vector<std::string> f = Split(line, '|');
    ASSERT_EQ(f.size(), 11u) << line;
    std::string path = f[1];
    for (char& c : path)
      if (c == '\\') c = '/';
    const auto it = theirs.find(path);
    if (it == theirs.end()) continue;
    // fls leaves out the stamps' 10 ms field (up to a second more than the
    // 2-second steps); we count it, so ours may be one second later.
    const std::vector<std::string> t = Split(it->second, '|');
    for (std::size_t k = 0; k < 4; ++k) {
      const long long later = std::stoll(f[7 + k]) - std::stoll(t[k]);
      EXPECT_TRUE(later == 0 || (later == 1 && k != 0 && k != 2)) << line << " against " << it->second;
    }
    ++compared;
  }
  EXPECT_GE(compared, 40) << body.out;

  const test::ProgramRun json =
      Cli("search --quiet --include-used --no-scan-vacant --format json '" + image + "'");
  ASSERT_EQ(json.status, 0) << json.err;
  const std::string dir = test::MakeTempDir("cli-exfat");
  test::WriteFileBytes(dir + "/rows.json", std::vector<std::uint8_t>(json.out.begin(), json.out.end()));
  int rc = -1;
  const std::string facts = test::RunCommand(
      "python3 -c 'import json,sys\n"
      "rows = {(r[\"folder\"], r[\"name\"]): r for r in json.load(open(sys.argv[1]))}\n"
      "for key in [(\"C:\\\\\", \"small.txt\"), (\"C:\\\\h\", \"f21\"), (\"C:\\\\\", \"tree\")]:\n"
      "  r = rows[key]\n"
      "  print(key[1], r[\"size\"], r[\"cluster\"] > 1, r[\"is_folder\"], r[\"condition\"], r[\"percent_free\"])"
      "' '" + dir + "/rows.json' 2>&1",
      &rc);
  EXPECT_EQ(rc, 0) << facts;
  EXPECT_EQ(facts,
            "small.txt 100 True False intact 100\n"
            "f21 4089 True False overwritten 0\n"
            "tree None True True intact 100\n");
}

// --keep-times gives restored files and folders the set's last-write time;
// a file the volume cannot give whole (an image cut short inside it) is
// counted, told and makes the status 1, with what could be read kept.
TEST(CliExfat, KeepTimesAndTheFilesNotRestoredWhole) {
  const std::string image = Image("exfat-c4096.img");
  const std::map<std::string, std::string> times = FlsTimes(image);
  auto mtime = [&](const std::string& path) { return std::stoll(Split(times.at(path), '|')[1]); };
  const std::string dir = test::MakeTempDir("cli-exfat-times");
  const test::ProgramRun kept =
      Cli("restore --quiet --no-scan-vacant --keep-times --all --to '" + dir + "/kept' '" + image + "'");
  EXPECT_EQ(kept.status, 0) << kept.err;
  // Within the second fls leaves out.
  EXPECT_NEAR(ModificationTime(dir + "/kept/small.txt"), mtime("C:/small.txt"), 1);
  EXPECT_NEAR(ModificationTime(dir + "/kept/tree"), mtime("C:/tree"), 1) << "a folder, once its files are in";
  EXPECT_NEAR(ModificationTime(dir + "/kept/tree/a/b/c/deep.txt"), mtime("C:/tree/a/b/c/deep.txt"), 1);
  EXPECT_NEAR(ModificationTime(dir + "/kept/tree/a/b"), mtime("C:/tree/a/b"), 1);

  // seventy.bin's 18 clusters start at cluster 31: the copy ends two
  // clusters into it.
  const std::string cut = dir + "/cut.img";
  fs::copy_file(image, cut);
  const test::ProgramRun found =
      Cli("search --quiet --no-scan-vacant --name SEVENTY --format csv --condition '" + cut + "'");
  ASSERT_NE(found.out.find("seventy.bin,C:\\tree\\a\\b,70000,"), std::string::npos) << found.out;
  const std::uint64_t heap = 4096 * 512;
  fs::resize_file(cut, heap + (31 - 2 + 2) * 4096);
  const test::ProgramRun partial =
      Cli("search --quiet --no-scan-vacant --name SEVENTY --format csv --condition '" + cut + "'");
  EXPECT_NE(partial.out.find(",31,partial 11%\n"), std::string::npos) << partial.out;
  const test::ProgramRun r =
      Cli("restore --quiet --no-scan-vacant --name SEVENTY --row 1 --to '" + dir + "/seventy.bin' '" + cut + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("1 file could not be restored completely.\n"), std::string::npos) << r.err;
  EXPECT_EQ(fs::file_size(dir + "/seventy.bin"), 2u * 4096);
}

}  // namespace
}  // namespace ambrelic::cli
