#include "ui/qt/qt_host.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStyle>
#include <QPushButton>
#include <QWindow>

#include "platform/clock.h"
#include "ui/qt/main_window.h"
#include "ui/qt/progress_window.h"

namespace ambrelic::ui::qt {

std::unique_ptr<QMessageBox> BuildMessageBox(const MessageRequest& request, QWidget* parent) {
  auto box = std::make_unique<QMessageBox>(parent);
  box->setWindowTitle(QStringLiteral("Ambrelic"));
  box->setText(QString::fromStdString(request.text));
  box->setTextFormat(Qt::PlainText);
  box->setIcon(request.icon == Icon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon);
  QMessageBox::StandardButton first = QMessageBox::Ok;
  QMessageBox::StandardButton second = QMessageBox::NoButton;
  switch (request.buttons) {
    case Buttons::Ok:
      break;
    case Buttons::YesNo:
      first = QMessageBox::Yes;
      second = QMessageBox::No;
      break;
    case Buttons::RetryCancel:
      first = QMessageBox::Retry;
      second = QMessageBox::Cancel;
      break;
  }
  box->setStandardButtons(second == QMessageBox::NoButton ? QMessageBox::StandardButtons(first)
                                                          : QMessageBox::StandardButtons(first | second));
  box->setDefaultButton(request.defaultButton == 1 && second != QMessageBox::NoButton ? second : first);
  // A short message makes a narrow box, and the window manager then cuts
  // the caption to fit its buttons beside it ("Am…elic"). A row as wide as
  // the caption needs keeps the box from getting narrower than that.
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    grid->addItem(new QSpacerItem(MessageBoxMinimumWidth(*box), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  return box;
}

int MessageBoxMinimumWidth(const QWidget& box) {
  // The caption in a bold title font, and room for the window menu icon,
  // three title-bar buttons and the gaps between them (openbox cuts the
  // caption of a box narrower than that).
  QFont title = QApplication::font("QMdiSubWindowTitleBar");
  title.setBold(true);
  const int bar = std::max(box.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &box), 24);
  return QFontMetrics(title).horizontalAdvance(box.windowTitle()) + 6 * bar;
}

namespace {

Answer AnswerOf(QMessageBox::StandardButton button, const MessageRequest& request) {
  switch (button) {
    case QMessageBox::Ok: return Answer::Ok;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    case QMessageBox::Retry: return Answer::Retry;
    case QMessageBox::Cancel: return Answer::Cancel;
    default: return DefaultAnswer(request);
  }
}

}  // namespace

// The view a ProgressDialog drives: one ProgressWindow, deleted when the
// dialog closes.
class QtProgressView : public ProgressView {
 public:
  QtProgressView(QtHost& host, ProgressWindow* window) : host_(host), window_(window) {}
  ~QtProgressView() override { Close(); }

  void SetCaption(const std::string& text) override {
    if (window_) window_->setWindowTitle(QString::fromStdString(text));
  }
  void ShowFileLabel() override {
    if (window_) window_->ShowFileLabel();
  }
  void SetFileName(const std::string& text) override {
    if (window_) window_->SetFileName(QString::fromStdString(text));
  }
  void SetCountLabel(const std::string& text) override {
    if (window_) window_->SetCountLabel(QString::fromStdString(text));
  }
  void SetCountText(const std::string& text) override {
    if (window_) window_->SetCountText(QString::fromStdString(text));
  }
  void SetPercentText(const std::string& text) override {
    if (window_) window_->SetPercentText(QString::fromStdString(text));
  }
  void SetBar(int lower, int upper, int position) override {
    if (window_) window_->SetBar(lower, upper, position);
  }
  void Close() override {
    if (!window_) return;
    // Closed by the engine, never from one of the window's own handlers
    // (they only set the cancel request), so it can go at once.
    delete window_.data();
    window_ = nullptr;
    host_.cancelRequested_ = false;
  }

 private:
  QtHost& host_;
  QPointer<ProgressWindow> window_;
};

QtHost::QtHost(MainWindow& window) : window_(window) {}

QtHost::~QtHost() {
  while (waitDepth_ > 0) SetWaitCursor(false);
}

Answer QtHost::ShowMessage(const MessageRequest& message) {
  messages_.push_back(message);
  window_.SyncView();
  if (messageAnswerer_) return messageAnswerer_(message);
  std::unique_ptr<QMessageBox> box = BuildMessageBox(message, &window_);
  // The wait cursor would hide that the box wants an answer.
  const int depth = waitDepth_;
  for (int i = 0; i < depth; ++i) QApplication::restoreOverrideCursor();
  box->exec();
  for (int i = 0; i < depth; ++i) QApplication::setOverrideCursor(Qt::WaitCursor);
  QAbstractButton* clicked = box->clickedButton();
  const auto button = clicked ? box->standardButton(clicked) : QMessageBox::NoButton;
  return AnswerOf(button, message);
}

void QtHost::SetFocus(FocusTarget target) { window_.FocusControl(target); }

void QtHost::SetWaitCursor(bool on) {
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++waitDepth_;
  } else if (waitDepth_ > 0) {
    QApplication::restoreOverrideCursor();
    --waitDepth_;
  }
}

void QtHost::ShowNotice(bool visible, const std::string& text) { window_.ShowClearingNotice(visible, text); }

std::unique_ptr<ProgressView> QtHost::CreateProgressView() {
  auto* w = new ProgressWindow([this] { RequestCancel(); });
  w->setWindowIcon(window_.windowIcon());
  cancelRequested_ = false;
  progress_ = w;
  // Above the main window and centred on it, as the owner's dialog.
  w->winId();
  if (window_.windowHandle() && w->windowHandle()) w->windowHandle()->setTransientParent(window_.windowHandle());
  const QRect owner = window_.frameGeometry();
  w->move(owner.center() - QPoint(w->width() / 2, w->height() / 2));
  w->show();
  return std::make_unique<QtProgressView>(*this, w);
}

ProgressWindow* QtHost::OpenProgressWindow() const { return progress_.data(); }

bool QtHost::PumpMessages() {
  if (pumpHook_) pumpHook_();
  // The engines pump at every cluster, record and entry; handling the
  // event queue costs microseconds even when it is empty, more than a
  // cluster's work. The queue is handled when it was last handled
  // kPumpMilliseconds ago, which a user never notices; the cancel request
  // it may bring is read at every call.
  const std::int64_t now = platform::TickMilliseconds();
  if (!pumped_ || now - lastPump_ >= kPumpMilliseconds) {
    window_.SyncViewFromPump();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    pumped_ = true;
    lastPump_ = platform::TickMilliseconds();
  }
  const bool cancel = cancelRequested_;
  cancelRequested_ = false;
  return cancel;
}

void QtHost::CounterChanged(const std::string& text) { window_.SetCounterText(text); }

std::string QtHost::FileMessageText(const std::string& path, const std::string& text) {
  return path + ":\n" + text;
}

std::optional<std::string> QtHost::AskSaveAs(const std::string& title, const std::string& filter,
                                             const std::string& prefilledName) {
  saveAsRequests_.push_back(SaveAsRequest{title, filter, prefilledName});
  window_.SyncView();
  if (saveAsAnswerer_) return saveAsAnswerer_(saveAsRequests_.back());
  const int depth = waitDepth_;
  for (int i = 0; i < depth; ++i) QApplication::restoreOverrideCursor();
  // The command checks existing names itself, with its own message.
  const QString chosen =
      QFileDialog::getSaveFileName(&window_, QString::fromStdString(title), QString::fromStdString(prefilledName),
                                   QString::fromStdString(filter), nullptr, QFileDialog::DontConfirmOverwrite);
  for (int i = 0; i < depth; ++i) QApplication::setOverrideCursor(Qt::WaitCursor);
  if (chosen.isEmpty()) return std::nullopt;
  return chosen.toStdString();
}

}  // namespace ambrelic::ui::qt
