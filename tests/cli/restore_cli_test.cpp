// ambrelic-cli restore: the built binary run on images, its options parsed
// in-process, the rows it selects and the answers it gives to the restore
// command's dialogs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <unistd.h>

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
  // The rows of a folder's files are restored through the folder, once,
  // inside it; the two twins of one name are both kept.
  EXPECT_EQ(test::Sha256Of(out + "/Twins/$WINA.TXT"), test::Sha256Of(Original("Twins/TWINA.TXT")));
  EXPECT_EQ(test::Sha256Of(out + "/Twins/$WINA (2).TXT"), test::Sha256Of(Original("Twins/TWINB.TXT")));
  EXPECT_FALSE(fs::exists(out + "/$WINA.TXT"));
  EXPECT_FALSE(fs::exists(out + "/data set.bin"));
  EXPECT_NE(r.err.find("ambrelic-cli: 9 files restored ("), std::string::npos) << r.err;
  EXPECT_EQ(test::Sha256Of(Image()), before);

  // Again to the same path: refused, and the second Save As is a Cancel.
  const CliResult again = Cli("restore --no-scan-vacant --to '" + out + "' --all '" + Image() + "'");
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("This file name already exists.\n\nPlease change the file name or folder you want to "
                           "restore to.\n"),
            std::string::npos)
      << again.err;
}

// "Photos" deleted, made again and deleted too: two folder rows read
// C:\Photos. The first folder selected with the other one's file: that
// file is no part of the folder's restore, and is written on its own.
TEST(CliRestore, AFileOfAnotherFolderOfTheSameNameIsWrittenOnce) {
  const std::string img = test::FixtureImage("make_restore_images.sh", "remade16.img");
  const CliResult listed = Cli("search --no-scan-vacant '" + img + "'");
  EXPECT_EQ(listed.out,
            "Name           In Folder  Size  Modified          Cluster\n"
            "Photos         C:\\              01/01/2010 12:00        2\n"
            "Photos         C:\\              01/01/2010 12:00       42\n"
            "Beta two.jpg   C:\\Photos  5000  01/01/2010 12:00        3\n"
            "Alpha one.jpg  C:\\Photos  3000  01/01/2010 12:00       43\n");
  const std::string out = test::MakeTempDir("cliremade") + "/two";
  const CliResult r = Cli("restore --no-scan-vacant --to '" + out + "' --row 1,4 '" + img + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string originals = fs::path(img).parent_path().string() + "/originals/remade16/Photos/";
  EXPECT_EQ(test::Sha256Of(out + "/Photos/Beta two.jpg"), test::Sha256Of(originals + "Beta two.jpg"));
  EXPECT_EQ(test::Sha256Of(out + "/Alpha one.jpg"), test::Sha256Of(originals + "Alpha one.jpg"));
  EXPECT_FALSE(fs::exists(out + "/Photos/Alpha one.jpg"));
  EXPECT_NE(r.err.find("ambrelic-cli: 2 files restored (8000 bytes)"), std::string::npos) << r.err;
}

// A name filter lists "Project Folder" and "data set.bin" but not "Sub
// Two" between them: the folder's restore still walks it, and the file is
// written there only.
TEST(CliRestore, AFileBelowAFolderTheFilterLeftOutIsWrittenOnce) {
  const std::string out = test::MakeTempDir("clirestore") + "/filtered";
  const CliResult r = Cli("restore --no-scan-vacant --name E --to '" + out + "' --all '" + Image() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::Sha256Of(out + "/Project Folder/Sub One/Sub Two/data set.bin"),
            test::Sha256Of(Original("Project Folder/Sub One/Sub Two/data set.bin")));
  EXPECT_FALSE(fs::exists(out + "/data set.bin"));
}

// NTFS: folder "p" lies where its parents are gone (C:\<unknown>), its
// file under the lost-folder mark (C:\<不明>\p): the two texts differ, yet
// the file is p's, and written once, through p.
TEST(CliRestore, AFileUnderALostFolderIsWrittenThroughItOnce) {
  const std::string out = test::MakeTempDir("clirestore") + "/lost";
  const CliResult r =
      Cli("restore --to '" + out + "' --all '" + test::FixtureImage("make_ntfs_images.sh", "ntfs-c4096.img") + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(out + "/p/child.txt"));
  EXPECT_FALSE(fs::exists(out + "/child.txt"));
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

// A folder restore that could not write one of its files tells the count
// at the end and exits with status 1; what it could write is there.
TEST(CliRestore, FilesNotRestoredWholeAreCountedAndTheStatusIsOne) {
  const std::string image = test::FixtureImage("make_name_images.sh", "names16.img");
  const CliResult list = Cli("search --no-scan-vacant --format csv '" + image + "'");
  ASSERT_EQ(list.status, 0) << list.err;
  std::istringstream lines(list.out);
  std::string line;
  int row = 0;
  int damaged = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("Damaged,", 0) == 0) damaged = row;
    ++row;
  }
  ASSERT_GT(damaged, 0);
  const std::string out = test::MakeTempDir("clirestore") + "/damaged";
  const CliResult r =
      Cli("restore --no-scan-vacant --row " + std::to_string(damaged) + " --to '" + out + "' '" + image + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("\n1 file could not be restored completely.\n"), std::string::npos) << r.err;
  EXPECT_TRUE(platform::PathExists(out + "/$OOD.TXT"));
}

// A target inside an ntfs-3g mount of the very image searched lies on the
// searched volume: the warning is asked, its default No writes nothing and
// the command ends with status 1; --yes answers it.
TEST(CliRestore, OntoAFuseMountOfTheSearchedImageAsksFirst) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for FUSE";
  const std::string path = test::MakeTempDir("clirestore-fuse") + "/volume.img";
  fs::copy_file(test::FixtureImage("make_wipe_images.sh", "wipe-ntfs.img"), path);
  const std::string mountPoint = test::MakeTempDir("clirestore-fuse");
  int status = -1;
  test::RunCommand("ntfs-3g '" + path + "' '" + mountPoint + "' 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "ntfs-3g cannot mount here";
  const CliResult no = Cli("restore --no-scan-vacant --all --to '" + mountPoint + "/out' '" + path + "'");
  const bool writtenOnNo = platform::PathExists(mountPoint + "/out");
  const CliResult yes = Cli("restore --no-scan-vacant --all --yes --to '" + mountPoint + "/out' '" + path + "'");
  const bool writtenOnYes = platform::PathExists(mountPoint + "/out");
  test::RunCommand("umount '" + mountPoint + "'");
  const std::string warning =
      "I recommend you if possible to select a different drive from searched drive so not to overwrite original "
      "data.\n\nDo you want to continue?\n";
  EXPECT_EQ(no.status, 1);
  EXPECT_NE(no.err.find(warning), std::string::npos) << no.err;
  EXPECT_FALSE(writtenOnNo);
  // Yes restores onto the volume it reads: ntfs-3g hands the restored files
  // the very records and clusters still to be read, and what could then not
  // be restored whole is told and makes the status 1.
  EXPECT_TRUE(writtenOnYes);
  if (yes.status != 0) {
    EXPECT_EQ(yes.status, 1);
    EXPECT_NE(yes.err.find("could not be restored completely.\n"), std::string::npos) << yes.err;
  }
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

namespace folders {

std::string Image(const std::string& name) { return test::FixtureImage("make_folder_images.sh", "folders/" + name); }

// sha256 -> path of the files of one image in the fixture's MANIFEST.
std::map<std::string, std::string> Manifest(const std::string& image) {
  std::map<std::string, std::string> out;
  std::ifstream in(fs::path(Image(image + ".img")).parent_path() / "MANIFEST");
  std::string img, sha, path;
  while (std::getline(in, img, '\t') && std::getline(in, sha, '\t') && std::getline(in, path)) {
    if (img == image) out[sha] = path;
  }
  return out;
}

// Restores everything a search with the vacant-cluster scan lists; each
// file found must be written once, byte-identical, under its name (and, with
// inFolder, in a folder of its original folder's name).
void ExpectEachFileOnce(const std::string& image, std::size_t expected, bool inFolder) {
  const std::string out = test::MakeTempDir("cli-folders") + "/all";
  const CliResult r = Cli("restore --all --scan-vacant --to '" + out + "' '" + Image(image + ".img") + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  const auto manifest = Manifest(image);
  std::map<std::string, int> written;
  std::size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (!e.is_regular_file()) continue;
    ++files;
    const auto it = manifest.find(test::Sha256Of(e.path().string()));
    if (it == manifest.end()) continue;
    const fs::path original(it->second);
    EXPECT_EQ(e.path().filename(), original.filename());
    if (inFolder) {
      EXPECT_EQ(e.path().parent_path().filename(), original.parent_path().filename()) << it->second;
    }
    ++written[it->first];
  }
  EXPECT_EQ(written.size(), expected) << image;
  EXPECT_EQ(files, expected) << image;
  for (const auto& [sha, n] : written) EXPECT_EQ(n, 1) << manifest.at(sha);
  EXPECT_NE(r.err.find("ambrelic-cli: " + std::to_string(expected) + " files restored ("), std::string::npos) << r.err;
}

TEST(CliFolders, AQuickFormattedFatCardComesBackInItsFoldersOnce) { ExpectEachFileOnce("card32", 48, true); }

// Two folders written in turn through exfat-fuse, then rm -r: entry sets
// cross into clusters of their folder that lie apart (the writer shrank
// each folder to one cluster and cleared its chain before deleting it).
// The set cut at the end of each cluster goes on at the start of the
// folder's next one, apart: joined by its checksum and name hash, the
// folder's clusters are found, and all 100 come back in their folders
// (tsk_recover writes them too, half of them loose).
TEST(CliFolders, AnExfatTreeComesBackOnce) { ExpectEachFileOnce("exfat-tree", 100, true); }

// Folders whose cluster ends with a whole set: "Open album" goes on past
// "Closed album"'s data, its 40 photos in their folder. "Left album" and
// "Right album" filled theirs before either grew: their 33rd photos are
// restored, each once, but in no folder.
TEST(CliFolders, AnExfatFolderGoesOnPastOtherFoldersDataOnlyWhenNoOtherCouldHaveGrownThere) {
  ExpectEachFileOnce("exfat-gap", 40 + 10 + 66, false);
  const std::string out = test::MakeTempDir("cli-folders") + "/gap";
  const CliResult r = Cli("restore --all --scan-vacant --to '" + out + "' '" + Image("exfat-gap.img") + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, int> perFolder;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (e.is_regular_file()) ++perFolder[fs::relative(e.path().parent_path(), out).string()];
  }
  EXPECT_EQ(perFolder, (std::map<std::string, int>{
                           {".", 2}, {"Open album", 40}, {"Closed album", 10}, {"Left album", 32}, {"Right album", 32}}));
}

// A quick-formatted exFAT card: the folder's chain is gone, its second
// cluster lies apart (the cluster after its first holds a photo), and one
// photo's entry set goes on there from the end of the first: every photo
// comes back inside 100CANON (tsk_recover writes that photo too, without
// its name).
TEST(CliFolders, AQuickFormattedExfatCardComesBackOnce) { ExpectEachFileOnce("exfat-card", 45, true); }

TEST(CliFolders, QuietAsksNothingAndAnEmptySelectionIsToldInTheCommandLinesWords) {
  const std::string out = test::MakeTempDir("cli-folders") + "/none";
  CliResult r = Cli("restore --quiet --all --to '" + out + "' '" + Image("card32.img") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "No files were found.\nambrelic-cli: nothing to restore: the search listed no files\n");
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace folders
}  // namespace
}  // namespace ambrelic::cli
