// ambrelic-cli's output for other tools (JSON, JSON lines, The Sleuth
// Kit's body format), the Condition column, --version, --quiet over
// flagged questions and messages that name their file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "cli/options.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }
// The program in UTC, as the oracle runs (the child takes the variable).
test::ProgramRun CliUtc(const std::string& args) {
  ::setenv("TZ", "UTC0", 1);
  return test::RunProgram(AMBRELIC_CLI, args);
}

std::string Cond(const std::string& name) { return test::FixtureImage("make_condition_images.sh", name); }

// Runs python over text (on standard input) and returns what it prints.
std::string Python(const std::string& program, const std::string& text) {
  const std::string dir = test::MakeTempDir("formats");
  test::WriteFileBytes(dir + "/in", std::vector<std::uint8_t>(text.begin(), text.end()));
  int rc = -1;
  const std::string out = test::RunCommand("python3 -c '" + program + "' < '" + dir + "/in'", &rc);
  EXPECT_EQ(rc, 0) << out;
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

TEST(CliFormats, OptionsParse) {
  auto p = ParseCommandLine({"search", "--format", "jsonl", "--condition", "a.img"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.format, Format::Jsonl);
  EXPECT_TRUE(p.options.condition);
  EXPECT_EQ(ParseCommandLine({"scan-all", "--name", "x", "--format=bodyfile", "a.img"}).options.format,
            Format::Bodyfile);
  EXPECT_TRUE(ParseCommandLine({"restore", "--to", "o", "--all", "--keep-times", "a.img"}).options.keepTimes);
  EXPECT_FALSE(ParseCommandLine({"search", "--keep-times", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"restore", "--to", "o", "--all", "--condition", "a.img"}).ok);
  EXPECT_EQ(ParseCommandLine({"--version"}).options.command, Command::Version);
  EXPECT_EQ(ParseCommandLine({"search", "--version"}).options.command, Command::Version);
}

TEST(CliFormats, JsonIsTypedWithTheConditionOnFatAndNtfs) {
  const test::ProgramRun fat = CliUtc("search --include-used --no-scan-vacant --format json '" + Cond("cond-fat16.img") + "'");
  ASSERT_EQ(fat.status, 0) << fat.err;
  const std::string rows = Python(
      "import json,sys\n"
      "for r in json.load(sys.stdin):\n"
      "  print(sorted(r.keys()) == sorted([\"name\",\"folder\",\"size\",\"modified\",\"cluster\",\"is_folder\",\"condition\",\"percent_free\"]),\n"
      "        r[\"name\"], r[\"folder\"], repr(r[\"size\"]), r[\"modified\"], r[\"cluster\"], r[\"is_folder\"], r[\"condition\"], r[\"percent_free\"])",
      fat.out);
  EXPECT_NE(rows.find("True $IG.BIN C:\\ 5120 2010-01-01T12:00:00+00:00 6 False partial 60\n"), std::string::npos) << rows;
  EXPECT_NE(rows.find("True $VER.BIN C:\\ 1536 2010-01-01T12:00:00+00:00 3 False overwritten 0\n"), std::string::npos)
      << rows;
  EXPECT_NE(rows.find("True $MALL.TXT C:\\ 300 2010-01-01T12:00:00+00:00 16 False intact 100\n"), std::string::npos)
      << rows;
  EXPECT_EQ(rows.rfind("True ", 0), 0u);
  EXPECT_EQ(rows.find("\nFalse "), std::string::npos) << "every object has exactly the keys";

  const test::ProgramRun ntfs = CliUtc("search --format json '" + Cond("cond-ntfs.img") + "'");
  ASSERT_EQ(ntfs.status, 0) << ntfs.err;
  const std::string n = Python(
      "import json,sys\n"
      "for r in json.load(sys.stdin): print(r[\"name\"], r[\"file_no\"], r[\"size\"], r[\"condition\"], r[\"percent_free\"], \"cluster\" in r)",
      ntfs.out);
  EXPECT_NE(n.find("big.bin 66 409600 partial 60 False\n"), std::string::npos) << n;
  EXPECT_NE(n.find("gone.bin 65 40960 overwritten 0 False\n"), std::string::npos) << n;
  EXPECT_NE(n.find("res.txt 68 19 intact 100 False\n"), std::string::npos) << n;
}

TEST(CliFormats, JsonLinesAreTheSameObjectsOnePerLine) {
  const std::string image = "'" + Cond("cond-fat16.img") + "'";
  const test::ProgramRun json = Cli("search --no-scan-vacant --format json " + image);
  const test::ProgramRun jsonl = Cli("search --no-scan-vacant --format jsonl " + image);
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  const std::string same = Python(
      "import json,sys\n"
      "lines = sys.stdin.read().splitlines()\n"
      "print(len(lines), all(json.loads(l) is not None for l in lines))",
      jsonl.out);
  const std::string count = Python("import json,sys; print(len(json.load(sys.stdin)), True)", json.out);
  EXPECT_EQ(same, count);
  // The array's elements, one per line, are the lines.
  std::string joined = "[\n";
  const auto lines = Lines(jsonl.out);
  for (std::size_t i = 0; i < lines.size(); ++i) joined += (i ? ",\n  " : "  ") + lines[i];
  joined += "\n]\n";
  EXPECT_EQ(joined, json.out);
  // Sorted, the lines come once the list is whole, in its order.
  const test::ProgramRun sorted = Cli("search --no-scan-vacant --format jsonl --sort size,desc " + image);
  EXPECT_EQ(sorted.status, 0);
  EXPECT_EQ(Lines(sorted.out).size(), lines.size());
  EXPECT_NE(Lines(sorted.out)[0].find("\"size\": 5120"), std::string::npos) << sorted.out;
}

// Our body lines against fls -m on the same image: the same times for every
// deleted file both list, and a line mactime reads.
void CompareWithFls(const std::string& image, bool ntfs) {
  const test::ProgramRun body = CliUtc("search --include-used --no-scan-vacant --format bodyfile '" + image + "'");
  ASSERT_EQ(body.status, 0) << body.err;
  std::map<std::string, std::string> ours;  // base name -> the four times
  for (const std::string& line : Lines(body.out)) {
    std::vector<std::string> f;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, '|')) f.push_back(field);
    ASSERT_EQ(f.size(), 11u) << line;
    EXPECT_EQ(f[0], "0");
    EXPECT_EQ(f[1].rfind("C:\\", 0), 0u) << "the full path: " << line;
    std::string name = f[1].substr(f[1].rfind('\\') + 1);
    ours[name] = f[7] + "|" + f[8] + "|" + f[9] + "|" + f[10];
  }
  int rc = -1;
  const std::string fls = test::RunCommand("TZ=UTC fls -m C: -r -d '" + image + "'", &rc);
  ASSERT_EQ(rc, 0);
  int compared = 0;
  for (const std::string& line : Lines(fls)) {
    std::vector<std::string> f;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, '|')) f.push_back(field);
    if (f.size() != 11 || f[3].size() < 3 || f[3][2] != 'r') continue;  // files: "r/r..." or "-/r..."
    std::string name = f[1].substr(f[1].rfind('/') + 1);
    const auto deleted = name.find(" (deleted)");
    if (deleted != std::string::npos) name.erase(deleted, 10);
    if (!ntfs && !name.empty()) name[0] = '$';  // TSK writes '_' for the lost first character
    if (!ours.count(name)) continue;
    EXPECT_EQ(ours[name], f[7] + "|" + f[8] + "|" + f[9] + "|" + f[10]) << line;
    ++compared;
  }
  EXPECT_GE(compared, ntfs ? 8 : 3) << fls << body.out;
  const std::string dir = test::MakeTempDir("formats");
  test::WriteFileBytes(dir + "/body", std::vector<std::uint8_t>(body.out.begin(), body.out.end()));
  const std::string timeline = test::RunCommand("TZ=UTC mactime -b '" + dir + "/body' -d 2>&1", &rc);
  EXPECT_EQ(rc, 0) << timeline;
  EXPECT_NE(timeline.find(ntfs ? "C:\\big.bin" : "C:\\$IG.BIN"), std::string::npos) << timeline;
}

TEST(CliFormats, BodyfileTimesMatchFlsAndMactimeReadsThem) {
  CompareWithFls(Cond("cond-fat16.img"), false);
  CompareWithFls(Cond("cond-ntfs.img"), true);
}

TEST(CliFormats, ConditionColumnAfterTheDesignedOnes) {
  const std::string image = "'" + Cond("cond-fat16.img") + "'";
  const test::ProgramRun csv = Cli("search --no-scan-vacant --condition --format csv " + image);
  ASSERT_EQ(csv.status, 0);
  const auto lines = Lines(csv.out);
  EXPECT_EQ(lines[0], "Name,In Folder,Size,Modified,Cluster,Condition");
  EXPECT_NE(csv.out.find(",5120,01/01/2010 12:00,6,partial 60%\n"), std::string::npos) << csv.out;
  const test::ProgramRun table = Cli("search --no-scan-vacant --condition " + image);
  EXPECT_NE(table.out.find("Cluster  Condition"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("partial 60%"), std::string::npos);
  // Without the option nothing changes.
  const test::ProgramRun plain = Cli("search --no-scan-vacant --format csv " + image);
  EXPECT_EQ(Lines(plain.out)[0], "Name,In Folder,Size,Modified,Cluster");
  EXPECT_EQ(plain.out.find("partial"), std::string::npos);
}

TEST(CliFormats, VersionQuietAndMessagesNamingTheFile) {
  const test::ProgramRun v = Cli("--version");
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("ambrelic-cli ", 0), 0u);
  EXPECT_EQ(v.out.back(), '\n');
  const test::ProgramRun quiet = Cli("search --no-scan-vacant --quiet '" + Cond("cond-fat16.img") + "'");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "") << "the flag answered the question: nothing to show";
  const test::ProgramRun loud = Cli("search --no-scan-vacant '" + Cond("cond-fat16.img") + "'");
  EXPECT_EQ(loud.err, "Do you want to scan vacant clusters?\n");
  const test::ProgramRun missing = Cli("search /no/such/image.img");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "ambrelic-cli: /no/such/image.img: No such file or directory\n");
}

}  // namespace
}  // namespace ambrelic::cli
