// "Ouvrir une image…" in the window: the image's drives join the drive
// list and the first is selected; each drive's tooltip tells its source,
// file system and size; with no drive this user can read, the window says
// so and what to do, until an image is opened.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <cerrno>

#include "qt_test_support.h"
#include "support/test_support.h"

namespace ambrelic::ui::qt {
namespace {

using test::ScriptedWindow;

TEST(OpenImage, AnOpenedImageAddsItsDrivesAfterTheListedOnes) {
  test::EnsureApplication();
  const std::string fat = test::FixtureImage("make_fat_images.sh", "fat32.img");
  const std::string ntfs = test::FixtureImage("make_qt_images.sh", "qt-ntfs.img");
  ScriptedWindow w({{ntfs, false, false, {}}});
  ASSERT_EQ(w->DriveCombo()->count(), 1);
  const QString tip = w->DriveCombo()->itemData(0, Qt::ToolTipRole).toString();
  EXPECT_TRUE(tip.contains(QString::fromStdString("Source : " + ntfs))) << tip.toStdString();
  EXPECT_TRUE(tip.contains(QStringLiteral("Système de fichiers : NTFS"))) << tip.toStdString();
  EXPECT_TRUE(tip.contains(QStringLiteral("Taille : "))) << tip.toStdString();

  ASSERT_NE(w->OpenImageAction(), nullptr);
  EXPECT_EQ(w->OpenImageAction()->text(), QStringLiteral("Ouvrir une image…"));
  int asked = 0;
  w->SetImagePicker([&] {
    ++asked;
    return QString::fromStdString(fat);
  });
  w->OpenImageAction()->trigger();
  EXPECT_EQ(asked, 1);
  ASSERT_EQ(w->DriveCombo()->count(), 2);
  EXPECT_EQ(w->DriveCombo()->currentIndex(), 1);
  EXPECT_TRUE(w->DriveCombo()->itemText(1).endsWith(QStringLiteral("(D:)"))) << w->DriveCombo()->itemText(1).toStdString();
  EXPECT_TRUE(w->DriveCombo()->itemData(1, Qt::ToolTipRole).toString().contains(QStringLiteral("FAT32")));
  // Cancel in the file dialog changes nothing.
  w->SetImagePicker([] { return QString(); });
  w->OpenImageAction()->trigger();
  EXPECT_EQ(w->DriveCombo()->count(), 2);
  // A path that cannot be opened is told, and adds nothing.
  w->SetImagePicker([] { return QStringLiteral("/nonexistent/card.img"); });
  w->OpenImageAction()->trigger();
  EXPECT_EQ(w->DriveCombo()->count(), 2);
  ASSERT_FALSE(w.boxes.empty());
  EXPECT_NE(w.boxes.back().text.find("No such file or directory"), std::string::npos) << w.boxes.back().text;
}

TEST(OpenImage, WithNoReadableDriveTheWindowSaysWhatToDo) {
  test::EnsureApplication();
  const std::string fat = test::FixtureImage("make_fat_images.sh", "fat32.img");
  MainWindow w({});
  w.show();
  w.SetUnreadableSources({{"/dev/sda", EACCES}, {"/dev/sdb", EACCES}});
  EXPECT_TRUE(w.ClearingNotice()->isVisible());
  EXPECT_EQ(w.ClearingNotice()->text().toStdString(),
            "No drive can be read as this user: run Ambrelic as root (for example pkexec ambrelic) or open an image "
            "with «Ouvrir une image…».");
  ASSERT_TRUE(w.OpenImage(QString::fromStdString(fat)));
  EXPECT_FALSE(w.ClearingNotice()->isVisible());
  EXPECT_EQ(w.DriveCombo()->count(), 1);
  EXPECT_EQ(w.DriveCombo()->itemText(0).right(4), QStringLiteral("(C:)"));
}

TEST(OpenImage, ReadableDrivesNeedNoWord) {
  test::EnsureApplication();
  const std::string fat = test::FixtureImage("make_fat_images.sh", "fat32.img");
  ScriptedWindow w({{fat, false, false, {}}});
  w->SetUnreadableSources({{"/dev/sda", EACCES}});
  EXPECT_FALSE(w->ClearingNotice()->isVisible());
}

}  // namespace
}  // namespace ambrelic::ui::qt
