// ambrelic-cli restore: the built binary run on images, its options parsed
// in-process, the rows it selects and the answers it gives to the restore
// command's dialogs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include <filesystem>

#include "cli/options.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

using CliResult = test::ProgramRun;

// The built binary, with standard input and error away from any terminal.
CliResult Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

std::string Image() { return test::FixtureImage("make_restore_images.sh", "restore16.img"); }
std::string Original(const std::string& path) {
  return fs::path(Image()).parent_path().string() + "/originals/restore16/" + path;
}

TEST(CliRestoreOptions, RowsTargetAndAnswers) {
  auto ok = ParseCommandLine({"restore", "--to", "out", "--row", "3,1,12", "--yes", "--sort", "Size,desc", "a.img"});
  ASSERT_TRUE(ok.ok) << ok.error;
  EXPECT_EQ(ok.options.command, Command::Restore);
  EXPECT_EQ(ok.options.restoreTo, "out");
  EXPECT_EQ(ok.options.rows, (std::vector<int>{3, 1, 12}));
  EXPECT_TRUE(ok.options.yes);
  EXPECT_EQ(ok.options.sort.column, 2);
  EXPECT_TRUE(ParseCommandLine({"restore", "--to=out", "--all", "--include-used", "--scan-vacant", "a.img"}).ok);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"restore", "--all", "a.img"}, {"restore", "--to", "out", "a.img"},
        {"restore", "--to", "out", "--all", "--row", "1", "a.img"}, {"restore", "--to", "out", "--row", "0", "a.img"},
        {"restore", "--to", "out", "--row", "1,,2", "a.img"}, {"restore", "--to", "out", "--row", "x", "a.img"},
        {"restore", "--to", "out", "--all", "--format", "csv", "a.img"}, {"search", "--to", "out", "a.img"}}) {
    EXPECT_FALSE(ParseCommandLine(bad).ok) << bad[1] << " " << bad.back();
  }
}

TEST(CliRestore, AllRowsIntoANewFolderAndTheImageUnchanged) {
  const std::string before = test::Sha256Of(Image());
  const std::string out = test::MakeTempDir("clirestore") + "/all";
  const CliResult r = Cli("restore --no-scan-vacant --to '" + out + "' --all '" + Image() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(test::Sha256Of(out + "/many clusters.bin"), test::Sha256Of(Original("many clusters.bin")));
  EXPECT_EQ(test::Sha256Of(out + "/Project Folder/Sub One/Sub Two/data set.bin"),
            test::Sha256Of(Original("Project Folder/Sub One/Sub Two/data set.bin")));
  // The rows of the folder's files are restored on their own as well; the
  // two twins of one name are both kept.
  EXPECT_EQ(test::Sha256Of(out + "/$WINA.TXT"), test::Sha256Of(Original("Twins/TWINA.TXT")));
  EXPECT_EQ(test::Sha256Of(out + "/$WINA (2).TXT"), test::Sha256Of(Original("Twins/TWINB.TXT")));
  EXPECT_EQ(test::Sha256Of(Image()), before);

  // Again to the same path: refused, and the second Save As is a Cancel.
  const CliResult again = Cli("restore --no-scan-vacant --to '" + out + "' --all '" + Image() + "'");
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("This file name already exists.\n\nPlease change the file name or folder you want to "
                           "restore to.\n"),
            std::string::npos)
      << again.err;
}

TEST(CliRestore, AWriteThatFailsIsNotReportedAsSuccess) {
  // The file-size limit stands in for a full disk: writes past 1 KiB fail
  // (the signal it would raise is ignored, as the shell hands it on).
  const std::string out = test::MakeTempDir("clirestore") + "/limited";
  const std::string dir = test::MakeTempDir("clirestore");
  int status = -1;
  test::RunCommand("bash -c \"trap '' XFSZ; ulimit -f 1; exec '" + std::string(AMBRELIC_CLI) +
                       "' restore --no-scan-vacant --to '" + out + "' --all '" + Image() + "'\" 2>'" + dir +
                       "/err' </dev/null",
                   &status);
  const auto bytes = test::ReadFileBytes(dir + "/err");
  const std::string err(bytes.begin(), bytes.end());
  EXPECT_EQ(status, 1) << err;
  EXPECT_NE(err.find("File writing failure."), std::string::npos) << err;
  // What could be written is kept.
  EXPECT_TRUE(platform::IsFolder(out));
}

TEST(CliRestore, OneRowAfterSortAndRowsOutOfTheList) {
  const std::string dir = test::MakeTempDir("clirestore");
  // Sorted by size, largest first: row 1 is "many clusters.bin".
  const CliResult r = Cli("restore --no-scan-vacant --sort Size,desc --row 1 --to '" + dir + "/biggest' '" + Image() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::Sha256Of(dir + "/biggest"), test::Sha256Of(Original("many clusters.bin")));

  const CliResult none = Cli("restore --no-scan-vacant --row 99 --to '" + dir + "/x' '" + Image() + "'");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("there is no row 99"), std::string::npos) << none.err;
  EXPECT_FALSE(platform::PathExists(dir + "/x"));
}

TEST(CliRestore, KeepTimesGivesTheEntrysModificationTime) {
  const std::string dir = test::MakeTempDir("clirestore");
  // The fixture's files were written at 2010-01-01 12:00:00 (UTC, as the
  // entries hold local time).
  ::setenv("TZ", "UTC0", 1);
  const CliResult r = test::RunProgram(AMBRELIC_CLI,
                                       "restore --no-scan-vacant --keep-times --all --to '" + dir + "/kept' '" +
                                           Image() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  const auto when = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return static_cast<long long>(st.st_mtime);
  };
  EXPECT_NEAR(when(dir + "/kept/many clusters.bin"), 1262347200, 2);
  EXPECT_NEAR(when(dir + "/kept/Project Folder/Sub One"), 1262347200, 2) << "a recreated folder too";
  EXPECT_NEAR(when(dir + "/kept/Project Folder"), 1262347200, 2);
  // Without it the files get the time of the restore.
  const CliResult plain = Cli("restore --no-scan-vacant --all --to '" + dir + "/plain' '" + Image() + "'");
  EXPECT_EQ(plain.status, 0);
  EXPECT_GT(when(dir + "/plain/many clusters.bin"), 1262347200 + 86400);
}

TEST(CliRestore, TooLittleFreeSpaceWritesNothing) {
  const std::string dir = test::MakeTempDir("clirestore");
  int status = -1;
  test::RunCommand("mount -t tmpfs -o size=16k tmpfs '" + dir + "' 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "no tmpfs can be mounted here";
  const CliResult r = Cli("restore --no-scan-vacant --quiet --all --to '" + dir + "/out' '" + Image() + "'");
  const std::string left = test::RunCommand("ls -A '" + dir + "'");
  test::RunCommand("umount '" + dir + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("ambrelic-cli: " + dir + "/out: needs ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(" bytes, "), std::string::npos);
  EXPECT_NE(r.err.find(" free\n"), std::string::npos);
  EXPECT_EQ(left, "") << "nothing written";
}

TEST(CliRestore, MissingImageIsNamed) {
  const std::string dir = test::MakeTempDir("clirestore");
  const CliResult r = Cli("restore --all --to '" + dir + "/x' /no/such.img");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ambrelic-cli: /no/such.img: No such file or directory\n");
}

}  // namespace
}  // namespace ambrelic::cli
