#include "ui/test_host.h"

namespace ambrelic::ui {

Answer TestHost::ShowMessage(const MessageRequest& message) {
  std::string kind = message.buttons == Buttons::Ok       ? "message"
                     : message.buttons == Buttons::YesNo ? "question"
                                                          : "retry";
  if (message.icon == Icon::Stop) kind += "(stop)";
  log.push_back(kind + ": " + message.text);
  boxes.push_back(message);
  if (onMessage) onMessage(message);
  if (!answers.empty()) {
    const Answer a = answers.front();
    answers.pop_front();
    return a;
  }
  switch (message.buttons) {
    case Buttons::Ok: return Answer::Ok;
    case Buttons::YesNo: return Answer::No;
    case Buttons::RetryCancel: return Answer::Cancel;
  }
  return Answer::Ok;
}

void TestHost::SetFocus(FocusTarget target) {
  log.push_back(target == FocusTarget::DriveCombo ? "focus: drive combo" : "focus: name field");
}

void TestHost::SetWaitCursor(bool on) { waitCursorDepth += on ? 1 : -1; }

void TestHost::ShowNotice(bool visible, const std::string&) {
  if (visible) ++noticeShows;
  noticeVisible = visible;
}

std::unique_ptr<ProgressView> TestHost::CreateProgressView() {
  ++progressViews;
  return std::make_unique<NullProgressView>();
}

bool TestHost::PumpMessages() {
  ++pumps;
  return cancelAtPump > 0 && pumps == cancelAtPump;
}

std::optional<std::string> TestHost::AskSaveAs(const std::string& title, const std::string& filter,
                                               const std::string& prefilledName) {
  log.push_back("save as: " + prefilledName);
  saveAsTitle = title;
  saveAsFilter = filter;
  if (saveAsAnswers.empty()) return std::nullopt;
  std::optional<std::string> answer = saveAsAnswers.front();
  saveAsAnswers.pop_front();
  return answer;
}

void TestHost::CounterChanged(const std::string& text) {
  counter = text;
  ++counterChanges;
}

}  // namespace ambrelic::ui
