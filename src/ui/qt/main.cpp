// MainApp: the desktop program. Lists the drives of the sources named on the
// command line (or of the machine), shows the main window modally and ends
// when it closes.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/text.h"
#include "ui/qt/command_line.h"
#include "ui/qt/file_icons.h"
#include "ui/qt/main_window.h"

int main(int argc, char** argv) {
  using namespace ambrelic;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Ambrelic"));
  QApplication::setApplicationVersion(QStringLiteral(AMBRELIC_VERSION_TEXT_MAIN));
  QApplication::setDesktopFileName(QStringLiteral("ambrelic"));
  QApplication::setWindowIcon(ui::qt::ApplicationIcon());
  platform::InitLocale();

  // QApplication has taken its own options out of argv.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const ui::qt::WindowArguments parsed = ui::qt::ParseWindowArguments(args);
  if (parsed.help) {
    std::fputs(ui::qt::kWindowUsage, stdout);
    return 0;
  }
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "ambrelic: %s\n%s", parsed.error.c_str(), ui::qt::kWindowUsage);
    return 2;
  }
  if (!parsed.codepage.empty()) {
    if (!platform::OemCodepageSupported(parsed.codepage)) {
      std::fprintf(stderr, "ambrelic: code page %s is not supported\n", parsed.codepage.c_str());
      return 2;
    }
    platform::SetOemCodepage(parsed.codepage);
  }

  platform::DriveTable table = platform::BuildDriveTable(parsed.sources);
  for (const std::string& note : table.notes) std::fprintf(stderr, "ambrelic: %s\n", note.c_str());

  ui::qt::MainWindow window(std::move(table.drives));
  window.exec();
  return 0;
}
