#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <sstream>

#include "cli/cli_host.h"
#include "cli/options.h"
#include "cli/output.h"
#include "platform/drives.h"
#include "support/test_support.h"
#include "ui/main_dialog.h"
#include "ui/test_host.h"

namespace ambrelic::cli {
namespace {

using CliRun = test::ProgramRun;

// The built binary, with standard input and error away from any terminal.
CliRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

std::string Image(const std::string& name) { return test::FixtureImage("make_app_images.sh", name); }

// The list the window would show for the same search, written as CSV by
// hand: the binary must print exactly these cells.
std::string ExpectedCsv(const std::string& image) {
  test::UseUtf8Locale();
  ui::TestHost host;
  ui::MainDialog d(host, platform::BuildDriveTable({{image, false, false}}).drives);
  d.Initialise();
  d.OnSearch();
  std::string out;
  const auto& cols = d.List().Columns();
  for (std::size_t c = 0; c < cols.size(); ++c) out += (c ? "," : "") + cols[c].header;
  out += "\n";
  for (const auto& row : d.List().Rows()) {
    for (std::size_t c = 0; c < 5; ++c) {
      const std::string& t = row.texts[c];
      std::string cell = t;
      if (t.find_first_of(",\"\n\r") != std::string::npos) {
        cell = "\"";
        for (char ch : t) cell += ch == '"' ? std::string("\"\"") : std::string(1, ch);
        cell += "\"";
      }
      out += (c ? "," : "") + cell;
    }
    out += "\n";
  }
  return out;
}

TEST(CliOptions, ParsesAndRefuses) {
  auto p = ParseCommandLine({"search", "--drive", "d:", "--name=abc", "--sort", "In Folder,desc", "--format", "csv",
                             "--no-scan-vacant", "--removable", "x.img", "a.img", "x.img", "--codepage", "850"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.command, Command::Search);
  EXPECT_EQ(*p.options.drive, 'D');
  EXPECT_EQ(*p.options.name, "abc");
  EXPECT_EQ(p.options.sort.column, 1);
  EXPECT_TRUE(p.options.sort.descending);
  EXPECT_EQ(p.options.format, Format::Csv);
  EXPECT_FALSE(*p.options.scanVacant);
  EXPECT_EQ(p.options.codepage, "CP850");
  ASSERT_EQ(p.options.sources.size(), 2u);
  EXPECT_EQ(p.options.sources[0].path, "x.img");
  EXPECT_TRUE(p.options.sources[0].removable);
  EXPECT_EQ(p.options.sources[1].path, "a.img");

  EXPECT_FALSE(ParseCommandLine({}).ok);
  EXPECT_FALSE(ParseCommandLine({"frobnicate"}).ok);
  EXPECT_FALSE(ParseCommandLine({"scan-all", "a.img"}).ok) << "scan-all needs --name";
  EXPECT_FALSE(ParseCommandLine({"scan-all", "--name", "x", "--include-used", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"search", "--yes", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"search", "--scan-vacant", "--no-scan-vacant", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"search", "--sort", "colour", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"search", "--format", "xml", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"search", "--drive", "CC", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"search", "--codepage", "CP99999", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"drives", "--name", "x", "a.img"}).ok);
  EXPECT_TRUE(ParseCommandLine({"scan-all", "--name", "x", "--yes", "--floppy", "f.img"}).ok);
  EXPECT_EQ(ColumnOfName("FILE NO"), 4);
  EXPECT_EQ(ColumnOfName("cluster"), 4);
}

TEST(CliOutput, QuotingAndEscaping) {
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvField("       7"), "       7");
  EXPECT_EQ(JsonString("C:\\Docs"), "\"C:\\\\Docs\"");
  EXPECT_EQ(JsonString("q\"\t\x01"), "\"q\\\"\\t\\u0001\"");
  EXPECT_EQ(JsonString("été"), "\"été\"");
  EXPECT_EQ(JsonString(std::string("a\xff" "b")), "\"a\\ufffdb\"");
}

TEST(CliBinary, UsageErrorsExitTwo) {
  for (const char* args : {"", "frobnicate", "search --format xml x.img", "scan-all x.img",
                           "search --codepage NOPE x.img"}) {
    const CliRun r = Cli(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
    EXPECT_TRUE(r.out.empty()) << args;
  }
  const CliRun help = Cli("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("ambrelic-cli drives"), std::string::npos);
}

TEST(CliBinary, DrivesOfAPartitionedImage) {
  const std::string parts = Image("parts.img");
  const std::string floppy = test::SampleImage("fat12.img");
  const CliRun r = Cli("drives --floppy '" + floppy + "' '" + parts + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "A:\\\tremovable\tFAT12\tFLOPPY (A:)\t" + floppy + "\t0\n" +
                       "C:\\\tfixed\tFAT16\tPARTONE (C:)\t" + parts + "\t1048576\n" +
                       "D:\\\tfixed\tFAT12\tPARTTWO (D:)\t" + parts + "\t11534336\n" +
                       "E:\\\tfixed\tFAT16\tLOGICAL (E:)\t" + parts + "\t16777216\n");
  const CliRun other = Cli("drives --removable '" + Image("del32.img") + "' '" + Image("garbage.img") + "' '" +
                        Image("ntfs.img") + "'");
  EXPECT_EQ(other.out, "C:\\\tremovable\tFAT32\tSTICK32 (C:)\t" + Image("del32.img") + "\t0\n" +
                           "D:\\\tfixed\tnone\tgarbage.img (D:)\t" + Image("garbage.img") + "\t0\n" +
                           "E:\\\tfixed\tNTFS\tNTFSVOL (E:)\t" + Image("ntfs.img") + "\t0\n");
  // A source that is not there is named with its error, the others listed.
  const CliRun missing = Cli("drives /no/such.img '" + Image("ntfs.img") + "'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "ambrelic-cli: /no/such.img: No such file or directory\n");
  EXPECT_EQ(missing.out, "D:\\\tfixed\tNTFS\tNTFSVOL (D:)\t" + Image("ntfs.img") + "\t0\n");
}

TEST(CliBinary, SearchCsvIsTheListExactly) {
  const std::string image = Image("del16.img");
  const CliRun r = Cli("search --format csv '" + image + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ExpectedCsv(image));
  EXPECT_EQ(r.err, "Do you want to scan vacant clusters?\n") << "asked, and answered No without a terminal";
  EXPECT_NE(r.out.find("\"Inner, part.txt\""), std::string::npos) << "a name with a comma is quoted";
}

TEST(CliBinary, SearchJsonHasTheTypedKeys) {
  const CliRun r = Cli("search --no-scan-vacant --format json '" + Image("del16.img") + "'");
  EXPECT_EQ(r.status, 0);
  ASSERT_GT(r.out.size(), 4u);
  EXPECT_EQ(r.out.substr(0, 4), "[\n  ");
  EXPECT_NE(r.out.find("{\"name\": \"File number 07.txt\", \"folder\": \"C:\\\\\", \"size\": 19, \"modified\": \"2024-05-06T07:08:"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 4), "}\n]\n");
  // Valid JSON: python's parser agrees.
  const std::string dir = test::MakeTempDir("json");
  test::WriteFileBytes(dir + "/out.json", std::vector<std::uint8_t>(r.out.begin(), r.out.end()));
  int rc = -1;
  const std::string count = test::RunCommand(
      "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(len(d), sorted(d[0].keys()))' '" + dir +
          "/out.json'",
      &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(count.substr(count.find(' ') + 1),
            "['cluster', 'condition', 'folder', 'is_folder', 'modified', 'name', 'percent_free', 'size']\n");
}

TEST(CliBinary, SortBySizeDescending) {
  const CliRun r = Cli("search --format csv --sort size,desc '" + Image("del16.img") + "'");
  EXPECT_EQ(r.status, 0);
  std::istringstream in(r.out);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "Name,In Folder,Size,Modified,Cluster");
  long previous = -1;
  int rows = 0;
  while (std::getline(in, line)) {
    // Size is the third field; names with a comma are quoted and have none.
    std::vector<std::string> f;
    std::string cur;
    bool quoted = false;
    for (char c : line) {
      if (c == '"') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        f.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    f.push_back(cur);
    ASSERT_EQ(f.size(), 5u) << line;
    const long size = f[2].empty() ? 0 : std::stol(f[2]);
    if (previous >= 0) {
      EXPECT_LE(size, previous) << line;
    }
    previous = size;
    ++rows;
  }
  EXPECT_GT(rows, 30);
  const CliRun asc = Cli("search --format csv --sort NAME '" + Image("del16.img") + "'");
  EXPECT_EQ(asc.status, 0);
}

TEST(CliBinary, NothingFoundIsStillSuccess) {
  const CliRun r = Cli("search --format csv --no-scan-vacant '" + Image("empty16.img") + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Name,In Folder,Size,Modified,Cluster\n");
  EXPECT_EQ(r.err, "Do you want to scan vacant clusters?\nNo files were found.\n");
  const CliRun j = Cli("search --format json --no-scan-vacant '" + Image("empty16.img") + "'");
  EXPECT_EQ(j.out, "[]\n");
}

TEST(CliBinary, MessagesThatStopExitOne) {
  const CliRun wild = Cli("search --name '*.TXT' '" + Image("del16.img") + "'");
  EXPECT_EQ(wild.status, 1);
  EXPECT_EQ(wild.err,
            "You can't use wild card * .\n\nIf you want to search by extension, please enter something like . TXT.\n");
  EXPECT_TRUE(wild.out.empty());
  const CliRun none = Cli("search '" + Image("garbage.img") + "'");
  EXPECT_EQ(none.status, 1);
  // The program's prefix and the source the message is about.
  EXPECT_EQ(none.err, "ambrelic-cli: " + Image("garbage.img") +
                          ": You can't search this drive because the type is not FAT12/FAT16/FAT32/NTFS/exFAT.\n");
  const CliRun passwd = Cli("search --no-scan-vacant /etc/passwd");
  EXPECT_EQ(passwd.status, 1);
  EXPECT_EQ(passwd.err,
            "ambrelic-cli: /etc/passwd: You can't search this drive because the type is not FAT12/FAT16/FAT32/NTFS/exFAT.\n");
  const CliRun nodrive = Cli("search --drive Q: '" + Image("del16.img") + "'");
  EXPECT_EQ(nodrive.status, 1);
  EXPECT_EQ(nodrive.err, "ambrelic-cli: there is no drive Q: (drives: C:). Please select a drive.\n");
  const CliRun nowipe = Cli("wipe --drive Z: --yes '" + Image("del16.img") + "'");
  EXPECT_EQ(nowipe.status, 1);
  EXPECT_EQ(nowipe.err, "ambrelic-cli: there is no drive Z: (drives: C:). Please select a drive.\n");
  const CliRun missing = Cli("search --removable /no/such/stick.img");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "C:\\ is not accessible.\n\nNo medium found\n") << "Cancel without a terminal";
  const CliRun emptyName = Cli("scan-all --name '' '" + Image("del16.img") + "'");
  EXPECT_EQ(emptyName.status, 1);
  EXPECT_EQ(emptyName.err, "Please enter all or part of the file name if you want to scan all clusters.\n");
  const CliRun ntfs = Cli("scan-all --name X '" + Image("ntfs.img") + "'");
  EXPECT_EQ(ntfs.status, 1);
}

TEST(CliBinary, ScanAllQuestionAndYes) {
  const std::string q =
      "Scan all clusters including used clusters.\n(The clusters exclude root directory of FAT12, FAT16 "
      "drive.)\n\nDo you want to continue?\n";
  const CliRun no = Cli("scan-all --name file --format csv '" + Image("del16.img") + "'");
  EXPECT_EQ(no.status, 0);
  EXPECT_EQ(no.err, q);
  EXPECT_EQ(no.out, "Name,In Folder,Size,Modified,Cluster\n");
  const CliRun yes = Cli("scan-all --name file --yes --format csv --drive c: '" + Image("del16.img") + "'");
  EXPECT_EQ(yes.status, 0);
  EXPECT_EQ(yes.err.substr(0, q.size()), q);
}

TEST(CliBinary, SearchOfThePartitionDrive) {
  const CliRun r = Cli("search --drive C: --format csv --no-scan-vacant '" + Image("parts.img") + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Name,In Folder,Size,Modified,Cluster");
  EXPECT_NE(r.out.find(",C:\\,4,"), std::string::npos) << r.out;
}

// A search stopped by a signal while it still has rows to write: its
// standard output is a pipe of one page, which the test does not read until
// the signal is sent. The rows stream out as they are found and take more
// than twice the page, so once the first row is there the process is inside
// the search and cannot leave it, however slow the machine. It ends the
// search, says that the list is incomplete and exits with 128 + the signal.
std::pair<int, std::string> SearchStoppedBy(int signal) {
  const std::string image = test::FixtureImage("make_folder_images.sh", "folders/tree32.img");
  const std::string errPath = test::MakeTempDir("signal") + "/err";
  int out[2];
  if (::pipe(out) != 0) return {-1, "pipe"};
  ::fcntl(out[0], F_SETPIPE_SZ, 4096);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(err, STDERR_FILENO);
    ::dup2(in, STDIN_FILENO);
    ::close(out[0]);
    ::execl(AMBRELIC_CLI, AMBRELIC_CLI, "search", "--no-scan-vacant", "--format", "bodyfile", image.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  pollfd first{out[0], POLLIN, 0};
  while (::poll(&first, 1, -1) < 0) {
  }
  ::kill(pid, signal);
  std::string rows;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) rows.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto err = test::ReadFileBytes(errPath);
  EXPECT_LT(std::count(rows.begin(), rows.end(), '\n'), 96) << "the search was not stopped";
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(err.begin(), err.end())};
}

TEST(CliBinary, ASearchStoppedBySigtermOrCtrlCSaysTheListIsIncomplete) {
  const auto [term, termErr] = SearchStoppedBy(SIGTERM);
  EXPECT_EQ(term, 143) << termErr;
  EXPECT_NE(termErr.find("interrupted: the list is incomplete"), std::string::npos) << termErr;
  const auto [interrupt, interruptErr] = SearchStoppedBy(SIGINT);
  EXPECT_EQ(interrupt, 130) << interruptErr;
  EXPECT_NE(interruptErr.find("interrupted: the list is incomplete"), std::string::npos) << interruptErr;
}

}  // namespace
}  // namespace ambrelic::cli

namespace ambrelic::cli {
namespace {

TEST(CliHostTest, CtrlCIsOneCancelRequest) {
  InstallInterruptHandler();
  CliHost host(true, {});
  EXPECT_FALSE(host.PumpMessages());
  std::raise(SIGINT);
  EXPECT_TRUE(host.PumpMessages());
  EXPECT_FALSE(host.PumpMessages()) << "the request is consumed when read";
}

TEST(CliHostTest, QuestionsWithoutTerminalTakeFlagsOrTheSafeAnswer) {
  CliHost host(true, {{disk::QuestionId::ScanVacant, true}});
  EXPECT_EQ(host.ShowMessage({"Flagged?", ui::Buttons::YesNo, ui::Icon::None, 1, disk::QuestionId::ScanVacant}),
            ui::Answer::Yes);
  // Answered by what is asked, not by its words.
  EXPECT_EQ(host.ShowMessage({"Flagged?", ui::Buttons::YesNo, ui::Icon::None, 1}), ui::Answer::No);
  EXPECT_EQ(host.ShowMessage({"Other?", ui::Buttons::YesNo, ui::Icon::None, 1, disk::QuestionId::ScanAll}),
            ui::Answer::No);
  EXPECT_EQ(host.ShowMessage({"Disk?", ui::Buttons::RetryCancel, ui::Icon::Stop, 0}), ui::Answer::Cancel);
  EXPECT_EQ(host.ShowMessage({"Info", ui::Buttons::Ok, ui::Icon::None, 0}), ui::Answer::Ok);
}

}  // namespace
}  // namespace ambrelic::cli
