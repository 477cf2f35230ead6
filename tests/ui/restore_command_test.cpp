// The restore command through the test host: selection, the Save As loop
// with its same-drive warning and "already exists" refusal, one row, several
// rows, folder rows, FAT and NTFS, and the searched image left unchanged.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/drives.h"
#include "platform/files.h"
#include "support/test_support.h"
#include "ui/main_dialog.h"
#include "ui/restore_paths.h"
#include "ui/test_host.h"

namespace ambrelic::ui {
namespace {

namespace fs = std::filesystem;

const std::string kSelect = "message: Please select a file by clicking on the file name.";
const std::string kSameDrive =
    "question: I recommend you if possible to select a different drive from searched drive so not to overwrite "
    "original data.\n\nDo you want to continue?";
const std::string kExists =
    "message: This file name already exists.\n\nPlease change the file name or folder you want to restore to.";
const std::string kTooLong =
    "message: Restoring path length exceeded maximum path length.\n\nPlease select a folder with shorter path "
    "length.";

std::string FatImage() { return test::FixtureImage("make_restore_images.sh", "restore16.img"); }
std::string FatOriginal(const std::string& path) {
  return fs::path(FatImage()).parent_path().string() + "/originals/restore16/" + path;
}

class RestoreCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { test::UseUtf8Locale(); }

  MainDialog& Search(std::vector<platform::DriveSource> sources) {
    dialog = std::make_unique<MainDialog>(host, platform::BuildDriveTable(sources).drives);
    dialog->Initialise();
    dialog->SetIncludeZeroSize(true);
    dialog->OnSearch();
    host.log.clear();
    return *dialog;
  }
  int Row(const std::string& name) {
    const ResultsList& list = dialog->List();
    for (int r = 0; r < list.RowCount(); ++r) {
      if (list.CellText(r, 0) == name) return r;
    }
    ADD_FAILURE() << "no row " << name;
    return 0;
  }
  void Select(std::initializer_list<std::string> names) {
    dialog->List().SelectAll(false);
    for (const auto& n : names) dialog->List().SetSelected(Row(n), true);
  }
  // Lists a copy of row `from` whose texts all mislead (another name,
  // folder, size and number) and sorts the list by name, so that the copy
  // stands elsewhere; selects the copy alone.
  void SelectMisleadingCopyOf(const std::string& name) {
    ResultsList& list = dialog->List();
    disk::FoundRow copy;
    copy.name = "renamed.bin";
    copy.folder = "Z:\\elsewhere";
    copy.size = "12 KB";
    copy.modified = "01/01/1980 00:00";
    copy.number = "7";
    copy.facts = list.Facts(Row(name));
    dialog->AddRow(copy);
    list.OnColumnClick(0);
    Select({"renamed.bin"});
  }
  TestHost host;
  std::unique_ptr<MainDialog> dialog;
};

// Where a row's data lies comes from its typed facts: a row whose texts
// were changed restores the same bytes, as a file and to standard output.
TEST_F(RestoreCommandTest, ARowWithChangedTextsRestoresFromItsFacts) {
  MainDialog& d = Search({{FatImage(), false, false}});
  SelectMisleadingCopyOf("many clusters.bin");
  const std::string out = test::MakeTempDir("restorecmd") + "/facts.bin";
  host.saveAsAnswers = {out};
  d.OnRestore();
  EXPECT_TRUE(d.LastRestoreComplete());
  EXPECT_EQ(test::Sha256Of(out), test::Sha256Of(FatOriginal("many clusters.bin")));

  const std::string image = test::FixtureImage("make_ntfs_images.sh", "ntfs-c4096.img");
  Search({{image, false, false}});
  SelectMisleadingCopyOf("sparse.bin");
  const std::string ntfsOut = test::MakeTempDir("restorecmd") + "/sparse.bin";
  host.saveAsAnswers = {ntfsOut};
  dialog->OnRestore();
  const std::string expected = test::Sha256Of(ntfsOut);
  Select({"sparse.bin"});
  const std::string direct = test::MakeTempDir("restorecmd") + "/direct.bin";
  host.saveAsAnswers = {direct};
  dialog->OnRestore();
  EXPECT_EQ(expected, test::Sha256Of(direct)) << "the copy restores what the row restores";
}

TEST_F(RestoreCommandTest, NoSelection) {
  MainDialog& d = Search({{FatImage(), false, false}});
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{kSelect}));
  EXPECT_EQ(d.Operation().OperationMode, disk::OpRestore);
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
}

TEST_F(RestoreCommandTest, OneRowToTheChosenFile) {
  const std::string before = test::Sha256Of(FatImage());
  MainDialog& d = Search({{FatImage(), false, false}});
  Select({"many clusters.bin"});
  const std::string out = test::MakeTempDir("restorecmd") + "/chosen.bin";
  host.saveAsAnswers = {out};
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: many clusters.bin"}));
  EXPECT_EQ(host.saveAsTitle, "Save As");
  EXPECT_EQ(host.saveAsFilter, "All Files(*.*)");
  EXPECT_EQ(test::Sha256Of(out), test::Sha256Of(FatOriginal("many clusters.bin")));
  EXPECT_EQ(host.waitCursorDepth, 0);
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  EXPECT_EQ(test::Sha256Of(FatImage()), before) << "the searched image changed";

  // Cancel in Save As ends the command without writing anything.
  host.log.clear();
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: many clusters.bin"}));
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
}

TEST_F(RestoreCommandTest, SeveralRowsIntoANewFolderWithAFolderRow) {
  MainDialog& d = Search({{FatImage(), false, false}});
  Select({"$NE.TXT", "many clusters.bin", "Project Folder"});
  const std::string out = test::MakeTempDir("restorecmd") + "/Restored";
  host.saveAsAnswers = {out};
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: Restored"}));
  EXPECT_EQ(test::Sha256Of(out + "/many clusters.bin"), test::Sha256Of(FatOriginal("many clusters.bin")));
  EXPECT_EQ(test::Sha256Of(out + "/Project Folder/Sub One/Sub Two/data set.bin"),
            test::Sha256Of(FatOriginal("Project Folder/Sub One/Sub Two/data set.bin")));
  EXPECT_TRUE(platform::IsFolder(out + "/Project Folder/Empty Sub"));
  // one.txt has no long name: its row (and file) is the short name $NE.TXT.
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 3);
}

TEST_F(RestoreCommandTest, ExistingTargetIsRefusedAndAskedAgain) {
  MainDialog& d = Search({{FatImage(), false, false}});
  Select({"$NE.TXT", "many clusters.bin"});
  const std::string dir = test::MakeTempDir("restorecmd");
  host.saveAsAnswers = {dir, dir + "/new"};
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: Restored", kExists, "save as: " + dir}));
  EXPECT_TRUE(platform::IsFolder(dir + "/new"));
  EXPECT_TRUE(platform::PathExists(dir + "/new/many clusters.bin"));
}

TEST_F(RestoreCommandTest, SameVolumeWarningAskedAgainAfterNo) {
  MainDialog& d = Search({{FatImage(), false, false}});
  std::vector<std::string> tested;
  d.SetSameVolumeTest([&](const platform::Drive& drive, const std::string& target) {
    EXPECT_EQ(drive.sourcePath, FatImage());
    tested.push_back(target);
    return true;
  });
  Select({"many clusters.bin"});
  const std::string dir = test::MakeTempDir("restorecmd");
  host.saveAsAnswers = {dir + "/a.bin", dir + "/b.bin"};
  host.answers = {Answer::No, Answer::Yes};
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: many clusters.bin", kSameDrive, "save as: " + dir + "/a.bin",
                                                kSameDrive}));
  EXPECT_EQ(host.boxes[0].defaultButton, 1) << "No is the default";
  EXPECT_EQ(tested, (std::vector<std::string>{dir + "/a.bin", dir + "/b.bin"}));
  EXPECT_FALSE(platform::PathExists(dir + "/a.bin"));
  EXPECT_TRUE(platform::PathExists(dir + "/b.bin"));
}

// The free-space check at its limit: a target with exactly as many bytes
// free as the selected rows hold takes them; one byte fewer writes nothing
// and says so. The query is asked where the target would be made.
TEST_F(RestoreCommandTest, FreeSpaceIsEnoughUpToTheLastByte) {
  MainDialog& d = Search({{FatImage(), false, false}});
  Select({"$NE.TXT", "many clusters.bin"});
  const std::uint64_t needed = d.List().Row(Row("$NE.TXT")).facts.size + d.List().Row(Row("many clusters.bin")).facts.size;
  ASSERT_GT(needed, 1000u);
  const std::string dir = test::MakeTempDir("restorecmd");
  std::uint64_t free = needed - 1;
  std::vector<std::string> asked;
  d.SetFreeSpaceQuery([&](const std::string& path) -> std::optional<std::uint64_t> {
    asked.push_back(path);
    return free;
  });
  host.saveAsAnswers = {dir + "/short"};
  d.OnRestore();
  ASSERT_EQ(host.log.size(), 2u);
  EXPECT_NE(host.log[1].find("needs " + std::to_string(needed) + " bytes, " + std::to_string(needed - 1) + " free"),
            std::string::npos)
      << host.log[1];
  EXPECT_FALSE(platform::PathExists(dir + "/short"));
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);

  host.log.clear();
  free = needed;
  host.saveAsAnswers = {dir + "/exact"};
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: Restored"}));
  EXPECT_EQ(test::Sha256Of(dir + "/exact/many clusters.bin"), test::Sha256Of(FatOriginal("many clusters.bin")));
  EXPECT_EQ(asked, (std::vector<std::string>{dir + "/short", dir + "/exact"}));
}

// Folder rows of a hostile volume that list each other in a loop: a
// selection of one of them is still restored (not taken to lie inside the
// other), and counts the files of both once.
TEST_F(RestoreCommandTest, FoldersThatListEachOtherInALoop) {
  MainDialog& d = Search({{test::FixtureImage("make_restore_images.sh", "remade16.img"), false, false}});
  for (const auto& [name, number, parent] : {std::tuple{"Back", 2u, 42u}, std::tuple{"Forth", 42u, 2u}}) {
    disk::FoundRow row{name, "C:\\Photos", "", "01/01/2010 12:00", std::to_string(number), true};
    row.facts.number = number;
    row.facts.parent = parent;
    d.AddRow(row);
  }
  std::uint64_t free = 7999;
  d.SetFreeSpaceQuery([&](const std::string&) { return std::optional<std::uint64_t>(free); });
  Select({"Forth"});
  const std::string dir = test::MakeTempDir("restorecmd");
  host.saveAsAnswers = {dir + "/short", dir + "/forth"};
  d.OnRestore();
  ASSERT_EQ(host.log.size(), 2u);
  EXPECT_NE(host.log[1].find("needs 8000 bytes, 7999 free"), std::string::npos) << host.log[1];
  free = 8000;
  d.OnRestore();
  EXPECT_TRUE(fs::exists(dir + "/forth/Alpha one.jpg"));
}

TEST_F(RestoreCommandTest, ReadsTheSearchedVolumeAfterAnotherDriveWasPicked) {
  const std::string other = test::FixtureImage("make_app_images.sh", "empty16.img");
  MainDialog& d = Search({{FatImage(), false, false}, {other, false, false}});
  Select({"many clusters.bin"});
  d.SelectDrive(1);
  d.OnDriveChanged();
  ASSERT_FALSE(d.Volume().volumeHandle) << "picking a drive closes the volume";
  const std::string out = test::MakeTempDir("restorecmd") + "/x.bin";
  host.saveAsAnswers = {out};
  d.OnRestore();
  EXPECT_EQ(test::Sha256Of(out), test::Sha256Of(FatOriginal("many clusters.bin")));
  EXPECT_EQ(d.Volume().SearchedRoot, "C:\\");
}

TEST_F(RestoreCommandTest, NtfsFileAndFolderRows) {
  const std::string image = test::FixtureImage("make_ntfs_images.sh", "ntfs-c4096.img");
  std::map<std::string, std::string> sha;  // path -> sha256 as written
  std::ifstream manifest(fs::path(image).parent_path().string() + "/ntfs-manifest.txt");
  for (std::string line; std::getline(manifest, line);) {
    std::istringstream f(line);
    std::string img, record, sum, path;
    std::getline(f, img, '\t');
    std::getline(f, record, '\t');
    std::getline(f, sum, '\t');
    std::getline(f, path);
    if (img == "ntfs-c4096.img") sha[path] = sum;
  }
  const std::string before = test::Sha256Of(image);
  MainDialog& d = Search({{image, false, false}});
  // The compressed files lie in a live folder: their rows are files.
  Select({"sparse.bin", "tree", "text.txt", "rand.bin", "mixed.bin", "zeros.bin"});
  const std::string out = test::MakeTempDir("restorecmd") + "/ntfs";
  host.saveAsAnswers = {out};
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: Restored"}));
  EXPECT_EQ(test::Sha256Of(out + "/sparse.bin"), sha.at("sparse.bin"));
  EXPECT_EQ(test::Sha256Of(out + "/tree/a/b/seventy.bin"), sha.at("tree/a/b/seventy.bin"));
  EXPECT_TRUE(platform::IsFolder(out + "/tree/a/b/emptydir"));
  for (const char* f : {"text.txt", "rand.bin", "mixed.bin", "zeros.bin"}) {
    EXPECT_EQ(test::Sha256Of(out + "/" + f), sha.at(std::string("comp/") + f)) << f;
  }
  EXPECT_EQ(test::Sha256Of(image), before) << "the searched image changed";
}

TEST_F(RestoreCommandTest, CancelStopsTheNtfsFileAndTheRowsAfterIt) {
  // The pump answers Cancel (Ctrl-C on the command line) while the first
  // row's file is written: it keeps its first unit, the next row is not
  // restored, and the restore does not count as complete.
  const std::string image = test::FixtureImage("make_ntfs_images.sh", "ntfs-c4096.img");
  MainDialog& d = Search({{image, false, false}});
  Select({"seventy.bin", "sparse.bin"});
  const std::string out = test::MakeTempDir("restorecmd") + "/cancelled";
  host.saveAsAnswers = {out};
  host.cancelAtPump = host.pumps + 2;
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: Restored"}));
  EXPECT_EQ(fs::file_size(out + "/seventy.bin"), 65536u);
  EXPECT_FALSE(fs::exists(out + "/sparse.bin"));
  EXPECT_FALSE(d.LastRestoreComplete());
  // The next restore starts afresh.
  host.saveAsAnswers = {out + "2"};
  d.OnRestore();
  EXPECT_EQ(fs::file_size(out + "2/seventy.bin"), 70000u);
  EXPECT_EQ(fs::file_size(out + "2/sparse.bin"), 3145728u);
  EXPECT_TRUE(d.LastRestoreComplete());
}

TEST_F(RestoreCommandTest, RemovableDiskIsCheckedBeforeTheRestore) {
  const std::string stick = test::MakeTempDir("restorecmd") + "/stick.img";
  fs::copy_file(FatImage(), stick);
  MainDialog& d = Search({{stick, false, true}});
  ASSERT_NE(d.Volume().recordedSerial, 0u);
  Select({"many clusters.bin"});
  // Another disk in the drive: its serial differs.
  fs::copy_file(test::FixtureImage("make_app_images.sh", "empty16.img"), stick,
                fs::copy_options::overwrite_existing);
  d.OnRestore();
  EXPECT_EQ(host.log, (std::vector<std::string>{"retry(stop): The disk in selected drive is different from searched "
                                                "disk.\n\nI recommend you to search files again."}));
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
}

TEST_F(RestoreCommandTest, EnsureFolderLimits) {
  // The target's own limits: names of at most 255 bytes, paths of at most
  // 4095; nothing of the 253 characters a Windows target had.
  MainDialog& d = Search({{FatImage(), false, false}});
  const std::string dir = test::MakeTempDir("restorecmd");
  std::string deep = dir;
  while (deep.size() + 256 < 4095) {
    deep += "/" + std::string(255, 'a');
    EXPECT_EQ(d.EnsureFolder(deep), 1);
  }
  EXPECT_EQ(d.EnsureFolder(deep + "/" + std::string(4095 - deep.size() - 1, 'b')), 1);
  EXPECT_EQ(d.EnsureFolder(deep + "/" + std::string(4095 - deep.size(), 'c')), 0);
  EXPECT_EQ(d.EnsureFolder(dir + "/" + std::string(256, 'd')), 0);
  EXPECT_EQ(d.EnsureFolder(dir + "/missing/parent"), 0);
  EXPECT_EQ(host.log, (std::vector<std::string>{kTooLong, kTooLong}));
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}
const std::string kE = "\xC3\xA9";  // é

std::string NamesImage(const std::string& name) { return test::FixtureImage("make_name_images.sh", name); }

// path -> sha256 of the files as written into the names images.
std::map<std::string, std::string> NamesWritten(const std::string& image) {
  std::map<std::string, std::string> out;
  std::ifstream in(fs::path(NamesImage(image)).parent_path().string() + "/names-manifest.txt");
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string img, sha, path;
    std::getline(f, img, '\t');
    std::getline(f, sha, '\t');
    std::getline(f, path);
    if (img == image) out[path] = sha;
  }
  return out;
}

TEST_F(RestoreCommandTest, LongNamedRowsAreShortenedAndARowAloneKeepsTheTypedName) {
  // 130 "é" (260 bytes), and on NTFS two files of "A", 126 "é" and "1.txt"
  // or "2.txt" and a folder of "L" and 129 "é".
  const std::string e130 = Repeat(kE, 130);
  const std::string a1 = "A" + Repeat(kE, 126) + "1.txt";
  const std::string a2 = "A" + Repeat(kE, 126) + "2.txt";
  const std::string l = "L" + Repeat(kE, 129);
  for (const char* image : {"names16.img", "names-ntfs.img"}) {
    const auto written = NamesWritten(image);
    const bool ntfs = std::string(image) == "names-ntfs.img";
    MainDialog& d = Search({{NamesImage(image), false, false}});
    if (ntfs) {
      Select({e130, a1, a2, l});
    } else {
      Select({e130});
      d.List().SetSelected(Row("$XBLON~1.TXT"), true);
    }
    const std::string out = test::MakeTempDir("restorecmd") + "/Restored";
    host.saveAsAnswers = {out};
    d.OnRestore();
    EXPECT_EQ(host.log, (std::vector<std::string>{"save as: Restored"})) << image;
    EXPECT_TRUE(d.LastRestoreComplete()) << image;
    EXPECT_EQ(test::Sha256Of(out + "/" + Repeat(kE, 119) + "~9EC9DC1D"), written.at(e130)) << image;
    if (ntfs) {
      EXPECT_EQ(test::Sha256Of(out + "/A" + Repeat(kE, 116) + "~D1EACA41.txt"), written.at("Long/" + a1));
      EXPECT_EQ(test::Sha256Of(out + "/A" + Repeat(kE, 116) + "~977B2FBC.txt"), written.at("Long/" + a2));
      EXPECT_EQ(test::Sha256Of(out + "/L" + Repeat(kE, 118) + "~64AF79C3/in long.txt"),
                written.at("Long/" + l + "/in long.txt"));
    }

    // One row alone: the shortened name is offered; the name the user
    // types is the name written.
    Select({e130});
    host.log.clear();
    const std::string typed = test::MakeTempDir("restorecmd") + "/" + Repeat(kE, 100) + ".bin";
    host.saveAsAnswers = {typed};
    d.OnRestore();
    EXPECT_EQ(host.log, (std::vector<std::string>{"save as: " + Repeat(kE, 119) + "~9EC9DC1D"})) << image;
    EXPECT_EQ(test::Sha256Of(typed), written.at(e130)) << image;
  }
}

TEST(ParseUInt64Text, LowAndHighParts) {
  EXPECT_EQ(ParseUInt64Text("1234"), 1234u);
  EXPECT_EQ(ParseUInt64Text("      64"), 64u);
  EXPECT_EQ(ParseUInt64Text(""), 0u);
  EXPECT_EQ(ParseUInt64Text("4294967295"), 4294967295u);
  EXPECT_EQ(ParseUInt64Text("9999999999"), 4294967295u);  // a part beyond 32 bits
  EXPECT_EQ(ParseUInt64Text("120000000005"), 12u * 10000000000u + 5u);
  EXPECT_EQ(ParseUInt64Text("12x"), 12u);
}

TEST(TargetOnSearchedVolume, ImagesNeverAndTheMountedDeviceAlways) {
  platform::Drive image;
  image.sourcePath = FatImage();
  EXPECT_FALSE(TargetOnSearchedVolume(image, test::MakeTempDir("restorecmd") + "/x"));
  // The block device the build tree is mounted from, when there is one.
  struct stat st {};
  ASSERT_EQ(::stat(FatImage().c_str(), &st), 0);
  const std::string link = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  std::error_code ec;
  const fs::path sys = fs::canonical(link, ec);
  if (ec || !fs::exists("/dev/" + sys.filename().string())) GTEST_SKIP() << "no block device under the build tree";
  platform::Drive device;
  device.sourcePath = "/dev/" + sys.filename().string();
  EXPECT_TRUE(TargetOnSearchedVolume(device, FatImage() + ".restored"));
  EXPECT_TRUE(TargetOnSearchedVolume(device, test::MakeTempDir("restorecmd") + "/not/yet/there"));
}

}  // namespace
}  // namespace ambrelic::ui
