#include "ui/qt/command_line.h"

namespace ambrelic::ui::qt {

const char* const kWindowUsage =
    "usage: ambrelic [SOURCE-OPTIONS] [SOURCE...]\n"
    "  SOURCE          an image file or a block device; none: the machine's block devices\n"
    "  --floppy PATH   a floppy source (drive A:, then B:)\n"
    "  --removable PATH\n"
    "                  a source to treat as a removable drive\n"
    "  --codepage CP   OEM code page of short FAT names (default CP437)\n"
    "  --mapfile FILE  GNU ddrescue's mapfile of the one SOURCE (else IMAGE.map beside it)\n"
    "  --platform nt|9x\n"
    "                  9x: serve the sources as BIOS disks and bind drives the Windows 9x way\n"
    "  --geometry HEADS,SECTORS\n"
    "                  BIOS geometry of the 9x disks (default 255,63)\n"
    "  --no-lba        9x disks without the LBA extensions\n"
    "  --help          this text\n"
    "  --version       the program's version\n";

std::string WindowVersionText() { return std::string("ambrelic ") + AMBRELIC_VERSION + "\n"; }

bool AnswerWithoutWindow(int argc, char** argv, std::string& out) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") break;
    if (a == "-h" || a == "--help") {
      out = kWindowUsage;
      return true;
    }
    if (a == "--version") {
      out = WindowVersionText();
      return true;
    }
  }
  return false;
}

namespace {

platform::DriveSource& SourceFor(std::vector<platform::DriveSource>& sources, const std::string& path) {
  for (auto& s : sources) {
    if (s.path == path) return s;
  }
  sources.push_back(platform::DriveSource{path, false, false});
  return sources.back();
}

// "HEADS,SECTORS" within what a BIOS can describe.
bool ParseGeometry(const std::string& text, int& heads, int& sectors) {
  const auto comma = text.find(',');
  if (comma == std::string::npos) return false;
  auto number = [](const std::string& digits, int low, int high, int& out) {
    if (digits.empty() || digits.size() > 3) return false;
    int v = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    if (v < low || v > high) return false;
    out = v;
    return true;
  };
  int h = 0;
  int s = 0;
  if (!number(text.substr(0, comma), 1, 255, h) || !number(text.substr(comma + 1), 1, 63, s)) return false;
  heads = h;
  sectors = s;
  return true;
}

}  // namespace

WindowArguments ParseWindowArguments(const std::vector<std::string>& args) {
  WindowArguments out;
  std::string mapfile;
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
    if (a == "--version") {
      out.version = true;
      continue;
    }
    if (a == "--no-lba") {
      out.lba = false;
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
    if (name != "--floppy" && name != "--removable" && name != "--codepage" && name != "--platform" &&
        name != "--geometry" && name != "--mapfile") {
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
    } else if (name == "--mapfile") {
      mapfile = value;
    } else if (name == "--platform") {
      if (value != "nt" && value != "9x") {
        out.error = "--platform takes nt or 9x";
        return out;
      }
      out.platform9x = value == "9x";
    } else if (name == "--geometry") {
      if (!ParseGeometry(value, out.heads, out.sectorsPerTrack)) {
        out.error = "--geometry takes HEADS,SECTORS (1-255, 1-63)";
        return out;
      }
    } else {
      out.codepage = value;
    }
  }
  if (!mapfile.empty()) {
    // A mapfile describes one image: it cannot be told which of several.
    if (out.sources.size() != 1) {
      out.error = "--mapfile goes with exactly one SOURCE";
      return out;
    }
    out.sources[0].mapfile = mapfile;
  }
  return out;
}

SplitArguments SplitOwnOptions(int argc, char** argv) {
  SplitArguments out;
  if (argc > 0) out.forQt.push_back(argv[0]);
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") optionsEnded = true;
    const bool bare = a == "--platform" || a == "--geometry";
    const bool joined = a.rfind("--platform=", 0) == 0 || a.rfind("--geometry=", 0) == 0;
    if (optionsEnded || (!bare && !joined)) {
      out.forQt.push_back(argv[i]);
      continue;
    }
    out.ours.push_back(a);
    if (bare && i + 1 < argc) out.ours.emplace_back(argv[++i]);
  }
  return out;
}

}  // namespace ambrelic::ui::qt
