// MainApp: the window runs until it is closed, and it is no application-
// modal dialog (its progress windows must take clicks while it waits).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QTest>
#include <QTimer>

#include "qt_test_support.h"
#include "support/test_support.h"
#include "ui/qt/main_app.h"
#include "ui/qt/main_window.h"

namespace ambrelic::ui::qt {
namespace {

TEST(MainAppTest, RunsTheWindowUntilEscapeClosesIt) {
  test::EnsureApplication();
  bool sawWindow = false;
  bool modal = true;
  QString drive;
  QTimer::singleShot(0, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* window = qobject_cast<MainWindow*>(w);
      if (!window || !window->isVisible()) continue;
      sawWindow = true;
      modal = window->isModal() || QApplication::activeModalWidget() != nullptr;
      drive = window->DriveCombo()->currentText();
      QTest::keyClick(window, Qt::Key_Escape);
    }
  });
  EXPECT_EQ(MainApp({test::SampleImage("fat16.img")}).Run(), 0);
  EXPECT_TRUE(sawWindow);
  EXPECT_FALSE(modal);
  EXPECT_TRUE(drive.endsWith("(C:)")) << drive.toStdString();
}

TEST(MainAppTest, UsageErrorsEndBeforeAnyWindow) {
  test::EnsureApplication();
  EXPECT_EQ(MainApp({"--bogus"}).Run(), 2);
  EXPECT_EQ(MainApp({"--help"}).Run(), 0);
}

}  // namespace
}  // namespace ambrelic::ui::qt
