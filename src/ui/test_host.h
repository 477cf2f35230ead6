// A Host for tests and scripted runs: it logs every message, question and
// focus request in order with their exact texts, answers from a script, and
// can press Cancel at a chosen pump.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/host.h"

namespace ambrelic::ui {

class TestHost : public Host {
 public:
  Answer ShowMessage(const MessageRequest& message) override;
  void SetFocus(FocusTarget target) override;
  void SetWaitCursor(bool on) override;
  void ShowNotice(bool visible, const std::string& text) override;
  std::unique_ptr<ProgressView> CreateProgressView() override;
  bool PumpMessages() override;
  void CounterChanged(const std::string& text) override;
  // Logs "save as: <prefilled name>" and gives the next scripted answer
  // (nothing: Cancel).
  std::optional<std::string> AskSaveAs(const std::string& title, const std::string& filter,
                                       const std::string& prefilledName) override;

  // "message: T", "question: T", "retry: T" (a "(stop)" after the kind when
  // the box has the stop icon), "focus: drive combo", "focus: name field".
  std::vector<std::string> log;
  std::vector<MessageRequest> boxes;      // every box as asked
  // Answers to the next boxes; when none is left: OK, No, Cancel.
  std::deque<Answer> answers;
  // Called with each box before it is answered (tests change the world here).
  std::function<void(const MessageRequest&)> onMessage;
  // Cancel is pressed at this pump (counted from 1 over the host's life);
  // 0 never.
  long cancelAtPump = 0;
  long pumps = 0;

  int noticeShows = 0;                    // times static 1011 was made visible
  bool noticeVisible = false;
  int waitCursorDepth = 0;
  int progressViews = 0;
  std::string counter;                    // last counter text
  long counterChanges = 0;
  // Answers to the next Save As dialogs; Cancel when none is left.
  std::deque<std::optional<std::string>> saveAsAnswers;
  std::string saveAsTitle, saveAsFilter;  // as the last dialog was opened
};

}  // namespace ambrelic::ui
