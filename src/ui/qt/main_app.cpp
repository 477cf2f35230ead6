#include "ui/qt/main_app.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <memory>

#include "platform/bios_disks.h"
#include "platform/drives.h"
#include "platform/text.h"
#include "ui/qt/command_line.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_host.h"
#include "ui/volume_preparation.h"
#include "ui/windows9x.h"

namespace ambrelic::ui::qt {

int MainApp::Run() {
  const WindowArguments parsed = ParseWindowArguments(args_);
  if (parsed.help) {
    std::fputs(kWindowUsage, stdout);
    return 0;
  }
  if (parsed.version) {
    std::fputs(WindowVersionText().c_str(), stdout);
    return 0;
  }
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "ambrelic: %s\n%s", parsed.error.c_str(), kWindowUsage);
    return 2;
  }
  if (!parsed.codepage.empty()) {
    if (!platform::OemCodepageSupported(parsed.codepage)) {
      std::fprintf(stderr, "ambrelic: code page %s is not supported\n", parsed.codepage.c_str());
      return 2;
    }
    platform::SetOemCodepage(parsed.codepage);
  }

  std::vector<platform::Drive> drives;
  std::vector<std::pair<std::string, int>> refused;
  std::unique_ptr<Windows9xPlatform> windows9x;
  if (parsed.platform9x) {
    // The sources as BIOS disks behind the service library of the program's
    // folder; a missing library ends the program before the window shows.
    windows9x = std::make_unique<Windows9xPlatform>();
    Windows9xOptions options;
    options.heads = parsed.heads;
    options.sectorsPerTrack = parsed.sectorsPerTrack;
    options.lba = parsed.lba;
    const std::string failure = windows9x->Start(parsed.sources, options, platform::ServiceLibraryFolder());
    if (!failure.empty()) {
      BuildMessageBox(MessageRequest{failure, Buttons::Ok, Icon::None, 0}, nullptr)->exec();
      return 1;
    }
    for (const std::string& note : windows9x->notes()) std::fprintf(stderr, "ambrelic: %s\n", note.c_str());
    drives = windows9x->BuildDriveTable();
  } else {
    platform::DriveTable table = platform::BuildDriveTable(parsed.sources);
    for (const std::string& note : table.notes) std::fprintf(stderr, "ambrelic: %s\n", note.c_str());
    drives = std::move(table.drives);
    if (table.machineSources) refused = std::move(table.unreadable);
    NameNtfsDrivesByLabel(drives);
  }

  // The window is the only one besides its progress windows; those must
  // stay usable while it waits, so it is not run as an application-modal
  // dialog: closing it (Exit, Esc, the close box) ends the event loop.
  MainWindow window(std::move(drives), windows9x.get());
  QObject::connect(&window, &QDialog::finished, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  window.show();
  window.SetUnreadableSources(refused);
  QApplication::exec();
  return 0;
}

}  // namespace ambrelic::ui::qt
