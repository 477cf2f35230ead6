#include "ui/qt/command_line.h"

namespace ambrelic::ui::qt {

const char* const kWindowUsage =
    "usage: ambrelic [SOURCE-OPTIONS] [SOURCE...]\n"
    "  SOURCE          an image file or a block device; none: the machine's block devices\n"
    "  --floppy PATH   a floppy source (drive A:, then B:)\n"
    "  --removable PATH\n"
    "                  a source to treat as a removable drive\n"
    "  --codepage CP   OEM code page of short FAT names (default CP437)\n";

namespace {

platform::DriveSource& SourceFor(std::vector<platform::DriveSource>& sources, const std::string& path) {
  for (auto& s : sources) {
    if (s.path == path) return s;
  }
  sources.push_back(platform::DriveSource{path, false, false});
  return sources.back();
}

}  // namespace

WindowArguments ParseWindowArguments(const std::vector<std::string>& args) {
  WindowArguments out;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
      SourceFor(out.sources, a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a == "-h" || a == "--help") {
      out.help = true;
      continue;
    }
    // --name VALUE or --name=VALUE.
    std::string name = a;
    std::string value;
    bool hasValue = false;
    if (const auto eq = a.find('='); eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      hasValue = true;
    }
    if (name != "--floppy" && name != "--removable" && name != "--codepage") {
      out.error = "unknown option " + name;
      return out;
    }
    if (!hasValue) {
      if (i + 1 >= args.size()) {
        out.error = name + " needs a value";
        return out;
      }
      value = args[++i];
    }
    if (value.empty()) {
      out.error = name + " needs a value";
      return out;
    }
    if (name == "--floppy") {
      SourceFor(out.sources, value).floppy = true;
    } else if (name == "--removable") {
      SourceFor(out.sources, value).removable = true;
    } else {
      out.codepage = value;
    }
  }
  return out;
}

}  // namespace ambrelic::ui::qt
