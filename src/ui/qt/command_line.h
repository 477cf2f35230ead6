// The window's command line: the sources to list as drives and the options
// that shape them, the same SOURCE-OPTIONS the command-line front end takes.
//   ambrelic [--floppy PATH] [--removable PATH] [--codepage CP] [--mapfile FILE]
//            [--platform nt|9x [--geometry HEADS,SECTORS] [--no-lba]] [SOURCE...]
// No source: the machine's block devices.
#pragma once

#include <string>
#include <vector>

#include "platform/drives.h"

namespace ambrelic::ui::qt {

struct WindowArguments {
  std::vector<platform::DriveSource> sources;  // in the order named
  std::string codepage;                        // empty: the default OEM code page
  bool platform9x = false;                     // --platform 9x: sources as BIOS disks
  int heads = 255;                             // --geometry HEADS,SECTORS
  int sectorsPerTrack = 63;
  bool lba = true;                             // false with --no-lba
  bool help = false;
  bool version = false;                        // --version
  std::string error;                           // set when the line is not understood
};

// Parses the arguments after the program name (Qt's own options already
// taken out by QApplication). A path given with --floppy or --removable that
// is also named plainly stays one source, with the flag set.
WindowArguments ParseWindowArguments(const std::vector<std::string>& args);

extern const char* const kWindowUsage;
// "ambrelic VERSION\n".
std::string WindowVersionText();

// True when the line asks only for help or the version (before any "--"):
// main answers those before a display is needed, and puts the text in out.
bool AnswerWithoutWindow(int argc, char** argv, std::string& out);

// Qt reads "--platform" and "--geometry" as its own options (the windowing
// plugin, the X11 window geometry). This program's options of those names
// are taken out of the command line before Qt sees it: `ours` gets them
// with their values, `forQt` the rest (argv[0] first) for QApplication.
struct SplitArguments {
  std::vector<std::string> ours;
  std::vector<char*> forQt;
};
SplitArguments SplitOwnOptions(int argc, char** argv);

}  // namespace ambrelic::ui::qt
