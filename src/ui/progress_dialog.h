// The progress window's logic: bar range and steps, the percentage and
// counter texts, and the cancel request that the engines read back. The
// window itself is a ProgressView (Qt window, terminal line, or nothing).
// Everything runs on one thread; PumpMessages is what keeps a window alive
// and lets Cancel arrive while an engine works.
//
// The engines report at every cluster, record or row, far more often than
// anyone can read: the state here follows every call, but the view is told
// of it at most kRefreshMilliseconds apart (and at once when the position
// reaches the total, before a message box and when the dialog closes), so
// that laying out and painting the texts never costs more than the work.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "disk/sinks.h"
#include "ui/host.h"

namespace ambrelic::ui {

class ProgressDialog;

// The window a progress dialog disables while it is open (MainDialog).
class ProgressOwner {
 public:
  virtual ~ProgressOwner() = default;
  virtual bool IsEnabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  // Told when the dialog closes, so that it stops being the active one.
  virtual void ProgressClosed(ProgressDialog* dialog) {}
  // True when the running command must end as if cancelled (the device it
  // reads stopped answering).
  virtual bool StopRequested() const { return false; }
};

class ProgressDialog : public disk::ProgressSink {
 public:
  // The view is refreshed at most this often: 25 times a second.
  static constexpr std::int64_t kRefreshMilliseconds = 40;
  // Milliseconds of a monotonic clock (tests give their own).
  using Clock = std::function<std::int64_t()>;

  ProgressDialog(Host& host, std::unique_ptr<ProgressView> view);
  ~ProgressDialog() override;  // closes the window when still open
  ProgressDialog(const ProgressDialog&) = delete;
  ProgressDialog& operator=(const ProgressDialog&) = delete;

  // Disables the owner (when enabled) and shows the window. False when the
  // host could not make a window; the owner is then enabled again.
  bool Open(ProgressOwner& owner);
  void Close();

  // disk::ProgressSink
  void BeginCount(const std::string& label, std::uint64_t total) override;
  void ShowFileLabel() override;
  void SetFileName(const std::string& text) override;
  bool Advance(std::uint64_t position) override;
  bool TakeCancelRequest() override;

  // Cancel button, Esc or the close box: sets the request, keeps the window.
  void RequestCancel() { cancelRequest_ = 1; }

  void PumpMessages();
  int StepBar();
  void ShowPercent(long long position);

  // Tells the view what it has not been told yet, whenever the last
  // refresh was.
  void Refresh();
  void SetClock(Clock clock) { clock_ = std::move(clock); }
  // Times the view was told of a new state (tests).
  long Refreshes() const { return refreshes_; }

  // State, for views and tests.
  int StepsDone() const { return stepsDone_; }
  int BarPosition() const { return barPos_; }
  const std::string& PercentText() const { return percentText_; }
  const std::string& CountText() const { return countText_; }
  const std::string& CounterLine() const;  // static 1007
  const std::string& CountLabel() const { return countLabel_; }
  const std::string& FileName() const { return fileName_; }
  bool FileLabelVisible() const { return fileLabelVisible_; }
  bool IsOpen() const { return open_; }
  std::uint64_t Total() const { return total_; }

 private:
  // What the view has not been told yet.
  enum Pending : unsigned { kBarPending = 1, kPercentPending = 2, kCountPending = 4, kFilePending = 8 };
  // Refreshes the view when something is pending and the last refresh is
  // kRefreshMilliseconds old (or at once with force).
  void MaybeRefresh(bool force);
  std::int64_t Now() const;
  // The first position whose whole percent is beyond the steps done.
  std::uint64_t NextStepPosition() const;

  Host& host_;
  std::unique_ptr<ProgressView> view_;
  ProgressOwner* owner_ = nullptr;
  bool open_ = false;

  int lower_ = 0;
  int upper_ = 100;
  int step_ = 1;
  int cancelRequest_ = 0;
  int ownerDisabled_ = 0;
  std::uint64_t total_ = 0;
  std::string countText_;
  int stepsDone_ = 0;
  std::uint64_t nextStepAt_ = 0;
  int barPos_ = 0;

  std::string percentText_ = " 0 %";
  // The counter line is made from the last position only when someone
  // reads it: the engines advance far more often than it is shown.
  std::uint64_t position_ = 0;
  mutable std::string counterLine_;
  mutable bool counterLineStale_ = false;
  std::string countLabel_;
  std::string fileName_;
  bool fileLabelVisible_ = false;

  Clock clock_;
  unsigned pending_ = 0;
  bool refreshed_ = false;  // the view has been refreshed at least once
  std::int64_t lastRefresh_ = 0;
  long refreshes_ = 0;
};

}  // namespace ambrelic::ui
