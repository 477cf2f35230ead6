#include "ui/progress_dialog.h"

#include <gtest/gtest.h>

#include "ui/test_host.h"

namespace ambrelic::ui {
namespace {

struct Owner : ProgressOwner {
  bool IsEnabled() const override { return enabled; }
  void SetEnabled(bool e) override { enabled = e; }
  void ProgressClosed(ProgressDialog*) override { ++closed; }
  bool enabled = true;
  int closed = 0;
};

// Records what the window would show.
struct View : ProgressView {
  void SetCaption(const std::string& t) override { caption = t; }
  void ShowFileLabel() override { fileLabel = true; }
  void SetFileName(const std::string& t) override { file = t; }
  void SetCountLabel(const std::string& t) override { label = t; }
  void SetCountText(const std::string& t) override { count = t; }
  void SetPercentText(const std::string& t) override {
    percent = t;
    ++percentWrites;
  }
  void SetBar(int, int, int p) override { bar = p; }
  void Close() override { closed = true; }
  std::string caption, file, label, count, percent;
  bool fileLabel = false, closed = false;
  int bar = -1, percentWrites = 0;
};

class ProgressDialogTest : public ::testing::Test {
 protected:
  // A dialog on a clock that moves only when the test moves it.
  ProgressDialog& Make() {
    auto v = std::make_unique<View>();
    view = v.get();
    dialog = std::make_unique<ProgressDialog>(host, std::move(v));
    dialog->SetClock([this] { return now; });
    dialog->Open(owner);
    return *dialog;
  }
  std::int64_t now = 1000;
  TestHost host;
  Owner owner;
  View* view = nullptr;
  std::unique_ptr<ProgressDialog> dialog;
};

TEST_F(ProgressDialogTest, OpenDisablesOwnerUntilClosed) {
  ProgressDialog& d = Make();
  EXPECT_FALSE(owner.enabled);
  EXPECT_EQ(view->caption, "Ambrelic");
  EXPECT_EQ(d.PercentText(), " 0 %");
  EXPECT_EQ(view->bar, 0);
  dialog.reset();
  EXPECT_TRUE(owner.enabled);
  EXPECT_EQ(owner.closed, 1);
}

TEST_F(ProgressDialogTest, OpenWithoutWindowReenablesOwner) {
  ProgressDialog d(host, nullptr);
  EXPECT_FALSE(d.Open(owner));
  EXPECT_TRUE(owner.enabled);
  // The logic still works without a window.
  d.BeginCount("Cluster:", 10);
  EXPECT_TRUE(d.Advance(5));
  EXPECT_EQ(d.StepsDone(), 50);
}

TEST_F(ProgressDialogTest, TwoHundredPositionsGiveNinetyNineSteps) {
  ProgressDialog& d = Make();
  d.BeginCount("", 200);
  for (std::uint64_t p = 0; p < 200; ++p) ASSERT_TRUE(d.Advance(p));
  EXPECT_EQ(d.StepsDone(), 99);
  EXPECT_EQ(d.PercentText(), "99%");
  d.Refresh();
  EXPECT_EQ(view->percent, "99%");
  EXPECT_EQ(d.CounterLine(), "");
  EXPECT_EQ(view->count, "");
  EXPECT_TRUE(d.Advance(200));
  EXPECT_EQ(d.PercentText(), "100%");
  EXPECT_EQ(d.BarPosition(), 100);
}

TEST_F(ProgressDialogTest, PercentageWrapsButExactlyHundredStays) {
  ProgressDialog& d = Make();
  d.ShowPercent(100);
  EXPECT_EQ(d.PercentText(), "100%");
  d.ShowPercent(101);
  EXPECT_EQ(d.PercentText(), "1%");
  d.ShowPercent(200);
  EXPECT_EQ(d.PercentText(), "0%");
  const int writes = view->percentWrites;
  d.ShowPercent(200);
  EXPECT_EQ(view->percentWrites, writes) << "the same text is not set again";
  // Beyond the total the bar wraps with the text.
  d.BeginCount("", 10);
  EXPECT_TRUE(d.Advance(15));
  EXPECT_EQ(d.StepsDone(), 150);
  EXPECT_EQ(d.PercentText(), "50%");
  EXPECT_EQ(d.BarPosition(), 50);
}

TEST_F(ProgressDialogTest, CountTextAndLabels) {
  ProgressDialog& d = Make();
  d.BeginCount("Cluster:", 3000);
  EXPECT_EQ(d.CountText(), "3000");
  EXPECT_EQ(view->label, "Cluster:");
  EXPECT_TRUE(d.Advance(15));
  EXPECT_EQ(d.CounterLine(), "15 / 3000");
  EXPECT_EQ(view->count, "15 / 3000") << "the first report is shown at once";
  d.BeginCount("", 3000);
  EXPECT_EQ(d.CountText(), "");
  EXPECT_EQ(d.StepsDone(), 0);
  d.ShowFileLabel();
  d.SetFileName("A.TXT");
  EXPECT_TRUE(view->fileLabel);
  now += ProgressDialog::kRefreshMilliseconds;
  d.SetFileName("B.TXT");
  EXPECT_EQ(view->file, "B.TXT");
}

TEST_F(ProgressDialogTest, ViewIsToldAtMostTwentyFiveTimesASecondButCancelIsReadAtEveryStep) {
  ProgressDialog& d = Make();
  d.BeginCount("Cluster:", 100000);
  d.ShowFileLabel();
  const long before = d.Refreshes();
  const long pumps = host.pumps;
  // A hundred thousand steps within one refresh interval: the view hears of
  // the first, and of nothing else, while every step pumps.
  for (std::uint64_t p = 2; p < 100000; ++p) {
    ASSERT_TRUE(d.Advance(p));
    if (p % 1000 == 0) d.SetFileName("FILE" + std::to_string(p));
  }
  EXPECT_EQ(host.pumps - pumps, 99998 + 99) << "one pump per Advance, and one per bar step";
  EXPECT_EQ(d.Refreshes() - before, 1);
  EXPECT_EQ(view->count, "2 / 100000");
  EXPECT_EQ(d.CounterLine(), "99999 / 100000");
  // Once the interval has passed, the next step shows where things stand.
  now += ProgressDialog::kRefreshMilliseconds;
  ASSERT_TRUE(d.Advance(99999));
  EXPECT_EQ(view->count, "99999 / 100000");
  EXPECT_EQ(view->percent, "99%");
  EXPECT_EQ(view->file, "FILE99000");
  EXPECT_EQ(view->bar, 99);
  // A state left behind by the last report reaches the view at the next
  // pump once its time has come, even without a report.
  d.SetFileName("LAST.TXT");
  EXPECT_EQ(view->file, "FILE99000");
  now += ProgressDialog::kRefreshMilliseconds;
  EXPECT_FALSE(d.TakeCancelRequest());
  EXPECT_EQ(view->file, "LAST.TXT");
  // The end of the count is shown at once.
  ASSERT_TRUE(d.Advance(100000));
  EXPECT_EQ(view->count, "100000 / 100000");
  EXPECT_EQ(view->percent, "100%");
  EXPECT_EQ(view->bar, 100);
  // Cancel is seen at the very next step, whatever the view was told.
  host.cancelAtPump = host.pumps + 1;
  EXPECT_FALSE(d.Advance(100000));
}

TEST_F(ProgressDialogTest, LastStateIsShownBeforeTheWindowCloses) {
  ProgressDialog& d = Make();
  d.BeginCount("File No:", 5000);
  ASSERT_TRUE(d.Advance(1));
  ASSERT_TRUE(d.Advance(4321));
  d.SetFileName("LAST.DOC");
  EXPECT_EQ(view->count, "1 / 5000");
  d.Close();
  EXPECT_EQ(view->count, "4321 / 5000");
  EXPECT_EQ(view->file, "LAST.DOC");
  EXPECT_EQ(view->percent, "86%");
  EXPECT_TRUE(view->closed);
}

TEST_F(ProgressDialogTest, TotalZeroDoesNotDivide) {
  ProgressDialog& d = Make();
  d.BeginCount("File No:", 0);
  EXPECT_TRUE(d.Advance(0));
  EXPECT_TRUE(d.Advance(7));
  EXPECT_EQ(d.StepsDone(), 0);
  EXPECT_EQ(d.CounterLine(), "7 / 0");
}

TEST_F(ProgressDialogTest, DoubleCancelIsOneRequestConsumedWhenRead) {
  ProgressDialog& d = Make();
  d.BeginCount("", 100);
  d.RequestCancel();
  d.RequestCancel();
  EXPECT_TRUE(d.TakeCancelRequest());
  EXPECT_FALSE(d.TakeCancelRequest());
  d.RequestCancel();
  EXPECT_FALSE(d.Advance(1));
  EXPECT_TRUE(d.Advance(2));
}

TEST_F(ProgressDialogTest, PumpTurnsHostCancelIntoRequest) {
  ProgressDialog& d = Make();
  d.BeginCount("", 100);
  host.cancelAtPump = 3;
  EXPECT_TRUE(d.Advance(0));   // pump 1
  EXPECT_TRUE(d.Advance(0));   // pump 2
  EXPECT_FALSE(d.Advance(1));  // pump 3: Cancel
  EXPECT_TRUE(d.Advance(1));
}

}  // namespace
}  // namespace ambrelic::ui
