#include "ui/qt/stale_keys.h"

#include <QApplication>
#include <QInputEvent>
#include <QWidget>
#include <chrono>

namespace ambrelic::ui::qt {
namespace {

// Milliseconds of the monotonic clock, cut to 32 bits as the window
// system's times are (they wrap after 49 days; differences stay right).
std::uint32_t NowMilliseconds() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<std::uint32_t>(ms.count());
}

bool IsKeyEvent(QEvent::Type type) {
  return type == QEvent::KeyPress || type == QEvent::KeyRelease || type == QEvent::ShortcutOverride;
}

}  // namespace

StaleKeyFilter::StaleKeyFilter(QWidget& window) : window_(window) { qApp->installEventFilter(this); }

StaleKeyFilter::~StaleKeyFilter() {
  if (qApp) qApp->removeEventFilter(this);
}

void StaleKeyFilter::WindowEnabled(bool enabled) {
  if (!enabled) {
    disabled_ = true;
    return;
  }
  if (disabled_) enabledAt_ = NowMilliseconds();
  disabled_ = false;
}

bool StaleKeyFilter::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  const bool key = IsKeyEvent(type);
  const bool input = key || type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
                     type == QEvent::MouseMove || type == QEvent::Wheel;
  if (!input || !event->spontaneous()) return false;
  const auto time = static_cast<std::uint32_t>(static_cast<QInputEvent*>(event)->timestamp());
  if (time == 0) return false;
  const auto skew = static_cast<std::int32_t>(NowMilliseconds() - time);
  if (!skew_ || skew < *skew_) skew_ = skew;
  if (!key || !enabledAt_ || !watched->isWidgetType()) return false;
  auto* widget = static_cast<QWidget*>(watched);
  if (widget->window() != &window_) return false;
  const std::uint32_t pressedAt = time + static_cast<std::uint32_t>(*skew_);
  return static_cast<std::int32_t>(pressedAt - *enabledAt_) < 0;
}

}  // namespace ambrelic::ui::qt
