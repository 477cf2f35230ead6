// Keys pressed while the main window was disabled (a progress window open
// over it) but handled only once it is enabled again: the window system
// delivers them late, after the engine's last event pump, and an Esc meant
// for the progress window would then end the program. They are dropped.
//
// A key event carries the window system's time of the press. That clock is
// not ours, so the filter learns its offset from every input event it sees
// (the least difference between our clock at delivery and the event's
// time); a press whose time, so corrected, comes before the moment the
// window was enabled again was made while it was disabled. Events without
// a time (synthesised ones) are always let through.
#pragma once

#include <QObject>
#include <cstdint>
#include <optional>

class QWidget;

namespace ambrelic::ui::qt {

class StaleKeyFilter : public QObject {
 public:
  // Watches the key events of `window` and its children (installed on the
  // application, so it also sees the input of every other window).
  explicit StaleKeyFilter(QWidget& window);
  ~StaleKeyFilter() override;

  // The window was disabled, or enabled again, now.
  void WindowEnabled(bool enabled);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget& window_;
  bool disabled_ = false;
  std::optional<std::int32_t> skew_;  // our milliseconds minus the event's, least seen
  std::optional<std::uint32_t> enabledAt_;  // our milliseconds, truncated as the event times are
};

}  // namespace ambrelic::ui::qt
