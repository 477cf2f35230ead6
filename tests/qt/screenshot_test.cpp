// Pictures of the windows, for a person to look at: the main window empty
// and after a search of the bundled sample, and the progress window of that
// search. Written to the build tree's screenshots/ folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPixmap>
#include <QComboBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "qt_test_support.h"
#include "support/test_support.h"
#include "ui/qt/progress_window.h"

namespace ambrelic::ui::qt {
namespace {

QString Shot(const char* name) {
  QDir().mkpath(QStringLiteral(AMBRELIC_SCREENSHOT_DIR));
  return QStringLiteral(AMBRELIC_SCREENSHOT_DIR "/") + QString::fromLatin1(name);
}

TEST(ScreenshotTest, MainWindowAndProgressWindow) {
  test::EnsureApplication();
  const std::string sample = test::SampleImage("fat16.img");
  const std::string many = test::FixtureImage("make_qt_images.sh", "qt-many.img");
  test::ScriptedWindow w({platform::DriveSource{sample, false, false}, platform::DriveSource{many, false, false}});
  QApplication::processEvents();

  const QPixmap empty = w->grab();
  ASSERT_FALSE(empty.isNull());
  ASSERT_TRUE(empty.save(Shot("main-empty.png")));

  // The progress window, caught in the middle of a search of the big folder.
  bool progressSaved = false;
  int pumps = 0;
  w->Host().SetPumpHook([&] {
    ProgressWindow* p = w->Host().OpenProgressWindow();
    if (!p || progressSaved || ++pumps < 10 || w->Dialog().List().RowCount() < 40) return;
    QApplication::processEvents();
    progressSaved = p->grab().save(Shot("progress.png"));
  });
  w->DriveCombo()->setCurrentIndex(1);
  w.answers = {Answer::No};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  EXPECT_TRUE(progressSaved);

  // The sample, with its vacant clusters scanned too (and the progress
  // window of that scan, which counts clusters).
  bool scanSaved = false;
  w->Host().SetPumpHook([&] {
    ProgressWindow* p = w->Host().OpenProgressWindow();
    if (!p || scanSaved || p->CountLabel()->text() != "Cluster:" || p->CountText()->text().isEmpty()) return;
    QApplication::processEvents();
    scanSaved = p->grab().save(Shot("progress-scan.png"));
  });
  w->DriveCombo()->setCurrentIndex(0);
  w.answers = {Answer::Yes};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  ASSERT_GT(w->ResultsView()->model()->rowCount(), 0);
  EXPECT_TRUE(scanSaved);
  w->Host().SetPumpHook(nullptr);
  w->ResultsView()->selectRow(2);
  QApplication::processEvents();
  const QPixmap filled = w->grab();
  ASSERT_TRUE(filled.save(Shot("main-search.png")));
}

}  // namespace
}  // namespace ambrelic::ui::qt
