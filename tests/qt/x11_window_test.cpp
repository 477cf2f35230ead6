// The window on a real X server with a window manager (tests/qt/under_xvfb.sh
// runs this suite under Xvfb and openbox): searched, sorted, maximised,
// restored from through the Save As dialog and a scan cancelled, every box
// and dialog answered by pressing its buttons, and what the server shows
// compared with what the window painted.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <filesystem>
#include <sstream>

#include "qt_test_support.h"
#include "support/test_support.h"
#include "ui/qt/progress_window.h"
#include "ui/qt/qt_host.h"

namespace ambrelic::ui::qt {
namespace {

namespace fs = std::filesystem;

std::string ManyFiles() { return test::FixtureImage("make_qt_images.sh", "qt-many.img"); }

// Presses the buttons of the message boxes as they show (Yes or No to a
// question, OK otherwise) and types a path into the Save As dialog.
class Answerer : public QObject {
 public:
  bool yes = false;
  QString saveAsPath;
  std::vector<std::string> texts;
  std::vector<int> boxWidths;
  int fileDialogs = 0;

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    if (auto* box = qobject_cast<QMessageBox*>(watched)) {
      texts.push_back(box->text().toStdString());
      QPointer<QMessageBox> b(box);
      QTimer::singleShot(0, box, [this, b] {
        if (!b) return;
        boxWidths.push_back(b->width());
        QAbstractButton* button = b->button(yes ? QMessageBox::Yes : QMessageBox::No);
        if (!button) button = b->button(QMessageBox::Ok);
        if (button) QTest::mouseClick(button, Qt::LeftButton);
      });
    } else if (auto* dialog = qobject_cast<QFileDialog*>(watched)) {
      ++fileDialogs;
      QPointer<QFileDialog> d(dialog);
      QTimer::singleShot(0, dialog, [this, d] {
        if (!d) return;
        auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        auto* buttons = d->findChild<QDialogButtonBox*>();
        if (!edit || !buttons || buttons->buttons().isEmpty()) return;
        // As a user does: the folder chosen first, then the name typed.
        const QFileInfo target(saveAsPath);
        d->setDirectory(target.absolutePath());
        (void)QTest::qWaitForWindowActive(d, 2000);
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, target.fileName());
        // The dialog learns of the folder from a thread of its own: Save is
        // enabled, and Enter accepted, once it has. A dialog that never
        // enables it is cancelled (the test fails rather than waits).
        QAbstractButton* save = buttons->buttons().front();
        for (QAbstractButton* b : buttons->buttons()) {
          if (buttons->buttonRole(b) == QDialogButtonBox::AcceptRole) save = b;
        }
        const bool ok = QTest::qWaitFor([&] { return !d || save->isEnabled(); }, 5000);
        if (ok && d) {
          QTest::keyClick(edit, Qt::Key_Return);
        } else if (d) {
          d->reject();
        }
      });
    }
    return false;
  }
};

// The share of pixels where the server's picture of a widget differs from
// what the widget paints. The widget is repainted and the server caught up
// first.
double DifferenceOnScreen(QWidget* widget) {
  widget->repaint();
  QApplication::processEvents();
  QTest::qWait(50);
  const QPoint at = widget->mapToGlobal(QPoint(0, 0));
  const QImage screen = widget->screen()
                            ->grabWindow(0, at.x(), at.y(), widget->width(), widget->height())
                            .toImage()
                            .convertToFormat(QImage::Format_RGB32);
  const QImage own = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  if (screen.size() != own.size() || own.isNull()) return 1.0;
  long differing = 0;
  for (int y = 0; y < own.height(); ++y) {
    for (int x = 0; x < own.width(); ++x) differing += screen.pixel(x, y) != own.pixel(x, y);
  }
  return static_cast<double>(differing) / (static_cast<double>(own.width()) * own.height());
}

// Every column's right edge inside the list, and no horizontal scroll bar.
void ExpectAllColumnsWhole(QTableView* view) {
  QHeaderView* header = view->horizontalHeader();
  for (int c = 0; c < view->model()->columnCount(); ++c) {
    EXPECT_LE(header->sectionViewportPosition(c) + header->sectionSize(c), view->viewport()->width()) << c;
    EXPECT_GE(header->sectionSize(c), header->sectionSizeHint(c)) << c;
  }
  EXPECT_FALSE(view->horizontalScrollBar()->isVisible());
}

class X11WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApplication();
    if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs an X server (under_xvfb.sh)";
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    qApp->installEventFilter(&answers);
  }
  void TearDown() override {
    window.reset();
    qApp->removeEventFilter(&answers);
    QApplication::processEvents();
  }

  MainWindow& Open(const std::string& image) {
    platform::DriveTable table = platform::BuildDriveTable({{image, false, false}});
    window = std::make_unique<MainWindow>(std::move(table.drives));
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get(), 5000));
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get(), 5000));
    // The window manager has framed it; on a machine busy with other tests
    // that may take seconds.
    for (int i = 0; i < 1000 && window->frameGeometry() == window->geometry(); ++i) QTest::qWait(20);
    return *window;
  }

  Answerer answers;
  std::unique_ptr<MainWindow> window;
};

TEST_F(X11WindowTest, SearchSortAndMaximiseShowEveryColumnWhole) {
  MainWindow& w = Open(ManyFiles());
  EXPECT_NE(w.frameGeometry(), w.geometry()) << "openbox draws a frame around the window";
  const QSize designed = w.size();

  answers.yes = false;  // no vacant-cluster scan
  QTest::mouseClick(w.SearchButton(), Qt::LeftButton);
  EXPECT_EQ(answers.texts, std::vector<std::string>({"Do you want to scan vacant clusters?"}));
  QTableView* view = w.ResultsView();
  ASSERT_EQ(w.Dialog().List().RowCount(), 600);
  ASSERT_EQ(view->model()->rowCount(), 600);
  EXPECT_EQ(w.Counter()->text(), "600");
  EXPECT_TRUE(w.isEnabled());
  QApplication::processEvents();
  EXPECT_TRUE(view->verticalScrollBar()->isVisible());
  ExpectAllColumnsWhole(view);
  EXPECT_LT(DifferenceOnScreen(&w), 0.005) << "the server shows what the window painted";

  // A click on the Name header sorts, and the header shows the indicator;
  // the second click reverses both.
  QHeaderView* header = view->horizontalHeader();
  const QImage headerBefore = header->grab().toImage();
  test::ClickHeader(w, 0);
  EXPECT_EQ(header->sortIndicatorSection(), 0);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
  EXPECT_EQ(test::ColumnTexts(w, 0).front(), "$001.TXT");
  EXPECT_NE(header->grab().toImage(), headerBefore);
  EXPECT_LT(DifferenceOnScreen(&w), 0.005);
  test::ClickHeader(w, 0);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
  EXPECT_EQ(test::ColumnTexts(w, 0).front(), "$600.TXT");
  EXPECT_LT(DifferenceOnScreen(&w), 0.005);

  // Maximised by the window manager: the list and "In Folder" take the room.
  const int name = view->columnWidth(0);
  const int folder = view->columnWidth(MainWindow::kFolderColumn);
  const int size = view->columnWidth(2);
  w.setWindowState(Qt::WindowMaximized);
  for (int i = 0; i < 100 && w.size() == designed; ++i) QTest::qWait(20);
  QTest::qWait(100);
  EXPECT_GT(w.width(), designed.width());
  EXPECT_GT(w.height(), designed.height());
  EXPECT_GT(view->columnWidth(MainWindow::kFolderColumn), folder);
  EXPECT_GT(view->columnWidth(0), name + 100) << "Name takes its share of the room";
  EXPECT_EQ(view->columnWidth(2), size);
  ExpectAllColumnsWhole(view);
  EXPECT_LT(DifferenceOnScreen(&w), 0.005);
  w.setWindowState(Qt::WindowNoState);
  for (int i = 0; i < 100 && w.size() != designed; ++i) QTest::qWait(20);
  EXPECT_EQ(w.size(), designed);
  QTest::qWait(100);
  EXPECT_EQ(view->columnWidth(0), name) << "and gives it back";
}

TEST_F(X11WindowTest, RestoreThroughTheSaveAsDialog) {
  const std::string image = ManyFiles();
  MainWindow& w = Open(image);
  answers.yes = false;
  QTest::mouseClick(w.SearchButton(), Qt::LeftButton);
  const ResultsList& list = w.Dialog().List();
  int row = -1;
  for (int r = 0; r < list.RowCount() && row < 0; ++r) {
    if (list.CellText(r, 0) == "$123.TXT") row = r;
  }
  ASSERT_GE(row, 0);
  w.ResultsView()->setFocus();
  w.ResultsView()->selectRow(row);

  const std::string out = test::MakeTempDir("x11-restore");
  answers.saveAsPath = QString::fromStdString(out + "/restored.txt");
  answers.texts.clear();
  QTest::mouseClick(w.RestoreButton(), Qt::LeftButton);
  EXPECT_EQ(answers.fileDialogs, 1);
  EXPECT_TRUE(answers.texts.empty()) << answers.texts.front();
  ASSERT_TRUE(fs::exists(out + "/restored.txt"));
  // The Sleuth Kit's copy of the same deleted file (it names it with "_"
  // for the lost first letter).
  std::istringstream lines(test::RunCommand("fls -rdp '" + image + "'"));
  std::string line;
  std::string inode;
  while (std::getline(lines, line)) {
    if (line.size() > 13 && line.compare(line.size() - 13, 13, "MANY/_123.TXT") == 0) {
      const auto star = line.find("* ");
      inode = line.substr(star + 2, line.find(":\t") - star - 2);
    }
  }
  ASSERT_FALSE(inode.empty());
  test::RunCommand("icat '" + image + "' " + inode + " > '" + out + "/oracle.txt'");
  EXPECT_EQ(test::Sha256Of(out + "/restored.txt"), test::Sha256Of(out + "/oracle.txt"));
  // The window is the active one again, with the focus back on the button
  // the click gave it to.
  EXPECT_TRUE(QTest::qWaitForWindowActive(&w, 2000));
  EXPECT_EQ(w.focusWidget(), w.RestoreButton());
}

TEST_F(X11WindowTest, ACancelledScanShowsItsProgressWindowAndEndsAtOnce) {
  MainWindow& w = Open(ManyFiles());
  w.NameEdit()->setFocus();
  QTest::keyClicks(w.NameEdit(), "F");
  // At the first pump after the progress window reached the screen: its
  // picture there, then a click on Cancel.
  bool cancelled = false;
  double onScreen = 1.0;
  QString title;
  bool ownerDisabled = false;
  w.Host().SetPumpHook([&] {
    ProgressWindow* p = w.Host().OpenProgressWindow();
    if (!p || cancelled) return;
    if (!QTest::qWaitForWindowExposed(p, 5000)) return;
    ownerDisabled = !w.isEnabled();
    title = p->windowTitle();
    onScreen = DifferenceOnScreen(p);
    cancelled = true;
    QTest::mouseClick(p->CancelButton(), Qt::LeftButton);
  });
  answers.yes = true;
  QElapsedTimer t;
  t.start();
  w.ScanAllAction()->trigger();
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(title, "Ambrelic");
  EXPECT_TRUE(ownerDisabled);
  EXPECT_LT(onScreen, 0.005) << "the server shows the progress window as painted";
  EXPECT_LT(t.elapsed(), 10000);
  EXPECT_EQ(w.Host().OpenProgressWindow(), nullptr);
  EXPECT_TRUE(w.isEnabled());
  EXPECT_LT(w.Dialog().List().RowCount(), 600) << "the scan stopped early";
  EXPECT_EQ(w.ResultsView()->model()->rowCount(), w.Dialog().List().RowCount());
  // Active again, with the focus back in the field the command was started
  // from.
  EXPECT_TRUE(QTest::qWaitForWindowActive(&w, 2000));
  EXPECT_EQ(w.focusWidget(), w.NameEdit());
  EXPECT_LT(DifferenceOnScreen(&w), 0.005);
}

// A key as the X server makes it (XTEST), to the window that has the
// focus, or a window given the focus first.
void XKey(const char* key, QWidget* focus = nullptr) {
  std::string command = "xdotool";
  if (focus) command += " windowfocus --sync " + std::to_string(focus->window()->winId());
  command += std::string(" key ") + key;
  test::RunCommand(command);
}

TEST_F(X11WindowTest, TabLeavesTheListForTheButtonsAndTheArrowsMoveWithinIt) {
  MainWindow& w = Open(ManyFiles());
  answers.yes = false;
  QTest::mouseClick(w.SearchButton(), Qt::LeftButton);
  ASSERT_EQ(w.Dialog().List().RowCount(), 600);
  QTableView* view = w.ResultsView();
  view->setFocus();
  view->selectRow(0);
  QTest::keyClick(view, Qt::Key_Down);
  EXPECT_EQ(view->currentIndex().row(), 1) << "the arrows move within the list";
  EXPECT_EQ(w.focusWidget(), view);
  QTest::keyClick(view, Qt::Key_Tab);
  EXPECT_EQ(w.focusWidget(), w.SearchButton()) << "Tab leaves the list";
  QTest::keyClick(w.focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(w.focusWidget(), w.RestoreButton());
  QTest::keyClick(w.focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(w.focusWidget(), w.ExitButton());
  QTest::keyClick(w.ExitButton(), Qt::Key_Backtab);
  QTest::keyClick(w.focusWidget(), Qt::Key_Backtab);
  QTest::keyClick(w.focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(w.focusWidget(), view) << "Shift+Tab comes back to it";
}

TEST_F(X11WindowTest, AnEscPressedWhileTheProgressWindowWasOpenDoesNotEndTheProgram) {
  MainWindow& w = Open(ManyFiles());
  // A key the server stamps, so that the window learns the server's clock.
  XKey("shift", &w);
  QTest::qWait(100);
  {
    std::unique_ptr<disk::ProgressSink> progress = static_cast<disk::EngineHost&>(w.Dialog()).OpenProgress();
    ProgressWindow* p = w.Host().OpenProgressWindow();
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(p, 5000));
    EXPECT_FALSE(w.isEnabled());
    // Esc pressed while the engine works between two pumps: the program
    // sees it only once the progress window has closed.
    XKey("Escape", &w);
    QThread::msleep(300);
  }
  EXPECT_TRUE(w.isEnabled());
  QTest::qWait(300);
  EXPECT_TRUE(w.isVisible()) << "the Esc meant for the progress window ended the program";
  // An Esc pressed now ends the dialog, as designed.
  XKey("Escape", &w);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 3000));
}

TEST_F(X11WindowTest, AMessageBoxIsWideEnoughForItsCaption) {
  MainWindow& w = Open(ManyFiles());
  w.NameEdit()->setText(QStringLiteral("NOTHING BY THIS NAME"));
  answers.yes = false;
  QTest::mouseClick(w.SearchButton(), Qt::LeftButton);
  ASSERT_EQ(answers.texts.back(), "No files were found.");
  ASSERT_FALSE(answers.boxWidths.empty());
  // The caption in the bold title font, beside an icon and three buttons.
  QFont title = QApplication::font("QMdiSubWindowTitleBar");
  title.setBold(true);
  const int caption = QFontMetrics(title).horizontalAdvance(QStringLiteral("Ambrelic"));
  // openbox cut "Ambrelic" to "Am…elic" on a box 163 pixels wide, the
  // caption then 60.
  EXPECT_GE(answers.boxWidths.back(), caption + 5 * 24);
}

}  // namespace
}  // namespace ambrelic::ui::qt
