#include "ui/main_dialog.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/drives.h"
#include "support/test_support.h"
#include "ui/test_host.h"
#include "ui/volume_preparation.h"

namespace ambrelic::ui {
namespace {

namespace fs = std::filesystem;

const std::string kScanVacant = "question: Do you want to scan vacant clusters?";
const std::string kNoFiles = "message: No files were found.";
const std::string kNotSearchable =
    "message: You can't search this drive because the type is not FAT12/FAT16/FAT32/NTFS/exFAT.";
const std::string kScanAllQuestion =
    "question: Scan all clusters including used clusters.\n(The clusters exclude root directory of FAT12, "
    "FAT16 drive.)\n\nDo you want to continue?";

std::string Image(const std::string& name) { return test::FixtureImage("make_app_images.sh", name); }

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { test::UseUtf8Locale(); }

  MainDialog& Open(std::vector<platform::DriveSource> sources) {
    dialog = std::make_unique<MainDialog>(host, platform::BuildDriveTable(sources).drives);
    dialog->Initialise();
    return *dialog;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> out;
    for (const auto& r : dialog->List().Rows()) out.push_back(r.texts[0]);
    return out;
  }
  TestHost host;
  std::unique_ptr<MainDialog> dialog;
};

TEST_F(MainDialogTest, WildcardIsRefusedBeforeAnyDriveIsTouched) {
  // The only drive is a removable one whose disk is not in: touching it
  // would show the not-accessible box.
  MainDialog& d = Open({{"/no/such/stick.img", false, true}});
  d.SetNameText("*.txt");
  d.OnSearch();
  EXPECT_EQ(host.log, (std::vector<std::string>{
                          "message: You can't use wild card * .\n\nIf you want to search by extension, please "
                          "enter something like . TXT.",
                          "focus: name field"}));
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
  EXPECT_EQ(host.waitCursorDepth, 0);
  EXPECT_EQ(d.List().Columns().size(), 4u) << "the list was not cleared";
}

TEST_F(MainDialogTest, NameIsUpperCasedAsTheEditBoxDoes) {
  MainDialog& d = Open({{Image("empty16.img"), false, false}});
  d.SetNameText("résumé.txt");
  EXPECT_EQ(d.NameText(), "RÉSUMÉ.TXT");
  d.OnSearch();
  EXPECT_EQ(d.Operation().nameFilter, "RÉSUMÉ.TXT");
  EXPECT_EQ(host.log, (std::vector<std::string>{kScanVacant, kNoFiles}));
}

TEST_F(MainDialogTest, NoDriveSelected) {
  MainDialog& d = Open({});
  d.OnSearch();
  EXPECT_EQ(host.log, (std::vector<std::string>{"message: Please select a drive.", "focus: drive combo"}));
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
}

TEST_F(MainDialogTest, NotFatOrNtfs) {
  for (const char* name : {"garbage.img", "blank.img", "cut16.img"}) {
    host.log.clear();
    MainDialog& d = Open({{Image(name), false, false}});
    d.OnSearch();
    EXPECT_EQ(host.log, (std::vector<std::string>{kNotSearchable})) << name;
    EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped) << name;
    EXPECT_EQ(d.List().CounterText(), "0") << name;
  }
}

TEST_F(MainDialogTest, NtfsWithoutAWholeClusterIsNotSearchable) {
  // Total sectors 0, and fewer than one cluster: the last cluster would
  // wrap. The drive list shows no kind either.
  for (std::uint8_t total : {0, 1}) {
    host.log.clear();
    const std::string path = test::MakeTempDir("ntfs-total") + "/ntfs.img";
    fs::copy_file(Image("ntfs.img"), path);
    auto bytes = test::ReadFileBytes(path);
    std::fill_n(bytes.begin() + 0x28, 8, 0);
    bytes[0x28] = total;
    test::WriteFileBytes(path, bytes);
    MainDialog& d = Open({{path, false, false}});
    d.OnSearch();
    EXPECT_EQ(host.log, (std::vector<std::string>{kNotSearchable})) << int(total);
    EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
    EXPECT_EQ(IdentifyDriveKind(d.Drives()[0]), disk::FsKind::None);
  }
}

TEST_F(MainDialogTest, NothingDeletedAsksThenReportsNoFiles) {
  MainDialog& d = Open({{Image("empty16.img"), false, false}});
  d.OnSearch();
  EXPECT_EQ(host.log, (std::vector<std::string>{kScanVacant, kNoFiles}));
  EXPECT_EQ(host.boxes[0].buttons, Buttons::YesNo);
  EXPECT_EQ(host.boxes[0].defaultButton, 1);
  EXPECT_EQ(host.boxes[0].icon, Icon::None);
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  EXPECT_EQ(d.List().CounterText(), "0");
  ASSERT_EQ(d.List().Columns().size(), 5u);
  EXPECT_EQ(d.List().Columns()[4].header, "Cluster");
  EXPECT_TRUE(d.Volume().fatWork.empty()) << "fatWork is freed when the command ends";
  EXPECT_FALSE(d.Volume().fatCopy.empty());
  EXPECT_EQ(d.Operation().ClusterScanActive, 0);
  EXPECT_EQ(host.waitCursorDepth, 0);
  EXPECT_TRUE(d.IsEnabled());
}

TEST_F(MainDialogTest, DeletedFilesAreListedAndCounted) {
  MainDialog& d = Open({{Image("del16.img"), false, false}});
  d.OnSearch();
  ASSERT_EQ(host.log, (std::vector<std::string>{kScanVacant}));
  const auto names = Names();
  EXPECT_GE(names.size(), 30u);
  EXPECT_EQ(d.List().CounterText(), std::to_string(names.size()));
  EXPECT_EQ(d.Operation().FoundCount, static_cast<int>(names.size()));
  EXPECT_NE(std::find(names.begin(), names.end(), "File number 07.txt"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "Gone"), names.end());
  EXPECT_GE(host.progressViews, 1);
  EXPECT_EQ(d.Operation().ActiveProgress, nullptr);
  EXPECT_TRUE(d.IsEnabled());
}

TEST_F(MainDialogTest, CancelledWalkSkipsTheVacantQuestion) {
  MainDialog& d = Open({{Image("del16.img"), false, false}});
  host.cancelAtPump = 3;
  d.OnSearch();
  for (const auto& line : host.log) EXPECT_NE(line, kScanVacant);
  EXPECT_EQ(d.Operation().SearchCancelled, 1);
  if (d.List().RowCount() == 0) {
    EXPECT_EQ(host.log, (std::vector<std::string>{kNoFiles}));
  } else {
    EXPECT_TRUE(host.log.empty());
  }
  EXPECT_LT(d.List().RowCount(), 31);
  // The next search is not hidden by the earlier cancel.
  host.log.clear();
  host.cancelAtPump = 0;
  d.OnSearch();
  EXPECT_EQ(host.log, (std::vector<std::string>{kScanVacant}));
}

TEST_F(MainDialogTest, TwoSearchesInARowStartFromAnEmptyList) {
  MainDialog& d = Open({{Image("del16.img"), false, false}});
  d.OnSearch();
  const int first = d.List().RowCount();
  ASSERT_GT(first, 0);
  EXPECT_EQ(host.noticeShows, 0);
  d.OnSearch();
  EXPECT_EQ(host.noticeShows, 1) << "the rows of the first search were deleted with the notice shown";
  EXPECT_EQ(d.List().RowCount(), first);
  EXPECT_EQ(d.List().CounterText(), std::to_string(first));
}

TEST_F(MainDialogTest, ScanAllNeedsANameAndLeavesTheListAlone) {
  MainDialog& d = Open({{Image("del16.img"), false, false}});
  d.OnSearch();
  const int rows = d.List().RowCount();
  host.log.clear();
  d.SetNameText("");
  d.OnScanAllClusters();
  EXPECT_EQ(host.log, (std::vector<std::string>{
                          "message: Please enter all or part of the file name if you want to scan all clusters.",
                          "focus: name field"}));
  EXPECT_EQ(d.List().RowCount(), rows);
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
}

TEST_F(MainDialogTest, ScanAllAnsweredNoLeavesAnEmptyList) {
  MainDialog& d = Open({{Image("del16.img"), false, false}});
  d.OnSearch();
  ASSERT_GT(d.List().RowCount(), 0);
  host.log.clear();
  d.SetNameText("file");
  d.OnScanAllClusters();
  EXPECT_EQ(host.log, (std::vector<std::string>{kScanAllQuestion}));
  EXPECT_EQ(d.List().RowCount(), 0);
  EXPECT_EQ(d.List().CounterText(), "0");
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  EXPECT_EQ(d.Operation().IncludeUsedClusters, 0);
}

TEST_F(MainDialogTest, ScanAllAnsweredYesScansEveryCluster) {
  MainDialog& d = Open({{Image("del16.img"), false, false}});
  d.SetNameText("file number 0");
  host.answers = {Answer::Yes};
  d.OnScanAllClusters();
  ASSERT_FALSE(host.log.empty());
  EXPECT_EQ(host.log[0], kScanAllQuestion);
  if (d.List().RowCount() == 0) {
    EXPECT_EQ(host.log.back(), kNoFiles);
  } else {
    EXPECT_EQ(host.log.size(), 1u);
    EXPECT_EQ(d.List().CounterText(), std::to_string(d.List().RowCount()));
  }
  EXPECT_EQ(d.Operation().ClusterScanActive, 0);
  EXPECT_EQ(d.Operation().IncludeUsedClusters, 0);
  EXPECT_TRUE(d.Volume().fatWork.empty());
}

TEST_F(MainDialogTest, NtfsDriveDisablesTheFatOnlyControls) {
  MainDialog& d = Open({{Image("ntfs.img"), false, false}, {Image("del16.img"), false, false},
                        {Image("del32.img"), false, true}});
  EXPECT_FALSE(d.ScanAllEnabled());
  EXPECT_FALSE(d.IncludeUsedEnabled());
  EXPECT_EQ(d.Volume().fsKind, disk::FsKind::Ntfs);
  EXPECT_EQ(d.Volume().volumeHandle, nullptr);
  d.OnScanAllClusters();
  EXPECT_TRUE(host.log.empty()) << "the grayed command does not run";
  d.SelectDrive(1);
  d.OnDriveChanged();
  EXPECT_TRUE(d.ScanAllEnabled());
  EXPECT_TRUE(d.IncludeUsedEnabled());
  d.SelectDrive(0);
  d.OnDriveChanged();
  d.SelectDrive(2);  // removable
  d.OnDriveChanged();
  EXPECT_TRUE(d.ScanAllEnabled());
}

TEST_F(MainDialogTest, NtfsSearchUsesTheFileNoColumn) {
  MainDialog& d = Open({{Image("ntfs.img"), false, false}});
  d.OnSearch();
  ASSERT_EQ(d.List().Columns().size(), 5u);
  EXPECT_EQ(d.List().Columns()[4].header, "File No");
  EXPECT_EQ(d.Volume().fsKind, disk::FsKind::Ntfs);
  for (const auto& line : host.log) EXPECT_NE(line, kScanVacant) << "no vacant-cluster question on NTFS";
}

TEST_F(MainDialogTest, RemovableStickIsReadForItsKind) {
  // A removable FAT32 drive other than A:/B: is identified, not taken as FAT16.
  MainDialog& d = Open({{Image("del32.img"), false, true}});
  d.OnSearch();
  EXPECT_EQ(d.Volume().fsKind, disk::FsKind::Fat32);
  EXPECT_EQ(d.Volume().recordedSerial, 0x32323232u);
  EXPECT_EQ(d.Volume().recordedLabel, "STICK32");
  ASSERT_FALSE(host.log.empty());
  EXPECT_EQ(host.log[0], kScanVacant);
  const auto names = Names();
  EXPECT_NE(std::find(names.begin(), names.end(), "Report.txt"), names.end());
}

TEST_F(MainDialogTest, FloppyIsFat12) {
  MainDialog& d = Open({{test::SampleImage("fat12.img"), true, false}});
  d.OnSearch();
  EXPECT_EQ(d.Volume().SearchedRoot, "A:\\");
  EXPECT_EQ(d.Volume().fsKind, disk::FsKind::Fat12);
  EXPECT_EQ(d.Volume().recordedSerial, 0x1A2B3C4Du);
}

TEST_F(MainDialogTest, PartitionOfADiskImageIsSearchedAtItsOffset) {
  MainDialog& d = Open({{Image("parts.img"), false, false}});
  d.SelectDrive(0);
  d.OnSearch();
  EXPECT_EQ(d.Volume().fsKind, disk::FsKind::Fat16);
  EXPECT_EQ(d.Volume().volumeSerial, 0x0A0A0001u);
  EXPECT_EQ(d.Volume().recordedSerial, 0u) << "fixed drives record nothing";
  const auto names = Names();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(d.List().CellText(0, 1), "C:\\");
}

TEST_F(MainDialogTest, MissingRemovableDiskRetriesUntilInserted) {
  const std::string dir = test::MakeTempDir("stick");
  const std::string stick = dir + "/stick.img";
  MainDialog& d = Open({{stick, false, true}});
  host.answers = {Answer::Retry, Answer::Retry};
  int boxes = 0;
  host.onMessage = [&](const MessageRequest&) {
    // The disk goes in at the second box.
    if (++boxes == 2) fs::copy_file(Image("del32.img"), stick);
  };
  d.OnSearch();
  ASSERT_GE(host.log.size(), 3u);
  EXPECT_EQ(host.log[0], "retry(stop): C:\\ is not accessible.\n\nNo medium found");
  EXPECT_EQ(host.log[1], host.log[0]);
  EXPECT_EQ(host.log[2], kScanVacant);
  EXPECT_EQ(host.boxes[0].buttons, Buttons::RetryCancel);
  EXPECT_EQ(host.boxes[0].icon, Icon::Stop);
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
}

TEST_F(MainDialogTest, MissingOrUnformattedRemovableDiskCancelled) {
  MainDialog& d = Open({{"/no/such/stick.img", false, true}, {Image("blank.img"), false, true}});
  d.SelectDrive(0);
  d.OnSearch();
  EXPECT_EQ(host.log, (std::vector<std::string>{"retry(stop): C:\\ is not accessible.\n\nNo medium found"}));
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
  host.log.clear();
  d.SelectDrive(1);
  d.OnSearch();
  EXPECT_EQ(host.log, (std::vector<std::string>{
                          "retry(stop): The disk in selected drive is not formatted or broken.\n\nPlease insert a "
                          "correctly formatted disk."}));
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
}

TEST_F(MainDialogTest, MissingFixedSourceShowsTheSystemText) {
  MainDialog& d = Open({{"/no/such/disk.img", false, false}});
  d.OnSearch();
  EXPECT_EQ(host.log, (std::vector<std::string>{"message: No such file or directory"}));
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
}

TEST_F(MainDialogTest, RestoreCheckFindsADifferentDisk) {
  const std::string dir = test::MakeTempDir("swap");
  const std::string stick = dir + "/stick.img";
  fs::copy_file(Image("del32.img"), stick);
  MainDialog& d = Open({{stick, false, true}});
  d.OnSearch();
  ASSERT_EQ(d.Volume().recordedSerial, 0x32323232u);
  host.log.clear();
  d.Operation().OperationMode = disk::OpRestore;
  EXPECT_TRUE(d.CheckDiskInDrive("C:\\"));
  // Another disk in the drive: same serial, other label.
  d.Volume().recordedLabel = "OTHER";
  EXPECT_FALSE(d.CheckDiskInDrive("C:\\"));
  EXPECT_EQ(host.log, (std::vector<std::string>{
                          "retry(stop): The disk in selected drive is different from searched disk.\n\nI recommend "
                          "you to search files again."}));
}

TEST_F(MainDialogTest, ProgressDialogDisablesTheMainDialogWhileOpen) {
  MainDialog& d = Open({{Image("empty16.img"), false, false}});
  EXPECT_TRUE(d.IsEnabled());
  {
    auto progress = d.OpenProgress();
    EXPECT_FALSE(d.IsEnabled());
    EXPECT_EQ(d.Operation().ActiveProgress, progress.get());
    progress->BeginCount("", 10);
    d.List().AddFifthColumn(disk::FsKind::Fat16);
    d.AddRow({"NAME.TXT", "C:\\", "1", "01/01/2000 00:00", "2", false, {}});
    EXPECT_EQ(static_cast<ProgressDialog*>(progress.get())->FileName(), "NAME.TXT");
  }
  EXPECT_TRUE(d.IsEnabled());
  EXPECT_EQ(d.Operation().ActiveProgress, nullptr);
  EXPECT_EQ(d.List().CounterText(), "1");
}

TEST_F(MainDialogTest, NothingIsWrittenBySearchOrScan) {
  const std::string path = Image("del16.img");
  const std::string before = test::Sha256Of(path);
  MainDialog& d = Open({{path, false, false}});
  host.answers = {Answer::Yes};
  d.OnSearch();
  d.SetNameText("file");
  host.answers = {Answer::Yes};
  d.OnScanAllClusters();
  EXPECT_EQ(test::Sha256Of(path), before);
}

}  // namespace
}  // namespace ambrelic::ui
