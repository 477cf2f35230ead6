// Helpers of the window tests: one QApplication for the suite (offscreen),
// windows over real images, and a scripted answerer for the message boxes.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "ui/host.h"
#include "ui/qt/main_window.h"

namespace ambrelic::test {

// Creates the application once (offscreen unless told otherwise).
void EnsureApplication();

// A main window over the drives of these sources, shown, with the message
// boxes and Save As answered by the script below.
struct ScriptedWindow {
  explicit ScriptedWindow(const std::vector<platform::DriveSource>& sources);
  ~ScriptedWindow();

  ui::qt::MainWindow& operator*() { return *window; }
  ui::qt::MainWindow* operator->() { return window.get(); }

  // Answers the next boxes in order; a box with no answer left gets its
  // default button.
  std::deque<ui::Answer> answers;
  std::vector<ui::MessageRequest> boxes;
  std::unique_ptr<ui::qt::MainWindow> window;
};

// Texts of a column of the view, top to bottom, as the view shows them.
std::vector<std::string> ColumnTexts(ui::qt::MainWindow& window, int column);

// Clicks a header section of the results view.
void ClickHeader(ui::qt::MainWindow& window, int column);

}  // namespace ambrelic::test
