// The window's command line: the sources to list as drives and the options
// that shape them, the same SOURCE-OPTIONS the command-line front end takes.
//   ambrelic [--floppy PATH] [--removable PATH] [--codepage CP] [SOURCE...]
// No source: the machine's block devices.
#pragma once

#include <string>
#include <vector>

#include "platform/drives.h"

namespace ambrelic::ui::qt {

struct WindowArguments {
  std::vector<platform::DriveSource> sources;  // in the order named
  std::string codepage;                        // empty: the default OEM code page
  bool help = false;
  std::string error;                           // set when the line is not understood
};

// Parses the arguments after the program name (Qt's own options already
// taken out by QApplication). A path given with --floppy or --removable that
// is also named plainly stays one source, with the flag set.
WindowArguments ParseWindowArguments(const std::vector<std::string>& args);

extern const char* const kWindowUsage;

}  // namespace ambrelic::ui::qt
