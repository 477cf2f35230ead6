#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "qt_test_support.h"
#include "support/test_support.h"
#include "ui/progress_dialog.h"
#include "ui/qt/progress_window.h"

namespace ambrelic::ui::qt {
namespace {

using test::ScriptedWindow;

std::vector<platform::DriveSource> ManyFiles() {
  return {platform::DriveSource{test::FixtureImage("make_qt_images.sh", "qt-many.img"), false, false}};
}

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureApplication(); }
};

TEST_F(ProgressWindowTest, CancelStopsTheSearchWithTheRowsFoundSoFar) {
  ScriptedWindow w(ManyFiles());
  int pumps = 0;
  bool sawDisabledOwner = false;
  bool sawCaption = false;
  bool cancelled = false;
  w->Host().SetPumpHook([&] {
    ProgressWindow* p = w->Host().OpenProgressWindow();
    if (!p) return;
    ++pumps;
    sawDisabledOwner = sawDisabledOwner || !w->isEnabled();
    sawCaption = sawCaption || p->windowTitle() == "Ambrelic";
    if (cancelled || w->Dialog().List().RowCount() < 5) return;
    cancelled = true;
    QTest::mouseClick(p->CancelButton(), Qt::LeftButton);
  });
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  EXPECT_TRUE(cancelled);
  EXPECT_TRUE(sawDisabledOwner) << "the main window is disabled while the progress window is open";
  EXPECT_TRUE(sawCaption);
  // A cancelled walk asks nothing about vacant clusters.
  for (const auto& b : w.boxes) EXPECT_NE(b.text, "Do you want to scan vacant clusters?");
  const int found = w->Dialog().List().RowCount();
  EXPECT_GE(found, 5);
  EXPECT_LT(found, 600);
  EXPECT_EQ(w->ResultsView()->model()->rowCount(), found);
  EXPECT_TRUE(w->isEnabled());
  EXPECT_EQ(w->Host().OpenProgressWindow(), nullptr);
}

TEST_F(ProgressWindowTest, EnterDoesNothingAndEscapeOrTheCloseBoxAskForCancel) {
  ScriptedWindow w(ManyFiles());
  int pumps = 0;
  bool stillOpenAfterEscape = false;
  bool escaped = false;
  w->Host().SetPumpHook([&] {
    ProgressWindow* p = w->Host().OpenProgressWindow();
    if (!p) return;
    ++pumps;
    if (pumps == 2) {
      p->CancelButton()->setFocus();
      QTest::keyClick(p->CancelButton(), Qt::Key_Return);
      QTest::keyClick(p, Qt::Key_Enter);
    }
    if (!escaped && w->Dialog().List().RowCount() >= 3) {
      escaped = true;
      QTest::keyClick(p, Qt::Key_Escape);
      stillOpenAfterEscape = p->isVisible();
    }
  });
  w.answers = {Answer::No};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  // Enter at the second pump did not cancel; Esc after three rows did.
  EXPECT_TRUE(escaped);
  EXPECT_LT(w->Dialog().List().RowCount(), 600);
  EXPECT_TRUE(stillOpenAfterEscape) << "Esc asks for a cancel; the engine closes the window";
  for (const auto& b : w.boxes) EXPECT_NE(b.text, "Do you want to scan vacant clusters?");
  EXPECT_GT(w->Dialog().List().RowCount(), 0);

  // The close box likewise only asks.
  ScriptedWindow again(ManyFiles());
  int seen = 0;
  bool stayed = false;
  again->Host().SetPumpHook([&] {
    ProgressWindow* p = again->Host().OpenProgressWindow();
    if (!p || ++seen != 3) return;
    p->close();
    stayed = p->isVisible();
  });
  QTest::mouseClick(again->SearchButton(), Qt::LeftButton);
  EXPECT_TRUE(stayed);
  for (const auto& b : again.boxes) EXPECT_NE(b.text, "Do you want to scan vacant clusters?");
}

TEST_F(ProgressWindowTest, ShowsWhatTheDialogLogicSays) {
  ScriptedWindow w({});
  ProgressDialog dialog(w->Host(), w->Host().CreateProgressView());
  std::int64_t now = 0;
  dialog.SetClock([&] { return now; });
  ASSERT_TRUE(dialog.Open(w->Dialog()));
  ProgressWindow* p = w->Host().OpenProgressWindow();
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(w->isEnabled());
  EXPECT_EQ(p->windowTitle(), "Ambrelic");
  EXPECT_FALSE(p->FileLabel()->isVisible());
  EXPECT_EQ(p->FileLabel()->text(), "Fichier :");
  EXPECT_EQ(p->PercentLabel()->text(), " 0 %");
  EXPECT_EQ(p->CancelButton()->text(), "&Cancel");
  EXPECT_TRUE(p->CancelButton()->isDefault());
  EXPECT_EQ(p->Bar()->value(), 0);

  dialog.BeginCount("Cluster:", 3000);
  dialog.ShowFileLabel();
  dialog.SetFileName("BUDGET.XLS");
  now += ProgressDialog::kRefreshMilliseconds;
  ASSERT_TRUE(dialog.Advance(15));
  EXPECT_TRUE(p->FileLabel()->isVisible());
  EXPECT_EQ(p->CountLabel()->text(), "Cluster:");
  EXPECT_EQ(p->CountText()->text(), "15 / 3000");
  EXPECT_EQ(p->FullFileName(), "BUDGET.XLS");
  // Within the same twenty-fifth of a second the window is not told again;
  // afterwards it is.
  ASSERT_TRUE(dialog.Advance(1500));
  EXPECT_EQ(p->CountText()->text(), "15 / 3000");
  now += ProgressDialog::kRefreshMilliseconds;
  ASSERT_TRUE(dialog.Advance(1500));
  EXPECT_EQ(p->CountText()->text(), "1500 / 3000");
  EXPECT_EQ(p->PercentLabel()->text(), "50%");
  EXPECT_EQ(p->Bar()->value(), 50);

  // Two presses before the engine looks are one request, gone once read.
  QTest::mouseClick(p->CancelButton(), Qt::LeftButton);
  QTest::mouseClick(p->CancelButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog.Advance(1600));
  EXPECT_TRUE(dialog.Advance(1700));

  dialog.Close();
  EXPECT_EQ(w->Host().OpenProgressWindow(), nullptr);
  EXPECT_TRUE(w->isEnabled());
}

TEST_F(ProgressWindowTest, ABoxBesideTheProgressWindowFindsItUpToDate) {
  ScriptedWindow w({});
  std::unique_ptr<disk::ProgressSink> sink = w->Dialog().OpenProgress();
  sink->BeginCount("File No:", 1000);
  for (std::uint64_t p = 0; p < 500; ++p) ASSERT_TRUE(sink->Advance(p));
  ProgressWindow* p = w->Host().OpenProgressWindow();
  ASSERT_NE(p, nullptr);
  QString shown;
  w->Host().SetMessageAnswerer([&](const MessageRequest&) {
    shown = p->CountText()->text();
    return Answer::Ok;
  });
  w->Dialog().ShowMessage("File writing failure.");
  EXPECT_EQ(shown, "499 / 1000");
}

TEST_F(ProgressWindowTest, CancelIsSeenAtTheNextPumpWhateverTheQueue) {
  // The event queue is handled a hundred times a second at most; a press
  // that reached the window is read at the very next pump.
  ScriptedWindow w({});
  std::unique_ptr<disk::ProgressSink> sink = w->Dialog().OpenProgress();
  sink->BeginCount("Cluster:", 1000);
  ProgressWindow* p = w->Host().OpenProgressWindow();
  ASSERT_NE(p, nullptr);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(sink->Advance(1));
    QTest::mouseClick(p->CancelButton(), Qt::LeftButton);
    EXPECT_TRUE(sink->TakeCancelRequest()) << round;
    EXPECT_FALSE(sink->TakeCancelRequest()) << round;
  }
}

}  // namespace
}  // namespace ambrelic::ui::qt
