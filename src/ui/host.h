// The seam between the application and whatever shows it: a Qt window, the
// command line, or a test. Commands show messages, ask questions, move the
// focus, show the wait cursor and the list-clearing notice, and open
// progress views, all through one Host.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "disk/sinks.h"

namespace ambrelic::ui {

enum class Buttons : std::uint8_t { Ok, YesNo, RetryCancel };
enum class Icon : std::uint8_t { None, Stop };
enum class Answer : std::uint8_t { Ok, Yes, No, Retry, Cancel };
enum class FocusTarget : std::uint8_t { DriveCombo, NameField };

// One message box: caption "Ambrelic", these buttons and icon, and the
// button that Enter presses (0 the first, 1 the second).
struct MessageRequest {
  std::string text;
  Buttons buttons = Buttons::Ok;
  Icon icon = Icon::None;
  int defaultButton = 0;
  // A question a front end may answer ahead; Unnamed for any other box.
  disk::QuestionId question = disk::QuestionId::Unnamed;
};

// The answer a box gives when the user just presses Enter.
Answer DefaultAnswer(const MessageRequest& m);

// What a progress window shows; ProgressDialog holds the logic and drives it.
class ProgressView {
 public:
  virtual ~ProgressView() = default;
  virtual void SetCaption(const std::string& text) {}
  virtual void ShowFileLabel() {}                       // "Fichier :"
  virtual void SetFileName(const std::string& text) {}  // static 1005
  virtual void SetCountLabel(const std::string& text) {}  // static 1006
  virtual void SetCountText(const std::string& text) {}   // static 1007, "pos / total"
  virtual void SetPercentText(const std::string& text) {} // static 1004
  virtual void SetBar(int lower, int upper, int position) {}
  // The window goes away (Close); nothing is drawn afterwards.
  virtual void Close() {}
};

// A progress window that shows nothing (quiet runs, tests).
class NullProgressView : public ProgressView {};

class Host {
 public:
  virtual ~Host() = default;
  virtual Answer ShowMessage(const MessageRequest& message) = 0;
  virtual void SetFocus(FocusTarget target) = 0;
  virtual void SetWaitCursor(bool on) = 0;
  // Static 1011: "Deleting listed items. ..." while a long list is cleared.
  virtual void ShowNotice(bool visible, const std::string& text) = 0;
  // A view for a new progress window; null when none can be created.
  virtual std::unique_ptr<ProgressView> CreateProgressView() = 0;
  // Handles pending events (Qt: processEvents; CLI: the SIGINT flag) and
  // returns true when the user asked to cancel since the last call.
  virtual bool PumpMessages() = 0;
  // The text of a message about one file: the window keeps the text as it
  // stands; the command line puts the file's name before it.
  virtual std::string FileMessageText(const std::string& path, const std::string& text) { return text; }
  // The counter static 1010 changed.
  virtual void CounterChanged(const std::string& text) {}
  // The Save As dialog: title, one filter as shown ("All Files(*.*)") and the
  // name it opens with. The chosen path, or nothing when the user cancelled
  // (hosts without a dialog always cancel).
  virtual std::optional<std::string> AskSaveAs(const std::string& title, const std::string& filter,
                                               const std::string& prefilledName) {
    return std::nullopt;
  }
};

}  // namespace ambrelic::ui
