#include "ui/progress_dialog.h"

#include <cstdio>

#include "platform/clock.h"

namespace ambrelic::ui {
namespace {

// Steps a single Advance may take. A position far beyond the total would
// otherwise step (and pump) for as long as the quotient says; the bar wraps
// at 100 anyway.
constexpr int kMaxStepsTarget = 10000;

}  // namespace

Answer DefaultAnswer(const MessageRequest& m) {
  switch (m.buttons) {
    case Buttons::Ok: return Answer::Ok;
    case Buttons::YesNo: return m.defaultButton == 0 ? Answer::Yes : Answer::No;
    case Buttons::RetryCancel: return m.defaultButton == 0 ? Answer::Retry : Answer::Cancel;
  }
  return Answer::Ok;
}

ProgressDialog::ProgressDialog(Host& host, std::unique_ptr<ProgressView> view)
    : host_(host), view_(std::move(view)) {}

ProgressDialog::~ProgressDialog() { Close(); }

bool ProgressDialog::Open(ProgressOwner& owner) {
  owner_ = &owner;
  if (owner.IsEnabled()) {
    owner.SetEnabled(false);
    ownerDisabled_ = 1;
  }
  if (!view_) {
    if (ownerDisabled_) owner.SetEnabled(true);
    ownerDisabled_ = 0;
    return false;
  }
  open_ = true;
  barPos_ = lower_;
  view_->SetCaption("Ambrelic");
  view_->SetBar(lower_, upper_, barPos_);
  view_->SetPercentText(percentText_);
  return true;
}

void ProgressDialog::Close() {
  // The last state is shown before the window goes (a terminal line keeps
  // it until it is erased).
  if (open_ && pending_ != 0) Refresh();
  if (owner_) {
    if (ownerDisabled_) owner_->SetEnabled(true);
    ownerDisabled_ = 0;
    ProgressOwner* owner = owner_;
    owner_ = nullptr;
    owner->ProgressClosed(this);
  }
  if (open_ && view_) view_->Close();
  open_ = false;
}

void ProgressDialog::BeginCount(const std::string& label, std::uint64_t total) {
  countLabel_ = label;
  step_ = 1;
  lower_ = 0;
  upper_ = 100;
  total_ = total;
  countText_ = label.empty() ? std::string() : std::to_string(total);
  stepsDone_ = 0;
  nextStepAt_ = NextStepPosition();
  if (open_) {
    view_->SetCountLabel(label);
    pending_ |= kBarPending;
    Refresh();
    // The first position of the new count is shown at once.
    refreshed_ = false;
  }
}

void ProgressDialog::ShowFileLabel() {
  fileLabelVisible_ = true;
  if (open_) view_->ShowFileLabel();
}

void ProgressDialog::SetFileName(const std::string& text) {
  fileName_ = text;
  pending_ |= kFilePending;
  MaybeRefresh(false);
}

void ProgressDialog::PumpMessages() {
  if (host_.PumpMessages()) cancelRequest_ = 1;
  // Every step pumps: a state left pending by the last report is shown
  // once its time has come, even when no report follows for a while.
  if (pending_ != 0) MaybeRefresh(false);
}

std::uint64_t ProgressDialog::NextStepPosition() const {
  // The least position p with p * 100 / total > stepsDone_.
  if (total_ == 0 || stepsDone_ >= kMaxStepsTarget) return ~std::uint64_t{0};
  const unsigned __int128 need = static_cast<unsigned __int128>(stepsDone_ + 1) * total_;
  const unsigned __int128 p = (need + 99) / 100;
  return p > ~std::uint64_t{0} ? ~std::uint64_t{0} : static_cast<std::uint64_t>(p);
}

std::int64_t ProgressDialog::Now() const {
  return clock_ ? clock_() : platform::TickMilliseconds();
}

void ProgressDialog::MaybeRefresh(bool force) {
  if (!open_ || pending_ == 0) return;
  if (!force && refreshed_ && Now() - lastRefresh_ < kRefreshMilliseconds) return;
  Refresh();
}

void ProgressDialog::Refresh() {
  if (!open_ || !view_) {
    pending_ = 0;
    return;
  }
  const unsigned what = pending_;
  pending_ = 0;
  // The percentage last: a terminal line redraws whole when it changes.
  if (what & kBarPending) view_->SetBar(lower_, upper_, barPos_);
  if (what & kFilePending) view_->SetFileName(fileName_);
  if (what & kCountPending) view_->SetCountText(CounterLine());
  if (what & kPercentPending) view_->SetPercentText(percentText_);
  refreshed_ = true;
  lastRefresh_ = Now();
  ++refreshes_;
}

const std::string& ProgressDialog::CounterLine() const {
  if (counterLineStale_) {
    counterLine_ = std::to_string(position_);
    counterLine_ += " / ";
    counterLine_ += countText_;
    counterLineStale_ = false;
  }
  return counterLine_;
}

bool ProgressDialog::TakeCancelRequest() {
  PumpMessages();
  const int taken = cancelRequest_;
  cancelRequest_ = 0;
  return taken == 1 || (owner_ && owner_->StopRequested());
}

int ProgressDialog::StepBar() {
  PumpMessages();
  const int previous = barPos_;
  // The bar control starts over from its lower end once a step passes the
  // upper one; the percentage follows the unwrapped value (ShowPercent).
  long long next = static_cast<long long>(barPos_) + step_;
  const long long span = static_cast<long long>(upper_) - lower_;
  if (span > 0 && (next > upper_ || next < lower_)) next = lower_ + (next - lower_) % span;
  barPos_ = static_cast<int>(next);
  pending_ |= kBarPending;
  ShowPercent(static_cast<long long>(previous) + step_);
  return previous;
}

void ProgressDialog::ShowPercent(long long position) {
  const long long span = static_cast<long long>(upper_) - lower_;
  if (span == 0) return;
  long long percent = (position - lower_) * 100 / span;
  if (percent != 100) percent %= 100;
  char text[32];
  std::snprintf(text, sizeof text, "%lld%%", percent);
  if (percentText_ != text) {
    percentText_ = text;
    pending_ |= kPercentPending;
  }
}

bool ProgressDialog::Advance(std::uint64_t position) {
  if (TakeCancelRequest()) return false;
  if (!countText_.empty()) {
    position_ = position;
    counterLineStale_ = true;
    pending_ |= kCountPending;
  }
  // A total of 0 has no fraction to show: the bar stays where it is. Below
  // the position of the next whole percent there is no step to take, and
  // most positions are (an engine advances per cluster or record).
  if (total_ != 0 && position >= nextStepAt_) {
    const unsigned __int128 scaled = static_cast<unsigned __int128>(position) * 100 / total_;
    const std::uint64_t target = scaled > kMaxStepsTarget ? kMaxStepsTarget : static_cast<std::uint64_t>(scaled);
    while (static_cast<std::uint64_t>(stepsDone_) < target) {
      StepBar();
      stepsDone_ += 1;
    }
    nextStepAt_ = NextStepPosition();
  }
  // The end of the count is shown as soon as it is reached.
  MaybeRefresh(total_ != 0 && position >= total_);
  return true;
}

}  // namespace ambrelic::ui
