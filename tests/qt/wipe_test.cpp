// "&Supprimer Complètement" from the menu: two confirmations naming the
// drive, each a Yes/No box with No as default and the stop icon; only Yes to
// both lets the wipe write.
#include <gtest/gtest.h>

#include <QAction>

#include "qt_test_support.h"
#include "support/test_support.h"

namespace ambrelic::ui::qt {
namespace {

TEST(WipeFromWindowTest, TwoConfirmationsAndNoStopsWithoutWriting) {
  test::EnsureApplication();
  // A copy of the sample: the wipe writes to it.
  const std::string dir = test::MakeTempDir("qt-wipe");
  const std::string image = dir + "/card.img";
  test::WriteFileBytes(image, test::ReadFileBytes(test::SampleImage("fat16.img")));
  const std::string before = test::Sha256Of(image);

  test::ScriptedWindow w({platform::DriveSource{image, false, false}});
  ASSERT_TRUE(w->DeleteCompletelyAction()->isEnabled());
  const std::string first =
      "Delete completely all deleted files on C:\\ drive not to be restored.\n(This function doesn't affect to "
      "existing files.)\n\nDo you want to continue?";
  const std::string second =
      "Before you run this function, Please check C:\\ drive and repair all errors if it has any.\nPlease close all "
      "running applications, if any.\n\nDo you want to continue?";

  w.answers = {Answer::No};
  w->DeleteCompletelyAction()->trigger();
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text, first);
  EXPECT_EQ(w.boxes[0].buttons, Buttons::YesNo);
  EXPECT_EQ(w.boxes[0].defaultButton, 1);
  EXPECT_EQ(w.boxes[0].icon, Icon::Stop);
  EXPECT_EQ(test::Sha256Of(image), before);

  w.boxes.clear();
  w.answers = {Answer::Yes, Answer::No};
  w->DeleteCompletelyAction()->trigger();
  ASSERT_EQ(w.boxes.size(), 2u);
  EXPECT_EQ(w.boxes[1].text, second);
  EXPECT_EQ(w.boxes[1].icon, Icon::Stop);
  EXPECT_EQ(w.boxes[1].defaultButton, 1);
  EXPECT_EQ(test::Sha256Of(image), before);
  EXPECT_TRUE(w->isEnabled());
}

}  // namespace
}  // namespace ambrelic::ui::qt
