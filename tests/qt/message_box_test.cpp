#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "qt_test_support.h"
#include "ui/qt/qt_host.h"

namespace ambrelic::ui::qt {
namespace {

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureApplication(); }
};

TEST_F(MessageBoxTest, InformationHasOkOnlyAndNoIcon) {
  auto box = BuildMessageBox(MessageRequest{"No files were found.", Buttons::Ok, Icon::None, 0}, nullptr);
  EXPECT_EQ(box->windowTitle(), "Ambrelic");
  EXPECT_EQ(box->text(), "No files were found.");
  EXPECT_EQ(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Ok));
  EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
}

TEST_F(MessageBoxTest, QuestionsDefaultToNoAndDestructiveOnesCarryTheStopIcon) {
  auto plain = BuildMessageBox(
      MessageRequest{"Do you want to scan vacant clusters?", Buttons::YesNo, Icon::None, 1}, nullptr);
  EXPECT_EQ(plain->standardButtons(), QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(plain->defaultButton(), plain->button(QMessageBox::No));
  EXPECT_EQ(plain->icon(), QMessageBox::NoIcon);

  auto stop = BuildMessageBox(MessageRequest{"Delete completely?", Buttons::YesNo, Icon::Stop, 1}, nullptr);
  EXPECT_EQ(stop->defaultButton(), stop->button(QMessageBox::No));
  EXPECT_EQ(stop->icon(), QMessageBox::Critical);
}

TEST_F(MessageBoxTest, DiskChecksOfferRetryAndCancelWithTheStopIcon) {
  const std::string text = "The disk in selected drive is different from searched disk.\n\nI recommend you to search files again.";
  auto box = BuildMessageBox(MessageRequest{text, Buttons::RetryCancel, Icon::Stop, 0}, nullptr);
  EXPECT_EQ(box->standardButtons(), QMessageBox::Retry | QMessageBox::Cancel);
  EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Retry));
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  // Line breaks are kept as they are; the text is never read as markup.
  EXPECT_EQ(box->text().toStdString(), text);
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
}

TEST_F(MessageBoxTest, AModalBoxAnswersWithTheButtonPressed) {
  test::ScriptedWindow w({});
  w->Host().SetMessageAnswerer(nullptr);
  // Enter presses the default button of the real box: No.
  QTimer::singleShot(0, [] {
    QWidget* box = QApplication::activeModalWidget();
    ASSERT_NE(box, nullptr);
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    mb->defaultButton()->click();
  });
  EXPECT_EQ(w->Host().ShowMessage(MessageRequest{"Continue?", Buttons::YesNo, Icon::None, 1}), Answer::No);
  QTimer::singleShot(0, [] {
    auto* mb = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(mb, nullptr);
    mb->button(QMessageBox::Retry)->click();
  });
  EXPECT_EQ(w->Host().ShowMessage(MessageRequest{"Again?", Buttons::RetryCancel, Icon::Stop, 0}), Answer::Retry);
  ASSERT_EQ(w->Host().Messages().size(), 2u);
  EXPECT_EQ(w->Host().Messages()[1].text, "Again?");
}

TEST_F(MessageBoxTest, SaveAsGoesThroughTheSeam) {
  test::ScriptedWindow w({});
  std::vector<SaveAsRequest> seen;
  w->Host().SetSaveAsAnswerer([&](const SaveAsRequest& r) -> std::optional<std::string> {
    seen.push_back(r);
    if (seen.size() == 1) return std::nullopt;
    return std::string("/tmp/target/Restored");
  });
  Host& host = w->Host();
  EXPECT_FALSE(host.AskSaveAs("Save As", "All Files(*.*)", "Restored").has_value());
  EXPECT_EQ(host.AskSaveAs("Save As", "All Files(*.*)", "notes.txt"), std::optional<std::string>("/tmp/target/Restored"));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].title, "Save As");
  EXPECT_EQ(seen[0].filter, "All Files(*.*)");
  EXPECT_EQ(seen[0].prefilledName, "Restored");
  EXPECT_EQ(seen[1].prefilledName, "notes.txt");
  EXPECT_EQ(w->Host().SaveAsRequests().size(), 2u);
}

}  // namespace
}  // namespace ambrelic::ui::qt
