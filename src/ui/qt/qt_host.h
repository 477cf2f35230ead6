// The Host of the desktop window: message boxes (caption "Ambrelic", the
// buttons, default button and icon each request names), the wait cursor,
// focus moves, the list-clearing notice, the counter, progress windows, the
// event pump that carries Cancel back, and the Save As dialog.
//
// Tests can answer message boxes and the Save As dialog through scripted
// answerers instead of modal dialogs; every request is logged either way.
#pragma once

#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/host.h"

class QMessageBox;
class QWidget;

namespace ambrelic::ui::qt {

class MainWindow;
class ProgressWindow;

// The message box for a request, built but not shown.
std::unique_ptr<QMessageBox> BuildMessageBox(const MessageRequest& request, QWidget* parent);
// The least width of a message box whose caption a window manager shows
// whole beside its title-bar buttons.
int MessageBoxMinimumWidth(const QWidget& box);

// One Save As request, as a test sees it.
struct SaveAsRequest {
  std::string title;
  std::string filter;
  std::string prefilledName;
};

class QtHost : public Host {
 public:
  using MessageAnswerer = std::function<Answer(const MessageRequest&)>;
  using SaveAsAnswerer = std::function<std::optional<std::string>(const SaveAsRequest&)>;

  explicit QtHost(MainWindow& window);
  ~QtHost() override;

  Answer ShowMessage(const MessageRequest& message) override;
  void SetFocus(FocusTarget target) override;
  void SetWaitCursor(bool on) override;
  void ShowNotice(bool visible, const std::string& text) override;
  std::unique_ptr<ProgressView> CreateProgressView() override;
  bool PumpMessages() override;
  void CounterChanged(const std::string& text) override;
  // The file's path on a line of its own above the text.
  std::string FileMessageText(const std::string& path, const std::string& text) override;
  std::optional<std::string> AskSaveAs(const std::string& title, const std::string& filter,
                                       const std::string& prefilledName) override;

  // The test seam: when set, these answer instead of the modal dialogs.
  void SetMessageAnswerer(MessageAnswerer answerer) { messageAnswerer_ = std::move(answerer); }
  void SetSaveAsAnswerer(SaveAsAnswerer answerer) { saveAsAnswerer_ = std::move(answerer); }
  // Called at every event pump while a progress window is open (tests press
  // Cancel from here, as a user would between two engine steps).
  void SetPumpHook(std::function<void()> hook) { pumpHook_ = std::move(hook); }

  const std::vector<MessageRequest>& Messages() const { return messages_; }
  const std::vector<SaveAsRequest>& SaveAsRequests() const { return saveAsRequests_; }
  int WaitCursorDepth() const { return waitDepth_; }
  // The progress window now open, if any.
  ProgressWindow* OpenProgressWindow() const;

  // The progress window's Cancel, Esc and close box land here.
  void RequestCancel() { cancelRequested_ = true; }

 private:
  friend class QtProgressView;

  MainWindow& window_;
  MessageAnswerer messageAnswerer_;
  SaveAsAnswerer saveAsAnswerer_;
  std::function<void()> pumpHook_;
  std::vector<MessageRequest> messages_;
  std::vector<SaveAsRequest> saveAsRequests_;
  int waitDepth_ = 0;
  bool cancelRequested_ = false;
  QPointer<ProgressWindow> progress_;
  // A hundred times a second.
  static constexpr std::int64_t kPumpMilliseconds = 10;
  bool pumped_ = false;
  std::int64_t lastPump_ = 0;
};

}  // namespace ambrelic::ui::qt
