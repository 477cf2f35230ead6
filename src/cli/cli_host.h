// The command line's Host: messages go to stderr as worded, questions are
// answered by their flags, or at a y/N prompt on the terminal, or by the
// safe answer when there is none; the progress window is one redrawn line on
// stderr; Ctrl-C is the Cancel button.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ui/host.h"

namespace ambrelic::cli {

class TerminalProgressView;

// Installs the SIGINT and SIGTERM handler that turns Ctrl-C (or a polite
// kill) into a cancel request. A second one before the first was taken ends
// the program (status 130, or 143).
void InstallInterruptHandler();
// True (once) when Ctrl-C was pressed since the last call. SIGTERM is taken
// the same way.
bool TakeInterrupt();
// 128 + the signal once a Ctrl-C (130) or SIGTERM (143) was taken as a
// cancel; 0 when none was.
int InterruptStatus();

class CliHost : public ui::Host {
 public:
  // quiet hides the progress line; answers maps a question to the answer
  // its flag gives.
  CliHost(bool quiet, std::map<disk::QuestionId, bool> answers);
  ~CliHost() override;

  ui::Answer ShowMessage(const ui::MessageRequest& message) override;
  void SetFocus(ui::FocusTarget) override {}
  void SetWaitCursor(bool) override {}
  void ShowNotice(bool, const std::string&) override {}
  std::unique_ptr<ui::ProgressView> CreateProgressView() override;
  // "ambrelic-cli: PATH: TEXT".
  std::string FileMessageText(const std::string& path, const std::string& text) override;
  bool PumpMessages() override;
  // The Save As dialog of a restore answers the path given with --to the
  // first time; a second time means that answer was refused (the name
  // exists, or No to the same-drive warning), and it answers Cancel, so the
  // command ends instead of asking for ever.
  void SetSaveAsAnswer(std::string path) { saveAsAnswer_ = std::move(path); }
  std::optional<std::string> AskSaveAs(const std::string& title, const std::string& filter,
                                       const std::string& prefilledName) override;

  // Called by the terminal view.
  void ViewClosed(TerminalProgressView* view);

 private:
  std::optional<ui::Answer> Prompt(const ui::MessageRequest& message);

  bool quiet_;
  bool terminal_;
  std::map<disk::QuestionId, bool> answers_;
  TerminalProgressView* activeView_ = nullptr;
  std::optional<std::string> saveAsAnswer_;
};

}  // namespace ambrelic::cli
