// The commands of ambrelic-cli over the application: each builds the drive
// table, drives MainDialog as the window would, and writes the list out.
#pragma once

#include <ostream>

#include "cli/options.h"

namespace ambrelic::cli {

// Exit status: 0 the command ran (also after "No files were found."), 1 a
// message stopped it, 2 a usage error.
int RunCommand(const Options& options, std::ostream& out);

// The whole program: parse, run, report usage errors. args exclude argv[0].
int Main(const std::vector<std::string>& args);

}  // namespace ambrelic::cli
