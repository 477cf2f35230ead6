// An exFAT drive in the window: listed in the drive combo, the cluster
// options enabled as on FAT (where an NTFS drive grays them), and a search
// that asks about the vacant clusters and fills the view.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include "qt_test_support.h"
#include "support/test_support.h"

namespace ambrelic::ui::qt {
namespace {

using test::ScriptedWindow;

TEST(ExfatWindow, AnExfatDriveBehavesAsAFatOne) {
  test::EnsureApplication();
  const std::string exfat = test::FixtureImage("make_exfat_images.sh", "exfat-c4096.img");
  const std::string ntfs = test::FixtureImage("make_qt_images.sh", "qt-ntfs.img");
  ScriptedWindow w({{ntfs, false, false}, {exfat, false, false}});
  ASSERT_EQ(w->DriveCombo()->count(), 2);
  EXPECT_EQ(w->DriveCombo()->itemText(1), "AMB4096 (D:)");
  EXPECT_FALSE(w->IncludeUsedCheck()->isEnabled()) << "C: is NTFS";

  w->DriveCombo()->setCurrentIndex(1);
  EXPECT_TRUE(w->IncludeUsedCheck()->isEnabled());
  EXPECT_TRUE(w->IncludeUsedLine1()->isEnabled());
  EXPECT_TRUE(w->IncludeUsedLine2()->isEnabled());
  EXPECT_TRUE(w->ScanAllAction()->isEnabled());

  w.answers = {ui::Answer::Yes};
  QTest::mouseClick(w->SearchButton(), Qt::LeftButton);
  ASSERT_FALSE(w.boxes.empty());
  EXPECT_EQ(w.boxes[0].text, "Do you want to scan vacant clusters?");
  QAbstractItemModel* m = w->ResultsView()->model();
  ASSERT_EQ(m->columnCount(), 5);
  EXPECT_EQ(m->headerData(4, Qt::Horizontal).toString(), "Cluster");
  // The designed width, widened when the column's widest number needs more.
  EXPECT_GE(w->ResultsView()->columnWidth(4), w->ColumnPixels(70));
  EXPECT_GT(m->rowCount(), 40);
  EXPECT_EQ(m->rowCount(), w->Dialog().List().RowCount());
}

}  // namespace
}  // namespace ambrelic::ui::qt
