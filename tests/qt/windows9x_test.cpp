// The window on the Windows 9x path: drives from the BIOS-disk service and
// the partition walk, options that no drive change disables, and a search
// through the BIOS disk.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>

#include "qt_test_support.h"
#include "support/test_support.h"
#include "ui/windows9x.h"

namespace ambrelic::ui::qt {
namespace {

TEST(Windows9xWindowTest, OptionsStayEnabledOnEveryDrive) {
  test::EnsureApplication();
  // A hard disk with a FAT16 and a FAT32 partition (Windows 9x gives NTFS
  // partitions no letter at all).
  const std::string disk = test::SampleImage("disk.img");
  Windows9xPlatform platform;
  const std::string failure =
      platform.Start({platform::DriveSource{disk, false, false}}, Windows9xOptions{}, AMBRELIC_PROGRAM_FOLDER);
  ASSERT_TRUE(failure.empty()) << failure;
  std::vector<platform::Drive> drives = platform.BuildDriveTable();
  ASSERT_EQ(drives.size(), 2u);

  MainWindow w(std::move(drives), &platform);
  std::vector<MessageRequest> boxes;
  w.Host().SetMessageAnswerer([&](const MessageRequest& m) {
    boxes.push_back(m);
    return DefaultAnswer(m);
  });
  w.show();
  ASSERT_EQ(w.DriveCombo()->count(), 2);
  for (int i : {1, 0, 1}) {
    w.DriveCombo()->setCurrentIndex(i);
    EXPECT_TRUE(w.IncludeUsedCheck()->isEnabled()) << i;
    EXPECT_TRUE(w.ScanAllAction()->isEnabled()) << i;
  }
  // The FAT drive searches through the BIOS disk all the same.
  w.DriveCombo()->setCurrentIndex(0);
  w.OnSearch();
  EXPECT_GT(w.Dialog().List().RowCount(), 0);
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes[0].text, "Do you want to scan vacant clusters?");
}

}  // namespace
}  // namespace ambrelic::ui::qt
