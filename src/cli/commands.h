// The commands of ambrelic-cli over the application: each builds the drive
// table, drives MainDialog as the window would, and writes the list out.
#pragma once

#include <cstdint>
#include <ostream>

#include "cli/options.h"

namespace ambrelic::ui {
class MainDialog;
}

namespace ambrelic::cli {

// Exit status: 0 the command ran (also after "No files were found.") and
// read everything it needed, 1 a message stopped it or sectors could not
// be read (the output is whole all the same), 2 a usage error.
int RunCommand(const Options& options, std::ostream& out);

// The one status every command ends with once its output is written, as
// far as reading goes: 1 when the device stopped answering or any sector
// it needed could not be read, else 0. Commands with their own engines
// (the deep scan) call the first with their own counts.
int ReadsStatus(bool deviceLost, std::uint64_t unreadableSectors);
// The same for the command the dialog ran last.
int ReadsStatus(const ui::MainDialog& dialog);

// The whole program: parse, run, report usage errors. args exclude argv[0].
int Main(const std::vector<std::string>& args);

}  // namespace ambrelic::cli
