// Beyond the designed dialog, on an image whose deleted files are a photo,
// a WebP picture, two texts in two encodings, a program and a folder: the
// preview pane (closed until opened, a picture, text, hex, nothing written
// anywhere), the saved list parsed back in each format, the Condition
// column (off by default) and the Name column's share of a wider window.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QImageReader>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <filesystem>
#include <sstream>

#include "platform/text.h"
#include "qt_test_support.h"
#include "support/test_support.h"
#include "ui/list_writers.h"
#include "ui/qt/main_window.h"
#include "ui/qt/preview_pane.h"
#include "ui/qt/results_model.h"

namespace ambrelic::ui::qt {
namespace {

namespace fs = std::filesystem;

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image = test::FixtureImage("make_preview_images.sh", "preview.img");
    files = fs::path(image).parent_path().string() + "/preview-files";
    before = test::Sha256Of(image);
  }

  // A window with the image searched (no vacant-cluster scan).
  std::unique_ptr<test::ScriptedWindow> Searched() {
    auto w = std::make_unique<test::ScriptedWindow>(std::vector<platform::DriveSource>{{image, false, false}});
    (*w)->Host().SetMessageAnswerer([](const MessageRequest& m) { return DefaultAnswer(m); });
    QTest::mouseClick((*w)->SearchButton(), Qt::LeftButton);
    return w;
  }

  int RowOf(MainWindow& w, const std::string& name) {
    const ResultsList& list = w.Dialog().List();
    for (int r = 0; r < list.RowCount(); ++r) {
      // Short names lose their first letter when deleted ("$HOTO.JPG").
      if (platform::UpperCase(list.CellText(r, 0).substr(1)) == platform::UpperCase(name.substr(1))) return r;
    }
    ADD_FAILURE() << name << " not listed";
    return -1;
  }

  void Select(MainWindow& w, int row) {
    w.ResultsView()->setCurrentIndex(w.ResultsView()->model()->index(row, 0));
    w.UpdatePreview();
  }

  std::string image, files, before;
};

TEST_F(PreviewTest, ThePaneShowsPicturesTextsAndHexOfTheSelectedRow) {
  auto scripted = Searched();
  MainWindow& w = **scripted;
  ASSERT_EQ(w.Dialog().List().RowCount(), 7);
  PreviewPane* pane = w.Preview();
  EXPECT_FALSE(pane->isVisible()) << "closed by default";
  EXPECT_FALSE(w.PreviewAction()->isChecked());
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w, 2000));
  w.ResultsView()->setFocus();
  QTest::keyClick(w.ResultsView(), Qt::Key_F3);
  EXPECT_TRUE(pane->isVisible()) << "F3 opens it";
  EXPECT_TRUE(w.PreviewAction()->isChecked());

  Select(w, RowOf(w, "photo.jpg"));
  EXPECT_EQ(pane->WhatIsShown(), PreviewPane::Shown::Picture);
  EXPECT_EQ(pane->PictureSize(), QSize(640, 480)) << "the whole JPEG, read past the text preview's 64 KiB";
  // The photo decodes to its end: its condition says so.
  EXPECT_TRUE(pane->HeaderText().contains(QStringLiteral("intact, verified"))) << pane->HeaderText().toStdString();
  EXPECT_TRUE(pane->HeaderText().contains(QStringLiteral("JPEG image")));
  EXPECT_TRUE(pane->HeaderText().contains(QStringLiteral("138,060 bytes")) ||
              pane->HeaderText().contains(QStringLiteral("138060 bytes")) ||
              pane->HeaderText().contains(QString::fromUtf8("138\u202f060 bytes")) ||
              pane->HeaderText().contains(QString::fromUtf8("138\u00a0060 bytes")))
      << pane->HeaderText().toStdString();

  if (fs::exists(files + "/picture.webp") && QImageReader::supportedImageFormats().contains("webp")) {
    Select(w, RowOf(w, "picture.webp"));
    EXPECT_EQ(pane->WhatIsShown(), PreviewPane::Shown::Picture);
    EXPECT_EQ(pane->PictureSize(), QSize(40, 30));
  }

  Select(w, RowOf(w, "notes.txt"));
  EXPECT_EQ(pane->WhatIsShown(), PreviewPane::Shown::Text);
  const auto notes = test::ReadFileBytes(files + "/notes.txt");
  EXPECT_EQ(pane->BodyText().toStdString(), std::string(notes.begin(), notes.end()));
  EXPECT_TRUE(pane->HeaderText().contains(QStringLiteral("text (UTF-8)")));

  Select(w, RowOf(w, "ancien.txt"));
  EXPECT_EQ(pane->WhatIsShown(), PreviewPane::Shown::Text);
  EXPECT_EQ(pane->BodyText().remove(QLatin1Char('\r')),
            QString::fromUtf8("Relevé de comptes\nSolde créditeur : 1 234,56 €\n"));
  EXPECT_TRUE(pane->HeaderText().contains(QStringLiteral("Windows-1252")));

  Select(w, RowOf(w, "program.bin"));
  EXPECT_EQ(pane->WhatIsShown(), PreviewPane::Shown::Hex);
  EXPECT_TRUE(pane->HeaderText().contains(QStringLiteral("ELF executable")));
  EXPECT_TRUE(pane->BodyText().startsWith(QStringLiteral("00000000  7f 45 4c 46"))) << pane->BodyText().toStdString();
  EXPECT_EQ(pane->BodyText().count(QLatin1Char('\n')), 4096 / 16) << "the first 4 KiB of 6000 bytes";

  Select(w, RowOf(w, "album"));
  EXPECT_EQ(pane->WhatIsShown(), PreviewPane::Shown::Nothing);

  // Moving the selection with the keyboard updates the pane.
  Select(w, 1);
  w.ResultsView()->setFocus();
  QTest::keyClick(w.ResultsView(), Qt::Key_Up);
  EXPECT_TRUE(QTest::qWaitFor([&] { return pane->HeaderText().startsWith(
                                           QString::fromStdString(w.Dialog().List().CellText(0, 0))); },
                              2000));

  w.PreviewAction()->trigger();
  EXPECT_FALSE(pane->isVisible());
  // Nothing was written to the image, and no file was made.
  EXPECT_EQ(test::Sha256Of(image), before);
  EXPECT_TRUE(w.Host().Messages().empty() || w.Host().Messages().size() == 1);
}

// Saving the list: the same writers as the command line, the format by the
// name's extension, each parsed back by an independent reader.
TEST_F(PreviewTest, TheListIsSavedAsCsvJsonAndBodyfile) {
  auto scripted = Searched();
  MainWindow& w = **scripted;
  const ResultsList& list = w.Dialog().List();
  ASSERT_EQ(list.RowCount(), 7);
  const std::string dir = test::MakeTempDir("qt-save-list");
  std::string chosen;
  w.Host().SetSaveAsAnswerer([&](const SaveAsRequest& r) -> std::optional<std::string> {
    EXPECT_EQ(r.title, "Enregistrer la liste");
    return chosen;
  });
  for (const std::string name : {"list.csv", "list.json", "list.body", "plain"}) {
    chosen = dir + "/" + name;
    w.SaveListAction()->trigger();
  }
  EXPECT_TRUE(fs::exists(dir + "/plain.csv")) << "a name without extension is a CSV file";
  const std::string csv = test::RunCommand(
      "python3 -c 'import csv,sys; rows=list(csv.reader(open(sys.argv[1], newline=\"\"))); "
      "print(len(rows)-1, rows[0], sorted(r[0] for r in rows[1:])[-1])' '" + dir + "/list.csv'");
  EXPECT_EQ(csv, "7 ['Name', 'In Folder', 'Size', 'Modified', 'Cluster'] picture.webp\n");
  const std::string json = test::RunCommand(
      "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
      "print(len(d), sum(r[\"is_folder\"] for r in d), sorted(r[\"condition\"] for r in d)[0])' '" + dir +
      "/list.json'");
  EXPECT_EQ(json, "7 1 intact\n");
  const std::string body = test::RunCommand("mactime -b '" + dir + "/list.body' -d 2>/dev/null | tail -n +2 | wc -l");
  EXPECT_NE(body, "0\n") << "mactime reads the body file";
  std::ostringstream expected;
  WriteCsv(list, expected);
  const auto written = test::ReadFileBytes(dir + "/list.csv");
  EXPECT_EQ(std::string(written.begin(), written.end()), expected.str()) << "the command line's own writer";

  // The Condition column, shown, is saved too.
  w.ConditionColumnAction()->trigger();
  chosen = dir + "/with-condition.csv";
  w.SaveListAction()->trigger();
  const auto withCondition = test::ReadFileBytes(chosen);
  EXPECT_EQ(std::string(withCondition.begin(), withCondition.end()).substr(0, 48),
            "Name,In Folder,Size,Modified,Cluster,Condition\n" + std::string(1, list.CellText(0, 0)[0]));
}

TEST_F(PreviewTest, TheConditionColumnIsOffByDefaultAndShowsEachRowsCondition) {
  auto scripted = Searched();
  MainWindow& w = **scripted;
  QAbstractItemModel* m = w.ResultsView()->model();
  ASSERT_EQ(m->columnCount(), 5);
  EXPECT_FALSE(w.ConditionColumnAction()->isChecked());
  w.ConditionColumnAction()->trigger();
  ASSERT_EQ(m->columnCount(), 6);
  EXPECT_EQ(m->headerData(5, Qt::Horizontal).toString(), "Condition");
  const ResultsList& list = w.Dialog().List();
  for (int r = 0; r < list.RowCount(); ++r) {
    EXPECT_EQ(m->index(r, 5).data().toString().toStdString(), ConditionCell(list.Facts(r).condition));
    EXPECT_FALSE(m->index(r, 5).data(Qt::DecorationRole).isNull());
  }
  EXPECT_EQ(m->index(0, 5).data().toString(), "intact 100%");
  EXPECT_GE(w.ResultsView()->columnWidth(5), QFontMetrics(w.ResultsView()->font()).horizontalAdvance("overwritten 100%"));
  // A header click there sorts nothing; the list's own columns still sort.
  const std::vector<std::string> names = test::ColumnTexts(w, 0);
  test::ClickHeader(w, 5);
  EXPECT_EQ(test::ColumnTexts(w, 0), names);
  // The next search keeps it.
  QTest::mouseClick(w.SearchButton(), Qt::LeftButton);
  EXPECT_EQ(m->columnCount(), 6);
  w.ConditionColumnAction()->trigger();
  EXPECT_EQ(m->columnCount(), 5);
}

TEST_F(PreviewTest, TheNameColumnTakesItsShareOfAWiderWindow) {
  auto scripted = Searched();
  MainWindow& w = **scripted;
  QTableView* view = w.ResultsView();
  QApplication::processEvents();
  const int name = view->columnWidth(0);
  const int folder = view->columnWidth(MainWindow::kFolderColumn);
  const int size = view->columnWidth(2);
  w.resize(w.width() + 640, w.height());
  QApplication::processEvents();
  QApplication::processEvents();
  EXPECT_GT(view->columnWidth(0), name + 150) << "Name gets about a third of 640 pixels";
  EXPECT_GT(view->columnWidth(MainWindow::kFolderColumn), folder + 300);
  EXPECT_EQ(view->columnWidth(2), size);
  int total = 0;
  for (int c = 0; c < view->model()->columnCount(); ++c) total += view->columnWidth(c);
  EXPECT_LE(total, view->viewport()->width());
}

}  // namespace
}  // namespace ambrelic::ui::qt
