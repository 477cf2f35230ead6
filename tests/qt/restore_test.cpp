// A restore from the window: rows selected in the view, the target chosen
// in Save As (answered through the test seam), the files compared with what
// The Sleuth Kit recovers from the same image.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <filesystem>
#include <sstream>

#include <unistd.h>

#include "platform/files.h"
#include "qt_test_support.h"
#include "support/test_support.h"

namespace ambrelic::ui::qt {
namespace {

namespace fs = std::filesystem;

// Inode of a deleted file as fls -rd names it.
std::string InodeOf(const std::string& image, const std::string& path) {
  std::istringstream lines(test::RunCommand("fls -rdp '" + image + "'"));
  std::string line;
  while (std::getline(lines, line)) {
    const auto colon = line.find(":\t");
    if (colon == std::string::npos || line.substr(colon + 2) != path) continue;
    const auto star = line.find("* ");
    if (star == std::string::npos) continue;
    return line.substr(star + 2, colon - star - 2);
  }
  return std::string();
}

int RowNamed(const ResultsList& list, const std::string& name) {
  for (int r = 0; r < list.RowCount(); ++r) {
    if (list.CellText(r, 0) == name) return r;
  }
  return -1;
}

TEST(RestoreFromWindowTest, OneRowToTheChosenFileAndSeveralIntoANewFolder) {
  test::EnsureApplication();
  const std::string image = test::SampleImage("fat16.img");
  test::ScriptedWindow w({platform::DriveSource{image, false, false}});
  ASSERT_TRUE(w->RestoreButton()->isEnabled());
  w.answers = {Answer::No};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  const ResultsList& list = w->Dialog().List();

  // Nothing selected: the command says so.
  w.boxes.clear();
  QTest::mouseClick(w->RestoreButton(), Qt::LeftButton);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text, "Please select a file by clicking on the file name.");

  const std::string out = test::MakeTempDir("qt-restore");
  const int budget = RowNamed(list, "Budget forecast.xlsx");
  ASSERT_GE(budget, 0);
  w->ResultsView()->selectRow(budget);
  std::vector<SaveAsRequest> asked;
  w->Host().SetSaveAsAnswerer([&](const SaveAsRequest& r) -> std::optional<std::string> {
    asked.push_back(r);
    return out + "/budget.xlsx";
  });
  w.boxes.clear();
  QTest::mouseClick(w->RestoreButton(), Qt::LeftButton);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].title, "Save As");
  EXPECT_EQ(asked[0].filter, "All Files(*.*)");
  EXPECT_EQ(asked[0].prefilledName, "Budget forecast.xlsx");
  EXPECT_TRUE(w.boxes.empty()) << w.boxes[0].text;
  ASSERT_TRUE(fs::exists(out + "/budget.xlsx"));
  const std::string inode = InodeOf(image, "Documents/Budget forecast.xlsx");
  ASSERT_FALSE(inode.empty());
  test::RunCommand("icat '" + image + "' " + inode + " > '" + out + "/budget.oracle'");
  EXPECT_EQ(test::Sha256Of(out + "/budget.xlsx"), test::Sha256Of(out + "/budget.oracle"));

  // The same name again: refused, and the dialog comes back; a cancel ends.
  int rounds = 0;
  w->Host().SetSaveAsAnswerer([&](const SaveAsRequest&) -> std::optional<std::string> {
    if (++rounds == 1) return out + "/budget.xlsx";
    return std::nullopt;
  });
  w.boxes.clear();
  QTest::mouseClick(w->RestoreButton(), Qt::LeftButton);
  EXPECT_EQ(rounds, 2);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text,
            "This file name already exists.\n\nPlease change the file name or folder you want to restore to.");

  // Two rows: "Restored" is offered and becomes a folder holding both.
  const int longName = RowNamed(list, "A very long file name that needs many long name entries to be stored in full.txt");
  ASSERT_GE(longName, 0);
  w->ResultsView()->clearSelection();
  w->ResultsView()->selectionModel()->select(
      w->ResultsView()->model()->index(budget, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  w->ResultsView()->selectionModel()->select(
      w->ResultsView()->model()->index(longName, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  ASSERT_EQ(list.SelectedCount(), 2);
  asked.clear();
  w->Host().SetSaveAsAnswerer([&](const SaveAsRequest& r) -> std::optional<std::string> {
    asked.push_back(r);
    return out + "/Restored";
  });
  QTest::mouseClick(w->RestoreButton(), Qt::LeftButton);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].prefilledName, "Restored");
  EXPECT_TRUE(fs::is_directory(out + "/Restored"));
  EXPECT_EQ(test::Sha256Of(out + "/Restored/Budget forecast.xlsx"), test::Sha256Of(out + "/budget.oracle"));
  EXPECT_TRUE(fs::exists(out + "/Restored/A very long file name that needs many long name entries to be stored in full.txt"));
}

// A folder row restored from the window into an ntfs-3g mount of the very
// image searched: the same-drive warning is asked first; its default No
// writes nothing, Yes restores the folder with its contents.
TEST(RestoreFromWindowTest, AFolderOntoAFuseMountOfTheSearchedImageAsksFirst) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for FUSE";
  test::EnsureApplication();
  const std::string image = test::MakeTempDir("qt-restore-fuse") + "/volume.img";
  fs::copy_file(test::FixtureImage("make_name_images.sh", "names-ntfs.img"), image);
  const std::string mountPoint = test::MakeTempDir("qt-restore-fuse");
  int status = -1;
  test::RunCommand("ntfs-3g '" + image + "' '" + mountPoint + "' 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "ntfs-3g cannot mount here";
  // Unmounted however the test ends.
  struct Unmount {
    std::string at;
    ~Unmount() { test::RunCommand("umount '" + at + "'"); }
  } unmount{mountPoint};
  const std::string warning =
      "I recommend you if possible to select a different drive from searched drive so not to overwrite original "
      "data.\n\nDo you want to continue?";
  std::vector<std::string> asked;
  test::ScriptedWindow w({platform::DriveSource{image, false, false}});
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  const int clash = RowNamed(w->Dialog().List(), "Clash");
  ASSERT_GE(clash, 0);
  w->ResultsView()->selectRow(clash);
  w->Host().SetSaveAsAnswerer([&](const SaveAsRequest& r) -> std::optional<std::string> {
    asked.push_back(r.prefilledName);
    if (asked.size() > 1) return std::nullopt;
    return mountPoint + "/out";
  });
  w.boxes.clear();
  w.answers = {Answer::No};
  QTest::mouseClick(w->RestoreButton(), Qt::LeftButton);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text, warning);
  EXPECT_EQ(w.boxes[0].defaultButton, 1) << "No is the default";
  EXPECT_EQ(asked, (std::vector<std::string>{"Clash", mountPoint + "/out"})) << "No: Save As again";
  EXPECT_FALSE(platform::PathExists(mountPoint + "/out"));
  asked.clear();
  w.boxes.clear();
  w.answers = {Answer::Yes};
  QTest::mouseClick(w->RestoreButton(), Qt::LeftButton);
  EXPECT_EQ(w.boxes.size(), 1u);
  EXPECT_TRUE(platform::IsFolder(mountPoint + "/out/Report 2020 (2)/deeper"));
}

// The window tells of sectors it could not read with the command line's
// words: a search, then a restore of a file that lost a page, over an image
// served with that page failing (nbdkit behind nbdfuse).
TEST(RestoreFromWindowTest, UnreadableSectorsAreToldInMessageBoxes) {
  test::EnsureApplication();
  const std::string image = test::FixtureImage("make_media_images.sh", "media16.img");
  // The search of the plain image gives the file's first cluster.
  std::uint64_t page = 0;
  {
    test::ScriptedWindow plain({platform::DriveSource{image, false, false}});
    plain.answers = {Answer::No};
    QTest::mouseClick(plain->SearchButton(), Qt::LeftButton);
    const ResultsList& list = plain->Dialog().List();
    const int row = RowNamed(list, "many clusters.bin");
    ASSERT_GE(row, 0);
    const disk::VolumeContext& ctx = plain->Dialog().Volume();
    const std::uint64_t first = std::stoull(list.CellText(row, 4));
    const std::uint64_t start = (ctx.dataStartSector + (first - 2) * ctx.sectorsPerCluster) * 512ull;
    page = (start + 20000) / 4096 * 4096;
  }
  test::EioImage served(image, {{page, 4096}});
  ASSERT_TRUE(served.ok());
  test::ScriptedWindow w({platform::DriveSource{served.path(), false, false}});
  w.answers = {Answer::No};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  ASSERT_EQ(w.boxes.size(), 1u) << "the vacant-cluster question only: the search read every sector";
  const ResultsList& list = w->Dialog().List();
  const int row = RowNamed(list, "many clusters.bin");
  ASSERT_GE(row, 0);
  w->ResultsView()->selectRow(row);
  const std::string out = test::MakeTempDir("qt-media") + "/many.bin";
  w->Host().SetSaveAsAnswerer([&](const SaveAsRequest&) -> std::optional<std::string> { return out; });
  w.boxes.clear();
  QTest::mouseClick(w->RestoreButton(), Qt::LeftButton);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text,
            "8 sectors of C:\\ could not be read; what they held is missing from the restored files.\n\n" + out);
  EXPECT_EQ(w.boxes[0].buttons, Buttons::Ok);
  EXPECT_EQ(fs::file_size(out), 60000u);
}

}  // namespace
}  // namespace ambrelic::ui::qt
