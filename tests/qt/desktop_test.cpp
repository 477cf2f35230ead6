// What a desktop user expects of the window beyond the designed dialog:
// every column whole, a window that grows, the focus kept across a command,
// the sort indicator, evenly spaced option sentences, file-type icons that
// do not need an icon theme.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

#include "qt_test_support.h"
#include "support/test_support.h"
#include "ui/qt/file_icons.h"

namespace ambrelic::ui::qt {
namespace {

using test::ScriptedWindow;

std::vector<platform::DriveSource> Sources(std::initializer_list<std::string> paths) {
  std::vector<platform::DriveSource> out;
  for (const auto& p : paths) out.push_back(platform::DriveSource{p, false, false});
  return out;
}

std::string ManyFiles() { return test::FixtureImage("make_qt_images.sh", "qt-many.img"); }

// Lets the window lay itself out (scroll bars come and go after layout).
void Settle() {
  for (int i = 0; i < 5; ++i) QTest::qWait(10);
}

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureApplication(); }
};

// The widths of the columns, left to right.
std::vector<int> Widths(MainWindow& w) {
  std::vector<int> out;
  for (int c = 0; c < w.ResultsView()->model()->columnCount(); ++c) out.push_back(w.ResultsView()->columnWidth(c));
  return out;
}

TEST_F(DesktopTest, FiveColumnsWholeBesideTheScrollBarAndTheFolderTakesTheSpareWidth) {
  for (const std::string& image : {ManyFiles(), test::FixtureImage("make_qt_images.sh", "qt-ntfs.img")}) {
    ScriptedWindow w(Sources({image}));
    w.answers = {Answer::No};
    QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
    QTableView* view = w->ResultsView();
    ASSERT_EQ(view->model()->columnCount(), 5);
    Settle();
    const int spare = view->viewport()->width();
    int sum = 0;
    for (int width : Widths(*w)) sum += width;
    EXPECT_LE(sum, spare) << image;
    EXPECT_FALSE(view->horizontalScrollBar()->isVisible()) << image;
    if (image == ManyFiles()) {
      EXPECT_TRUE(view->verticalScrollBar()->isVisible());
    }
    // The widest number and the header of the last column show whole.
    const QFontMetrics fm(view->font());
    EXPECT_GE(view->columnWidth(4), fm.horizontalAdvance(QStringLiteral("4294967295")));
    EXPECT_GE(view->columnWidth(4), view->horizontalHeader()->sectionSizeHint(4));

    // A larger window: the list grows; the Name column takes its designed
    // share of the room (110 of 110 + 210), "In Folder" the rest.
    const std::vector<int> before = Widths(*w);
    const QSize designed = w->size();
    w->resize(designed + QSize(300, 200));
    Settle();
    EXPECT_EQ(w->size(), designed + QSize(300, 200));
    const std::vector<int> after = Widths(*w);
    for (int c : {2, 3, 4}) EXPECT_EQ(after[static_cast<std::size_t>(c)], before[static_cast<std::size_t>(c)]);
    EXPECT_EQ(after[0], before[0] + 300 * 110 / 320);
    EXPECT_EQ(after[1], before[1] + 300 - 300 * 110 / 320);
    // Never smaller than designed.
    w->resize(designed - QSize(100, 100));
    Settle();
    EXPECT_EQ(w->size(), designed);
  }
}

TEST_F(DesktopTest, TheSortedColumnCarriesTheIndicatorTurnedByTheSecondClick) {
  ScriptedWindow w(Sources({ManyFiles()}));
  QHeaderView* header = w->ResultsView()->horizontalHeader();
  w.answers = {Answer::No};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  EXPECT_TRUE(header->isSortIndicatorShown());
  EXPECT_EQ(header->sortIndicatorSection(), -1) << "rows as found: no indicator";

  test::ClickHeader(*w, 0);
  EXPECT_EQ(header->sortIndicatorSection(), 0);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
  const std::vector<std::string> names = test::ColumnTexts(*w, 0);
  EXPECT_LT(names.front(), names.back());
  test::ClickHeader(*w, 0);
  EXPECT_EQ(header->sortIndicatorSection(), 0);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
  EXPECT_GT(test::ColumnTexts(*w, 0).front(), test::ColumnTexts(*w, 0).back());
  test::ClickHeader(*w, 4);
  EXPECT_EQ(header->sortIndicatorSection(), 4);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);

  // The next search lists the rows as found again.
  w.answers = {Answer::No};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  EXPECT_EQ(header->sortIndicatorSection(), -1);
}

TEST_F(DesktopTest, TheFocusGoesBackWhereItWasAfterACommand) {
  ScriptedWindow w(Sources({ManyFiles()}));
  QApplication::setActiveWindow(w.window.get());
  // Typed in the name field, then Enter: the search runs with the main
  // window disabled, and the caret is back in the field afterwards.
  w->NameEdit()->setFocus();
  QTest::keyClicks(w->NameEdit(), "F00");
  w.answers = {Answer::No};
  QTest::keyClick(w->NameEdit(), Qt::Key_Return);
  ASSERT_GT(w->Dialog().List().RowCount(), 0);
  EXPECT_EQ(w->focusWidget(), w->NameEdit());

  // From the list, by the hidden button's command (the scan-all entry).
  w->ResultsView()->setFocus();
  w.answers = {Answer::Yes};
  w->ScanAllAction()->trigger();
  EXPECT_EQ(w->focusWidget(), w->ResultsView());

  // A command that moves the focus itself keeps its choice: scan-all with an
  // empty name sends it to the name field.
  w->NameEdit()->clear();
  w->IncludeZeroCheck()->setFocus();
  w->ScanAllAction()->trigger();
  EXPECT_EQ(w->focusWidget(), w->NameEdit());
}

TEST_F(DesktopTest, EachOptionReadsAsThreeEvenlySpacedLines) {
  ScriptedWindow w({});
  QApplication::processEvents();
  auto top = [&](QWidget* widget) { return widget->mapTo(w.window.get(), QPoint(0, 0)).y(); };
  auto label = [&](const char* name) { return w->findChild<QLabel*>(QString::fromLatin1(name)); };
  struct Sentence {
    QWidget* first;
    QWidget* second;
    QWidget* third;
  };
  for (const Sentence& s : {Sentence{w->IncludeUsedCheck(), w->IncludeUsedLine1(), w->IncludeUsedLine2()},
                            Sentence{w->IncludeZeroCheck(), label("staticZero1"), label("staticZero2")}}) {
    ASSERT_NE(s.second, nullptr);
    ASSERT_NE(s.third, nullptr);
    const int gap1 = top(s.second) - top(s.first);
    const int gap2 = top(s.third) - top(s.second);
    EXPECT_GT(gap1, 0);
    EXPECT_EQ(gap1, gap2);
    EXPECT_EQ(s.second->height(), s.third->height());
    // The text of each line sits at the same place within its line.
    EXPECT_EQ(s.second->contentsRect().top(), s.third->contentsRect().top());
  }
  // Both sentences line up with each other.
  EXPECT_EQ(top(w->IncludeUsedCheck()), top(w->IncludeZeroCheck()));
}

TEST_F(DesktopTest, FileTypesHaveIconsWithoutAnIconTheme) {
  // No theme at all: the bundled set is what the list shows, one icon per
  // kind of file, told by the extension.
  const QString theme = QIcon::themeName();
  QIcon::setThemeName(QStringLiteral("ambrelic-test-no-such-theme"));
  FileIcons icons;
  auto image = [&](const std::string& key) { return icons.ForKey(key).pixmap(16, 16).toImage(); };
  const QImage folder = image("folder");
  const QImage text = image(".txt");
  const QImage doc = image(".doc");
  const QImage photo = image(".jpg");
  const QImage song = image(".mp3");
  const QImage film = image(".mp4");
  const QImage zip = image(".zip");
  const QImage other = image(".zz9");
  const QImage none = image("");
  QIcon::setThemeName(theme);
  for (const QImage* i : {&folder, &text, &doc, &photo, &song, &film, &zip, &other, &none}) {
    ASSERT_FALSE(i->isNull());
    // Something is drawn.
    bool opaque = false;
    for (int y = 0; y < i->height() && !opaque; ++y) {
      for (int x = 0; x < i->width() && !opaque; ++x) opaque = qAlpha(i->pixel(x, y)) > 128;
    }
    EXPECT_TRUE(opaque);
  }
  // Seven kinds, seven different pictures; a document is a document
  // whatever its extension, and an unknown type is the generic file.
  const std::vector<const QImage*> kinds = {&folder, &text, &photo, &song, &film, &zip, &other};
  for (std::size_t a = 0; a < kinds.size(); ++a) {
    for (std::size_t b = a + 1; b < kinds.size(); ++b) EXPECT_NE(*kinds[a], *kinds[b]) << a << " " << b;
  }
  EXPECT_EQ(text, doc);
  EXPECT_EQ(other, none);
}

}  // namespace
}  // namespace ambrelic::ui::qt
