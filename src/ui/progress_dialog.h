// The progress window's logic: bar range and steps, the percentage and
// counter texts, and the cancel request that the engines read back. The
// window itself is a ProgressView (Qt window, terminal line, or nothing).
// Everything runs on one thread; PumpMessages is what keeps a window alive
// and lets Cancel arrive while an engine works.
#pragma once

#include <cstdint>
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

  // State, for views and tests.
  int StepsDone() const { return stepsDone_; }
  int BarPosition() const { return barPos_; }
  const std::string& PercentText() const { return percentText_; }
  const std::string& CountText() const { return countText_; }
  const std::string& CounterLine() const { return counterLine_; }  // static 1007
  const std::string& CountLabel() const { return countLabel_; }
  const std::string& FileName() const { return fileName_; }
  bool FileLabelVisible() const { return fileLabelVisible_; }
  bool IsOpen() const { return open_; }
  std::uint64_t Total() const { return total_; }

 private:
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
  int barPos_ = 0;

  std::string percentText_ = " 0 %";
  std::string counterLine_;
  std::string countLabel_;
  std::string fileName_;
  bool fileLabelVisible_ = false;
};

}  // namespace ambrelic::ui
