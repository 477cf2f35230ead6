// exFAT drives through the application: the drive table (whole volumes, MBR
// and GPT partitions), the drive-change preview, the search with its
// vacant-cluster question, the scan of all clusters, the restore command and
// the delete-completely command, with the FAT commands' texts.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/drives.h"
#include "disk/byte_reader.h"
#include "exfat/volume_state.h"
#include "platform/volume_info.h"
#include "support/test_support.h"
#include "ui/delete_command.h"
#include "ui/main_dialog.h"
#include "ui/test_host.h"
#include "ui/volume_preparation.h"

namespace ambrelic::ui {
namespace {

namespace fs = std::filesystem;

std::string Image(const std::string& name) { return test::FixtureImage("make_exfat_images.sh", name); }

std::map<std::string, std::string> Manifest(const std::string& image) {
  std::map<std::string, std::string> out;
  std::ifstream in(fs::path(Image(image)).parent_path().string() + "/exfat-manifest.txt");
  std::string img, path, size, sum;
  while (std::getline(in, img, '\t') && std::getline(in, path, '\t') && std::getline(in, size, '\t') &&
         std::getline(in, sum)) {
    if (img == image) out[path] = sum;
  }
  return out;
}

TEST(ExfatDrives, WholeVolumesAndPartitionsOfEitherTableAreExfat) {
  const platform::DriveTable t = platform::BuildDriveTable(
      {{Image("exfat-c4096.img"), false, false}, {Image("exfat-mbr.img"), false, false},
       {Image("exfat-gpt.img"), false, false}});
  ASSERT_EQ(t.drives.size(), 4u);
  // A volume without a table: its boot sector implies NTFS's type byte.
  EXPECT_EQ(t.drives[0].partitionType, 0x07);
  EXPECT_FALSE(t.drives[0].fromTable);
  EXPECT_EQ(t.drives[0].displayName, "AMB4096 (C:)");
  // The MBR's 0x07 is NTFS's and exFAT's: the boot sector tells.
  EXPECT_EQ(t.drives[1].displayName, "PARTFAT (D:)");
  EXPECT_EQ(t.drives[2].partitionType, 0x07);
  EXPECT_TRUE(t.drives[2].fromTable);
  EXPECT_EQ(t.drives[2].displayName, "AMB4096 (E:)");
  EXPECT_EQ(t.drives[3].displayName, "AMB4096 (F:)");
  EXPECT_EQ(IdentifyDriveKind(t.drives[0]), disk::FsKind::Exfat);
  EXPECT_EQ(IdentifyDriveKind(t.drives[1]), disk::FsKind::Fat12);
  EXPECT_EQ(IdentifyDriveKind(t.drives[2]), disk::FsKind::Exfat);
  EXPECT_EQ(IdentifyDriveKind(t.drives[3]), disk::FsKind::Exfat);
  EXPECT_STREQ(disk::FsKindName(disk::FsKind::Exfat), "exFAT");

  // What a removable drive's disk check reads.
  const platform::VolumeQuery q = platform::QueryVolumeInformation(t.drives[2].sourcePath, t.drives[2].offset,
                                                                   t.drives[2].length);
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.info.fileSystem, "exFAT");
  EXPECT_EQ(q.info.label, "AMB4096");
  const auto bytes = test::ReadFileBytes(Image("exfat-c4096.img"));
  EXPECT_EQ(q.info.serial, disk::le32(bytes, 0x64));
}

class ExfatCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseUtf8Locale();
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
  }
  MainDialog& Open(const std::string& image, bool removable = false) {
    dialog = std::make_unique<MainDialog>(host, platform::BuildDriveTable({{image, false, removable}}).drives);
    dialog->Initialise();
    return *dialog;
  }
  int Row(const std::string& folder, const std::string& name) {
    const ResultsList& list = dialog->List();
    for (int r = 0; r < list.RowCount(); ++r) {
      if (list.CellText(r, 0) == name && list.CellText(r, 1) == folder) return r;
    }
    ADD_FAILURE() << "no row " << folder << " " << name;
    return 0;
  }
  TestHost host;
  std::unique_ptr<MainDialog> dialog;
};

TEST_F(ExfatCommands, TheFatOnlyControlsStayEnabledAndTheSearchAsksForTheVacantClusters) {
  MainDialog& d = Open(Image("exfat-c4096.img"));
  EXPECT_TRUE(d.IncludeUsedEnabled());
  EXPECT_TRUE(d.ScanAllEnabled());
  d.SetIncludeZeroSize(true);
  host.answers = {Answer::Yes};
  d.OnSearch();
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  ASSERT_FALSE(host.log.empty());
  EXPECT_EQ(host.log[0], "question: Do you want to scan vacant clusters?");
  ASSERT_EQ(d.List().Columns().size(), 5u);
  EXPECT_EQ(d.List().Columns()[4].header, "Cluster");
  const int lost = Row("C:\\<unknown>\\inner", "lost.bin");
  EXPECT_EQ(d.List().CellText(lost, 2), "3000");
  EXPECT_EQ(d.List().CellText(Row("C:\\", "empty.txt"), 2), "0");
  EXPECT_TRUE(exfat::VolumeOf(d.Volume()).walked.empty()) << "the walk's marks are freed when the command ends";
  EXPECT_EQ(d.List().Facts(lost).dataLength, 3000u) << "kept for the restore";
}

TEST_F(ExfatCommands, ScanOfAllClustersListsEveryMatchingSet) {
  MainDialog& d = Open(Image("exfat-c4096.img"));
  // A deleted folder met on the way is walked: its files keep their path
  // below it.
  d.SetNameText("seventy");
  host.answers = {Answer::Yes};
  d.OnScanAllClusters();
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  EXPECT_EQ(d.List().RowCount(), 1);
  Row("C:\\<unknown>\\tree\\a\\b", "seventy.bin");
  EXPECT_EQ(d.Operation().ClusterScanActive, 0);
  EXPECT_EQ(d.Operation().IncludeUsedClusters, 0);
  // Read as directories, every cluster gives its sets, live ones too: with
  // include used, those whose first cluster is in use are listed.
  d.SetNameText("keep");
  d.SetIncludeUsedClusters(true);
  host.answers = {Answer::Yes};
  d.OnScanAllClusters();
  Row("C:\\<unknown>", "keep.txt");
  Row("C:\\<unknown>", "keepme.txt");
}

TEST_F(ExfatCommands, RestoreOfFileAndFolderRows) {
  const std::string image = Image("exfat-c512.img");
  const auto manifest = Manifest("exfat-c512.img");
  MainDialog& d = Open(image);
  host.answers = {Answer::Yes};
  d.OnSearch();
  host.log.clear();
  d.List().SetSelected(Row("C:\\", "frag.bin"), true);
  d.List().SetSelected(Row("C:\\", "tree"), true);
  d.List().SetSelected(Row("C:\\<unknown>\\inner", "lost.bin"), true);
  const std::string target = test::MakeTempDir("exfat-restore-command") + "/Restored";
  host.saveAsAnswers = {target};
  d.OnRestore();
  EXPECT_TRUE(d.LastRestoreComplete());
  EXPECT_EQ(host.log, (std::vector<std::string>{"save as: Restored"}));
  EXPECT_EQ(test::Sha256Of(target + "/frag.bin"), manifest.at("frag.bin"));
  EXPECT_EQ(test::Sha256Of(target + "/tree/a/b/c/deep.txt"), manifest.at("tree/a/b/c/deep.txt"));
  EXPECT_EQ(test::Sha256Of(target + "/tree/a/b/seventy.bin"), manifest.at("tree/a/b/seventy.bin"));
  EXPECT_EQ(test::Sha256Of(target + "/lost.bin"), manifest.at("gone folder name/inner/lost.bin"));
}

// A row's data is found from its typed facts (first cluster, lengths,
// NoFatChain), not from its texts: a copy with other texts, in a sorted
// list, restores the same bytes, whole and as the row's bytes.
TEST_F(ExfatCommands, ARowWithChangedTextsRestoresFromItsFacts) {
  MainDialog& d = Open(Image("exfat-c512.img"));
  const auto manifest = Manifest("exfat-c512.img");
  host.answers = {Answer::Yes};
  d.OnSearch();
  disk::FoundRow copy;
  copy.name = "renamed.bin";
  copy.folder = "Z:\\elsewhere";
  copy.size = "";
  copy.modified = "01/01/1980 00:00";
  copy.number = "7";
  copy.facts = d.List().Facts(Row("C:\\<unknown>\\inner", "lost.bin"));
  d.AddRow(copy);
  d.List().OnColumnClick(0);
  d.List().SelectAll(false);
  const int renamed = Row("Z:\\elsewhere", "renamed.bin");
  d.List().SetSelected(renamed, true);
  const std::string target = test::MakeTempDir("exfat-facts") + "/lost.bin";
  host.saveAsAnswers = {target};
  d.OnRestore();
  EXPECT_TRUE(d.LastRestoreComplete());
  EXPECT_EQ(test::Sha256Of(target), manifest.at("gone folder name/inner/lost.bin"));
  const std::string bytes = test::MakeTempDir("exfat-facts") + "/bytes";
  const int fd = ::open(bytes.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const MainDialog::RowBytes read = d.ReadRowBytes(renamed, fd, 1u << 20, d);
  ::close(fd);
  EXPECT_TRUE(read.whole);
  EXPECT_EQ(test::Sha256Of(bytes), manifest.at("gone folder name/inner/lost.bin"));
}

TEST_F(ExfatCommands, DeleteCompletelyAsksTwiceThenWipes) {
  const std::string copy = test::MakeTempDir("exfat-delete") + "/w.img";
  fs::copy_file(Image("exfat-c4096.img"), copy);
  MainDialog& d = Open(copy);
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  d.OnDeleteCompletely();
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  EXPECT_EQ(d.LastWipeFailures(), 0u);
  ASSERT_EQ(host.log.size(), 3u);
  EXPECT_EQ(host.log[0], "question(stop): " + DeleteCompletelyFirstQuestion("C:\\"));
  EXPECT_EQ(host.log[1], "question(stop): " + DeleteCompletelySecondQuestion("C:\\"));
  EXPECT_EQ(host.log[2],
            "question: Vacant clusters on C:\\ drive have been replaced.\n\nDo you want replace file information, too?");
  int status = -1;
  test::RunCommand("fsck.exfat -n '" + copy + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test::RunCommand("fls -rd '" + copy + "'"), "");

  // A search afterwards finds nothing.
  host.log.clear();
  host.answers = {Answer::Yes};
  d.OnSearch();
  EXPECT_EQ(host.log.back(), "message: No files were found.");
}

// As on FAT and NTFS, a volume the wipe would refuse is refused before the
// user is asked anything.
TEST_F(ExfatCommands, AVolumeTheWipeRefusesIsRefusedBeforeAnyQuestion) {
  const std::string copy = test::MakeTempDir("exfat-delete") + "/dirty.img";
  fs::copy_file(Image("exfat-c4096.img"), copy);
  test::RunCommand("printf '\\002' | dd of='" + copy + "' bs=1 seek=106 conv=notrunc status=none");
  const std::string before = test::Sha256Of(copy);
  MainDialog& d = Open(copy);
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  d.OnDeleteCompletely();
  EXPECT_NE(d.LastOutcome(), CommandOutcome::Ran);
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_EQ(host.log[0].rfind("message: ", 0), 0u) << host.log[0];
  EXPECT_NE(host.log[0].find("it was not unmounted cleanly"), std::string::npos) << host.log[0];
  EXPECT_EQ(test::Sha256Of(copy), before);
}

TEST_F(ExfatCommands, ARemovableExfatDiskIsCheckedLikeAFatOne) {
  MainDialog& d = Open(Image("exfat-c4096.img"), true);
  d.OnSearch();
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  EXPECT_NE(d.Volume().recordedSerial, 0u);
  EXPECT_EQ(d.Volume().recordedLabel, "AMB4096");
  EXPECT_GT(d.List().RowCount(), 10);
}

}  // namespace
}  // namespace ambrelic::ui
