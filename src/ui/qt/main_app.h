// MainApp: the desktop program. Lists the drives of the sources named on
// the command line (or the machine's), shows the main window modally and
// ends when it closes; there is no other window and no loop of its own.
#pragma once

#include <string>
#include <vector>

namespace ambrelic::ui::qt {

class MainApp {
 public:
  // args: the command line after the program name, Qt's own options
  // already taken out. Needs a QApplication.
  explicit MainApp(std::vector<std::string> args) : args_(std::move(args)) {}

  // The process's exit status: 0 once the window closed (or after --help),
  // 1 when start-up ended the program (a missing service library on the 9x
  // path), 2 for a command line it does not understand.
  int Run();

 private:
  std::vector<std::string> args_;
};

}  // namespace ambrelic::ui::qt
