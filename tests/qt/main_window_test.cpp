#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <set>

#include "platform/text.h"
#include "qt_test_support.h"
#include "support/test_support.h"
#include "ui/qt/results_model.h"

namespace ambrelic::ui::qt {
namespace {

using test::ScriptedWindow;

const char* const kScanVacant = "Do you want to scan vacant clusters?";
const char* const kNoFiles = "No files were found.";

std::vector<platform::DriveSource> Sources(std::initializer_list<std::string> paths) {
  std::vector<platform::DriveSource> out;
  for (const auto& p : paths) out.push_back(platform::DriveSource{p, false, false});
  return out;
}

std::vector<std::string> BoxTexts(const ScriptedWindow& w) {
  std::vector<std::string> out;
  for (const auto& b : w.boxes) out.push_back(b.text);
  return out;
}

// Records the texts a label had each time it was shown.
class ShowWatcher : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* label = qobject_cast<QLabel*>(watched)) shownTexts.push_back(label->text().toStdString());
    }
    return false;
  }
  std::vector<std::string> shownTexts;
};

// Every column shows its header and its widest value whole, within the
// list's width (no horizontal scroll bar), and "In Folder" has the rest.
void ExpectColumnsShownWhole(MainWindow& w) {
  QTableView* view = w.ResultsView();
  QHeaderView* header = view->horizontalHeader();
  QApplication::processEvents();
  const QFontMetrics fm(view->font());
  int total = 0;
  for (int c = 0; c < view->model()->columnCount(); ++c) {
    const int width = view->columnWidth(c);
    total += width;
    const QString text = view->model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_GE(width, fm.horizontalAdvance(text) + 8) << text.toStdString();
    EXPECT_GE(width, header->sectionSizeHint(c)) << text.toStdString();
    const char* widest = c == 2 || c == 4 ? "4294967295" : c == 3 ? "00/00/0000 00:00" : "";
    EXPECT_GE(width, fm.horizontalAdvance(QString::fromLatin1(widest)) + 8) << text.toStdString();
  }
  EXPECT_EQ(header->sectionResizeMode(MainWindow::kFolderColumn), QHeaderView::Stretch);
  EXPECT_LE(total, view->viewport()->width());
  EXPECT_GE(total, view->viewport()->width() - 1) << "the folder column takes the spare width";
  EXPECT_FALSE(view->horizontalScrollBar()->isVisible());
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureApplication(); }
};

TEST_F(MainWindowTest, ShowsTheDesignedControlsAndMenu) {
  ScriptedWindow w(Sources({test::SampleImage("fat16.img")}));
  EXPECT_EQ(w->windowTitle(), "Ambrelic - Version 1.6");
  EXPECT_EQ(w->SearchButton()->text(), "RECHERCHER LES FICHIERS SUPPRIMES");
  EXPECT_TRUE(w->SearchButton()->isDefault());
  EXPECT_EQ(w->RestoreButton()->text(), "Restauration");
  EXPECT_EQ(w->ExitButton()->text(), "E&xit");
  EXPECT_EQ(w->IncludeUsedCheck()->text(), "Inclure/utilisé");
  EXPECT_EQ(w->IncludeUsedLine1()->text(), "par grappes");
  EXPECT_EQ(w->IncludeUsedLine2()->text(), "les autres fichiers.");
  EXPECT_EQ(w->IncludeZeroCheck()->text(), "Inclure même si");
  EXPECT_FALSE(w->IncludeUsedCheck()->isChecked());
  EXPECT_FALSE(w->IncludeZeroCheck()->isChecked());
  EXPECT_TRUE(w->NameEdit()->text().isEmpty());
  EXPECT_FALSE(w->HiddenScanButton()->isVisible());
  EXPECT_FALSE(w->ClearingNotice()->isVisible());
  EXPECT_EQ(w->Counter()->text(), "");
  for (const char* name : {"Disques", "Tout ou partie de", "du nom du fichier.", "la taille du fichier est", "de zero."}) {
    bool found = false;
    for (QLabel* l : w->findChildren<QLabel*>()) found = found || l->text() == QString::fromUtf8(name);
    EXPECT_TRUE(found) << name;
  }

  // The designed menu, with saving the list before the guide, and beside
  // it the window's own "Affichage" (preview, Condition column).
  const QList<QAction*> menus = w->Menu()->actions();
  ASSERT_EQ(menus.size(), 2);
  EXPECT_EQ(menus[0]->text(), "&Fonctions complémentaires");
  EXPECT_EQ(menus[1]->text(), "&Affichage");
  const QList<QAction*> entries = menus[0]->menu()->actions();
  // The designed six entries, then a separator, the deep scan, the entry
  // that opens an image and the one that saves the list.
  ASSERT_EQ(entries.size(), 10);
  EXPECT_EQ(entries[0]->text(), "Scan de tous les groupes");
  EXPECT_TRUE(entries[1]->isSeparator());
  EXPECT_EQ(entries[2]->text(), "&Supprimer Complètement");
  EXPECT_TRUE(entries[3]->isSeparator());
  EXPECT_EQ(entries[4], w->WebPageAction());
  EXPECT_EQ(entries[5], w->CreditAction());
  EXPECT_TRUE(entries[6]->isSeparator());
  EXPECT_EQ(entries[7], w->CarveAction());
  EXPECT_EQ(entries[7]->text(), "Recherche par contenu");
  EXPECT_EQ(entries[8], w->OpenImageAction());
  EXPECT_EQ(entries[9], w->SaveListAction());
  EXPECT_EQ(entries[9]->text(), QString::fromUtf8("Enregistrer la liste…"));
  const QList<QAction*> view = menus[1]->menu()->actions();
  ASSERT_EQ(view.size(), 2);
  EXPECT_EQ(view[0], w->PreviewAction());
  EXPECT_EQ(view[0]->shortcut(), QKeySequence(Qt::Key_F3));
  EXPECT_EQ(view[1], w->ConditionColumnAction());
  EXPECT_FALSE(w->PreviewAction()->isChecked());
  EXPECT_FALSE(w->ConditionColumnAction()->isChecked());
  EXPECT_EQ(w->RestoreButton()->isEnabled(), MainWindow::RestoreAvailable());
  EXPECT_EQ(w->DeleteCompletelyAction()->isEnabled(), MainWindow::DeleteCompletelyAvailable());

  // The list's columns before any search: four, all shown whole.
  QAbstractItemModel* m = w->ResultsView()->model();
  ASSERT_EQ(m->columnCount(), 4);
  const char* headers[] = {"Name", "In Folder", "Size", "Modified"};
  for (int c = 0; c < 4; ++c) EXPECT_EQ(m->headerData(c, Qt::Horizontal).toString(), headers[c]);
  ExpectColumnsShownWhole(*w);
  EXPECT_GE(w->ResultsView()->columnWidth(0), w->ColumnPixels(110));
  EXPECT_EQ(w->ResultsView()->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(w->ResultsView()->selectionMode(), QAbstractItemView::ExtendedSelection);

  // The window opens at the designed 397 x 263 dialog units below its menu,
  // and can be made larger (not smaller).
  const QSize client = w->Units().Size(397, 263);
  EXPECT_EQ(w->width(), client.width());
  EXPECT_EQ(w->height(), client.height() + w->Menu()->sizeHint().height());
  EXPECT_EQ(w->minimumSize(), w->size());
  EXPECT_GT(w->maximumWidth(), w->width());
  EXPECT_GT(w->maximumHeight(), w->height());
  EXPECT_TRUE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(MainWindowTest, SearchOfTheSampleFillsTheView) {
  const std::string image = test::SampleImage("fat16.img");
  ScriptedWindow w(Sources({image}));
  ASSERT_EQ(w->DriveCombo()->count(), 1);
  EXPECT_EQ(w->DriveCombo()->currentIndex(), 0);
  EXPECT_TRUE(w->DriveCombo()->currentText().endsWith("(C:)"));
  EXPECT_FALSE(w->DriveCombo()->itemIcon(0).isNull());

  w.answers = {Answer::No};  // no vacant-cluster scan
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);

  ASSERT_EQ(BoxTexts(w), std::vector<std::string>({kScanVacant}));
  EXPECT_EQ(w.boxes[0].buttons, Buttons::YesNo);
  EXPECT_EQ(w.boxes[0].defaultButton, 1);
  EXPECT_EQ(w.boxes[0].icon, Icon::None);

  const ResultsList& list = w->Dialog().List();
  QAbstractItemModel* m = w->ResultsView()->model();
  ASSERT_GT(list.RowCount(), 0);
  EXPECT_EQ(m->rowCount(), list.RowCount());
  EXPECT_EQ(m->columnCount(), 5);
  EXPECT_EQ(m->headerData(4, Qt::Horizontal).toString(), "Cluster");
  ExpectColumnsShownWhole(*w);
  EXPECT_EQ(w->Counter()->text().toStdString(), std::to_string(list.RowCount()));
  for (int r = 0; r < list.RowCount(); ++r) {
    for (int c = 0; c < 5; ++c) {
      ASSERT_EQ(m->index(r, c).data().toString().toStdString(), list.CellText(r, c)) << r << "," << c;
    }
    EXPECT_FALSE(m->index(r, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
  }
  EXPECT_EQ(m->index(0, 2).data(Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignHorizontal_Mask,
            Qt::AlignRight);
  EXPECT_EQ(m->index(0, 4).data(Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignHorizontal_Mask,
            Qt::AlignRight);
  EXPECT_EQ(m->index(0, 1).data(Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignHorizontal_Mask,
            Qt::AlignLeft);

  // The files The Sleuth Kit lists as deleted under their long names are in
  // the view.
  const std::vector<std::string> names = test::ColumnTexts(*w, 0);
  const std::set<std::string> shown(names.begin(), names.end());
  for (const char* name : {"Budget forecast.xlsx",
                           "A very long file name that needs many long name entries to be stored in full.txt"}) {
    EXPECT_TRUE(shown.count(name)) << name;
  }
  const std::string fls = test::RunCommand("fls -rd '" + image + "'");
  EXPECT_NE(fls.find("Budget forecast.xlsx"), std::string::npos);

  // The main window is usable again and no progress window is left.
  EXPECT_TRUE(w->isEnabled());
  EXPECT_EQ(w->Host().OpenProgressWindow(), nullptr);
  EXPECT_EQ(w->Host().WaitCursorDepth(), 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  // A second search starts from an empty list: the same rows, not twice,
  // and the notice is shown while the old rows are deleted.
  const int first = list.RowCount();
  ShowWatcher notice;
  w->ClearingNotice()->installEventFilter(&notice);
  w.answers = {Answer::No};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  EXPECT_EQ(list.RowCount(), first);
  EXPECT_EQ(m->rowCount(), first);
  ASSERT_EQ(notice.shownTexts.size(), 1u);
  EXPECT_EQ(notice.shownTexts[0],
            "Deleting listed items. It may take a long time if there are many items. Please wait.");
  EXPECT_FALSE(w->ClearingNotice()->isVisible());
}

TEST_F(MainWindowTest, SortsByEachColumnAscendingThenDescending) {
  ScriptedWindow w(Sources({test::SampleImage("fat16.img")}));
  w.answers = {Answer::Yes};  // the vacant clusters add rows of their own
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  const ResultsList& list = w->Dialog().List();
  ASSERT_GT(list.RowCount(), 3);

  // A row selected before the sort stays selected, wherever it goes.
  const std::string picked = list.CellText(1, 0) + "|" + list.CellText(1, 4);
  w->ResultsView()->selectRow(1);
  ASSERT_EQ(list.SelectedCount(), 1);

  auto key = [](int column, const std::string& text) -> std::string {
    if (column == 2 || column == 4) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%010u", ParseUInt32Text(text));
      return buf;
    }
    if (column == 3) return SortableModified(text);
    return platform::UpperCase(text);
  };
  for (int column = 0; column < 5; ++column) {
    for (int round = 0; round < 2; ++round) {
      test::ClickHeader(*w, column);
      const std::vector<std::string> texts = test::ColumnTexts(*w, column);
      ASSERT_EQ(static_cast<int>(texts.size()), list.RowCount());
      for (std::size_t i = 1; i < texts.size(); ++i) {
        const std::string a = key(column, texts[i - 1]);
        const std::string b = key(column, texts[i]);
        if (round == 0) {
          EXPECT_LE(a, b) << "column " << column << " ascending at " << i;
        } else {
          EXPECT_GE(a, b) << "column " << column << " descending at " << i;
        }
      }
      // The view shows the list's order, and the selection followed its row.
      for (int r = 0; r < list.RowCount(); ++r) {
        ASSERT_EQ(texts[static_cast<std::size_t>(r)], list.CellText(r, column));
      }
      const int selected = list.FirstSelected();
      ASSERT_GE(selected, 0);
      EXPECT_EQ(list.CellText(selected, 0) + "|" + list.CellText(selected, 4), picked);
      EXPECT_TRUE(w->ResultsView()->selectionModel()->isRowSelected(selected, QModelIndex()));
      EXPECT_EQ(w->ResultsView()->selectionModel()->selectedRows().size(), 1);
    }
  }
  // A click on another column starts ascending again.
  test::ClickHeader(*w, 2);
  const std::vector<std::string> sizes = test::ColumnTexts(*w, 2);
  EXPECT_LE(key(2, sizes.front()), key(2, sizes.back()));
}

TEST_F(MainWindowTest, NtfsDriveDisablesTheClusterOptionsAndFatEnablesThem) {
  const std::string fat = test::SampleImage("fat16.img");
  const std::string ntfs = test::FixtureImage("make_qt_images.sh", "qt-ntfs.img");
  ScriptedWindow w(Sources({fat, ntfs}));
  ASSERT_EQ(w->DriveCombo()->count(), 2);
  EXPECT_TRUE(w->DriveCombo()->itemText(1).endsWith("(D:)"));

  // C: (FAT) is preselected: everything enabled.
  EXPECT_EQ(w->DriveCombo()->currentIndex(), 0);
  EXPECT_TRUE(w->IncludeUsedCheck()->isEnabled());
  EXPECT_TRUE(w->IncludeUsedLine1()->isEnabled());
  EXPECT_TRUE(w->IncludeUsedLine2()->isEnabled());
  EXPECT_TRUE(w->ScanAllAction()->isEnabled());

  QTest::mouseClick(w->IncludeUsedCheck(), Qt::LeftButton);
  ASSERT_TRUE(w->IncludeUsedCheck()->isChecked());

  w->DriveCombo()->setCurrentIndex(1);
  EXPECT_FALSE(w->IncludeUsedCheck()->isEnabled());
  EXPECT_FALSE(w->IncludeUsedLine1()->isEnabled());
  EXPECT_FALSE(w->IncludeUsedLine2()->isEnabled());
  EXPECT_FALSE(w->ScanAllAction()->isEnabled());
  EXPECT_FALSE(w->HiddenScanButton()->isEnabled());
  EXPECT_TRUE(w->IncludeUsedCheck()->isChecked()) << "a disabled box keeps its tick";

  w->DriveCombo()->setCurrentIndex(0);
  EXPECT_TRUE(w->IncludeUsedCheck()->isEnabled());
  EXPECT_TRUE(w->ScanAllAction()->isEnabled());
  EXPECT_TRUE(w->IncludeUsedCheck()->isChecked());

  // The search of the NTFS drive has the File No column at 90 pixels and
  // asks nothing about vacant clusters.
  w->DriveCombo()->setCurrentIndex(1);
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  for (const auto& b : w.boxes) EXPECT_NE(b.text, kScanVacant);
  QAbstractItemModel* m = w->ResultsView()->model();
  ASSERT_EQ(m->columnCount(), 5);
  EXPECT_EQ(m->headerData(4, Qt::Horizontal).toString(), "File No");
  ExpectColumnsShownWhole(*w);
  EXPECT_EQ(m->rowCount(), w->Dialog().List().RowCount());
}

TEST_F(MainWindowTest, EnterSearchesAndTheNameIsUpperCased) {
  ScriptedWindow w(Sources({test::SampleImage("fat16.img")}));
  w->activateWindow();
  w->NameEdit()->setFocus();
  QTest::keyClicks(w->NameEdit(), "zz-nothing");
  EXPECT_EQ(w->NameEdit()->text(), "ZZ-NOTHING");
  EXPECT_EQ(w->Dialog().NameText(), "ZZ-NOTHING");
  w.answers = {Answer::No};
  QTest::keyClick(w->NameEdit(), Qt::Key_Return);
  EXPECT_EQ(BoxTexts(w), std::vector<std::string>({kScanVacant, kNoFiles}));
  EXPECT_EQ(w.boxes[1].buttons, Buttons::Ok);
  EXPECT_EQ(w->Counter()->text(), "0");
  EXPECT_TRUE(w->isVisible());
}

TEST_F(MainWindowTest, AWildcardIsRefusedWithTheFocusOnTheName) {
  ScriptedWindow w(Sources({test::SampleImage("fat16.img")}));
  w->activateWindow();
  QApplication::setActiveWindow(w.window.get());
  QTest::keyClicks(w->NameEdit(), "*.txt");
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text,
            "You can't use wild card * .\n\nIf you want to search by extension, please enter something like . TXT.");
  EXPECT_EQ(QApplication::focusWidget(), w->NameEdit());
}

TEST_F(MainWindowTest, ScanAllClustersNeedsAName) {
  ScriptedWindow w(Sources({test::SampleImage("fat16.img")}));
  w->ScanAllAction()->trigger();
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text, "Please enter all or part of the file name if you want to scan all clusters.");
  // The hidden button 1004 runs the same command.
  w->HiddenScanButton()->click();
  ASSERT_EQ(w.boxes.size(), 2u);
  EXPECT_EQ(w.boxes[1].text, w.boxes[0].text);
  w.boxes.clear();

  // With a name: the question (No by default) and then nothing listed.
  QTest::keyClicks(w->NameEdit(), "budget");
  w->ScanAllAction()->trigger();
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].buttons, Buttons::YesNo);
  EXPECT_EQ(w.boxes[0].defaultButton, 1);
  EXPECT_EQ(w->ResultsView()->model()->rowCount(), 0);
  EXPECT_EQ(w->Counter()->text(), "0");

  w.boxes.clear();
  w.answers = {Answer::Yes};
  w->ScanAllAction()->trigger();
  EXPECT_GT(w->ResultsView()->model()->rowCount(), 0);
  for (const std::string& name : test::ColumnTexts(*w, 0)) {
    EXPECT_NE(platform::UpperCase(name).find("BUDGET"), std::string::npos) << name;
  }
}

TEST_F(MainWindowTest, SearchByContentListsTheFilesOfAFormattedCard) {
  ScriptedWindow w(Sources({test::FixtureImage("make_carve_images.sh", "carve-fat32.img")}));
  w->CarveAction()->trigger();
  EXPECT_TRUE(w.boxes.empty());
  const std::vector<std::string> names = test::ColumnTexts(*w, 0);
  EXPECT_NE(std::find(names.begin(), names.end(), "2019-07-07 12-30-35.jpg"), names.end());
  EXPECT_EQ(w->ResultsView()->model()->headerData(4, Qt::Horizontal).toString(), "Cluster");
}

TEST_F(MainWindowTest, WithoutDrivesTheSearchAsksForOne) {
  ScriptedWindow w({});
  EXPECT_EQ(w->DriveCombo()->count(), 0);
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text, "Please select a drive.");
  EXPECT_EQ(w.boxes[0].buttons, Buttons::Ok);
}

// A source that is gone is still listed as a drive; searching it says
// which file could not be opened, and an image that holds no volume is
// named too.
TEST_F(MainWindowTest, ErrorsNameTheSource) {
  const std::string dir = test::MakeTempDir("qt-missing");
  const std::string text = dir + "/notes.txt";
  test::RunCommand("head -c 65536 /dev/zero > '" + text + "'");
  ScriptedWindow w({{dir + "/gone.img", false, false}, {text, false, false}});
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text, dir + "/gone.img:\nNo such file or directory");
  w->DriveCombo()->setCurrentIndex(1);
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  ASSERT_EQ(w.boxes.size(), 2u);
  EXPECT_EQ(w.boxes[1].text,
            text + ":\nYou can't search this drive because the type is not FAT12/FAT16/FAT32/NTFS/exFAT.");
}

TEST_F(MainWindowTest, EscapeAndExitClose) {
  {
    ScriptedWindow w({});
    QTest::keyClick(w.window.get(), Qt::Key_Escape);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(w->result(), QDialog::Rejected);
  }
  {
    ScriptedWindow w({});
    QTest::mouseClick(w->ExitButton(), Qt::LeftButton);
    EXPECT_FALSE(w->isVisible());
  }
}

TEST_F(MainWindowTest, TheWebPageEntryOpensTheGuide) {
  ScriptedWindow w({});
  QUrl opened;
  w->SetUrlOpener([&](const QUrl& u) { opened = u; });
  w->WebPageAction()->trigger();
  EXPECT_TRUE(opened.isLocalFile());
  EXPECT_TRUE(opened.toString().endsWith(".html"));
  // The entry is named for what it opens, not by the guide's path.
  EXPECT_EQ(w->WebPageAction()->text(), "Guide d'utilisation d'Ambrelic");
  EXPECT_EQ(w->WebPageAction()->toolTip(), opened.toString());
  EXPECT_FALSE(w->CreditAction()->text().isEmpty());
}

TEST_F(MainWindowTest, DraggingTheBackgroundMovesTheWindow) {
  ScriptedWindow w({});
  const QPoint before = w->pos();
  // The free strip between the list and the buttons.
  const QPoint start(w->width() / 2, w->ResultsView()->geometry().bottom() + 2);
  QTest::mousePress(w.window.get(), Qt::LeftButton, Qt::NoModifier, start);
  QMouseEvent move(QEvent::MouseMove, QPointF(start + QPoint(30, 20)), w->mapToGlobal(QPointF(start + QPoint(30, 20))),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w.window.get(), &move);
  QTest::mouseRelease(w.window.get(), Qt::LeftButton, Qt::NoModifier, start + QPoint(30, 20));
  EXPECT_EQ(w->pos(), before + QPoint(30, 20));
}

TEST_F(MainWindowTest, EachRowTellsItsConditionInATooltipAndNothingElseChanges) {
  const std::string image = ambrelic::test::FixtureImage("make_condition_images.sh", "cond-fat16.img");
  ScriptedWindow w(Sources({image}));
  w.answers = {Answer::No};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  QAbstractItemModel* m = w->ResultsView()->model();
  ASSERT_EQ(m->columnCount(), 5) << "no column added";
  int found = 0;
  for (int r = 0; r < m->rowCount(); ++r) {
    const std::string name = m->index(r, 0).data().toString().toStdString();
    if (name != "$IG.BIN" && name != "$MALL.TXT") continue;
    ++found;
    const QString tip = name == "$IG.BIN" ? "6 of 10 clusters still free" : "1 of 1 cluster still free";
    for (int c = 2; c < 5; ++c) EXPECT_EQ(m->index(r, c).data(Qt::ToolTipRole).toString(), tip) << c;
    EXPECT_EQ(m->index(r, 0).data(Qt::ToolTipRole).toString(), QString::fromStdString(name) + "\n" + tip);
    EXPECT_EQ(m->index(r, 1).data(Qt::ToolTipRole).toString(), "C:\\\n" + tip);
  }
  EXPECT_EQ(found, 2);
}

}  // namespace
}  // namespace ambrelic::ui::qt
