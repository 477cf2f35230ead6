#include "cli/options.h"

#include <cctype>

#include "platform/text.h"
#include "ui/main_dialog.h"

namespace ambrelic::cli {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "X", "X:" or "X:\" in either case.
std::optional<char> ParseDriveLetter(const std::string& text) {
  if (text.empty() || text.size() > 3 || !std::isalpha(static_cast<unsigned char>(text[0]))) return std::nullopt;
  if (text.size() >= 2 && text[1] != ':') return std::nullopt;
  if (text.size() == 3 && text[2] != '\\') return std::nullopt;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
}

void AddSource(Options& o, const std::string& path, bool floppy, bool removable) {
  for (auto& s : o.sources) {
    if (s.path == path) {
      s.floppy = s.floppy || floppy;
      s.removable = s.removable || removable;
      return;
    }
  }
  o.sources.push_back({path, floppy, removable});
}

// "3" or "1,4,7": row numbers from 1; appended to rows.
bool ParseRowList(const std::string& text, std::vector<int>& rows) {
  std::size_t start = 0;
  // Each round takes one number and its comma; the text's length bounds it.
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(start, comma - start);
    if (item.empty() || item.size() > 9) return false;
    for (char c : item) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    const int row = std::stoi(item);
    if (row < 1) return false;
    rows.push_back(row);
    start = comma + 1;
  }
  return true;
}

}  // namespace

int ColumnOfName(const std::string& name) {
  const std::string n = Lower(name);
  if (n == "name") return 0;
  if (n == "in folder") return 1;
  if (n == "size") return 2;
  if (n == "modified") return 3;
  if (n == "cluster" || n == "file no" || n == "sector") return 4;
  return -1;
}

std::string UsageText() {
  return "usage:\n"
         "  ambrelic-cli drives   [SOURCE-OPTIONS] SOURCE...\n"
         "  ambrelic-cli search   [--drive X:] [--name TEXT] [--include-used] [--include-zero]\n"
         "                        [--scan-vacant | --no-scan-vacant] [--sort COLUMN[,desc]]\n"
         "                        [--format table|csv|json|jsonl|bodyfile] [--condition] [--quiet]\n"
         "                        [SOURCE-OPTIONS] SOURCE...\n"
         "  ambrelic-cli scan-all --name TEXT [--drive X:] [--include-zero] [--yes] [--sort ...]\n"
         "                        [--format ...] [--condition] [--quiet] [SOURCE-OPTIONS] SOURCE...\n"
         "  ambrelic-cli restore  --to PATH|- (--row N[,N...] | --all) [--drive X:] [--name TEXT]\n"
         "                        [--include-used] [--include-zero] [--scan-vacant | --no-scan-vacant]\n"
         "                        [--sort COLUMN[,desc]] [--keep-times] [--yes] [--quiet]\n"
         "                        [SOURCE-OPTIONS] SOURCE...\n"
         "  ambrelic-cli carve    [--drive X:] [--type TYPE[,TYPE...]] [--include-listed] [--sort ...]\n"
         "                        [--format ...] [--condition] [--quiet] [SOURCE-OPTIONS] SOURCE...\n"
         "  ambrelic-cli restore  --carve --to PATH (--row N[,N...] | --all) [--drive X:] [--type ...]\n"
         "                        [--include-listed] [--sort ...] [--keep-times] [--yes] [--quiet] SOURCE...\n"
         "  ambrelic-cli wipe     [--drive X:] [--yes] [--records | --no-records] [--quiet]\n"
         "                        [SOURCE-OPTIONS] SOURCE...\n"
         "SOURCE-OPTIONS: --floppy PATH   --removable PATH   --codepage CP   --mapfile FILE\n"
         "                --platform nt|9x   --geometry HEADS,SECTORS   --no-lba\n"
         "SOURCE: an image file (raw, NAME.001 of a split one, E01, VHD, VHDX, VMDK, QCOW2) or a block\n"
         "        device; without one, the machine's block devices.\n"
         "COLUMN: Name, \"In Folder\", Size, Modified, Cluster, \"File No\" or Sector.\n"
         "TYPE: jpg, png, gif, bmp, webp, avi, wav, tiff, cr2, nef, arw, dng, heic, mp4, mov, 3gp, mp3,\n"
         "      flac, ogg, pdf, zip, docx, xlsx, pptx, odt, epub, jar, apk, doc, xls, ppt, msg, sqlite,\n"
         "      gz, 7z, rar.\n"
         "  ambrelic-cli --help | --version\n";
}

std::string VersionText() { return std::string("ambrelic-cli ") + AMBRELIC_VERSION + "\n"; }

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult r;
  Options& o = r.options;
  auto fail = [&](std::string text) {
    r.ok = false;
    r.error = std::move(text);
    return r;
  };
  // The source options may also stand before the command word
  // ("ambrelic-cli --platform 9x drives disk.img").
  std::size_t first = 0;
  std::vector<std::string> leading;
  while (first < args.size() && args[first].rfind("--", 0) == 0 && args[first] != "--help" &&
         args[first] != "--version") {
    const std::string& a = args[first];
    const bool takesValue = a == "--platform" || a == "--geometry" || a == "--floppy" || a == "--removable" ||
                            a == "--codepage" || a == "--mapfile";
    leading.push_back(a);
    ++first;
    if (takesValue && first < args.size()) leading.push_back(args[first++]);
  }
  if (first >= args.size()) return fail("no command given");
  const std::string& cmd = args[first];
  if (cmd == "drives") o.command = Command::Drives;
  else if (cmd == "search") o.command = Command::Search;
  else if (cmd == "scan-all") o.command = Command::ScanAll;
  else if (cmd == "restore") o.command = Command::Restore;
  else if (cmd == "wipe") o.command = Command::Wipe;
  else if (cmd == "carve") o.command = Command::Carve;
  else if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    o.command = Command::Help;
    r.ok = true;
    return r;
  } else if (cmd == "--version") {
    o.command = Command::Version;
    r.ok = true;
    return r;
  } else {
    return fail("unknown command '" + cmd + "'");
  }
  const bool search = o.command == Command::Search;
  const bool scanAll = o.command == Command::ScanAll;
  const bool restore = o.command == Command::Restore;
  const bool wipe = o.command == Command::Wipe;
  const bool carve = o.command == Command::Carve;
  // A restore runs the search (or the deep scan) first and takes its options.
  const bool listing = search || scanAll || restore || carve;

  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(first) + 1, args.end());
  rest.insert(rest.begin(), leading.begin(), leading.end());
  for (std::size_t i = 0; i < rest.size(); ++i) {
    std::string arg = rest[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      const auto eq = arg.find('=');
      if (eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
      }
    }
    bool missing = false;
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 < rest.size()) return rest[++i];
      missing = true;
      return std::string();
    };
    auto flag = [&](bool allowed) {
      return allowed && !inlineValue;
    };
    if (arg == "--help" || arg == "-h") {
      o.command = Command::Help;
      r.ok = true;
      return r;
    } else if (arg == "--version" && !inlineValue) {
      o.command = Command::Version;
      r.ok = true;
      return r;
    } else if (arg == "--floppy" || arg == "--removable") {
      const std::string path = value();
      if (missing || path.empty()) return fail(arg + " needs a PATH");
      AddSource(o, path, arg == "--floppy", arg == "--removable");
    } else if (arg == "--mapfile") {
      const std::string path = value();
      if (missing || path.empty()) return fail("--mapfile needs a FILE");
      o.mapfile = path;
    } else if (arg == "--codepage") {
      std::string cp = value();
      if (missing || cp.empty()) return fail("--codepage needs a code page");
      bool digits = true;
      for (char c : cp) digits = digits && std::isdigit(static_cast<unsigned char>(c));
      if (digits) cp = "CP" + cp;
      if (!platform::OemCodepageSupported(cp)) return fail("unknown code page '" + cp + "'");
      o.codepage = cp;
    } else if (arg == "--platform") {
      const std::string p = Lower(value());
      if (missing || (p != "9x" && p != "nt")) return fail("--platform takes nt or 9x");
      o.platform9x = p == "9x";
    } else if (arg == "--geometry") {
      const std::string g = value();
      const auto comma = g.find(',');
      bool good = !missing && comma != std::string::npos && comma > 0 && comma + 1 < g.size() && g.size() < 12;
      for (std::size_t k = 0; good && k < g.size(); ++k) {
        good = k == comma || std::isdigit(static_cast<unsigned char>(g[k]));
      }
      if (!good) return fail("--geometry takes HEADS,SECTORS, for example 255,63");
      o.heads = std::stoi(g.substr(0, comma));
      o.sectorsPerTrack = std::stoi(g.substr(comma + 1));
    } else if (arg == "--no-lba" && !inlineValue) {
      o.lba = false;
    } else if (arg == "--drive" && (listing || wipe)) {
      const std::string d = value();
      const auto letter = ParseDriveLetter(d);
      if (missing || !letter) return fail("--drive needs a drive letter such as C:");
      o.drive = letter;
    } else if (arg == "--name" && listing) {
      const std::string n = value();
      if (missing) return fail("--name needs a TEXT");
      o.name = n;
    } else if (arg == "--include-used" && flag(search || restore)) {
      o.includeUsed = true;
    } else if (arg == "--include-zero" && flag(listing)) {
      o.includeZero = true;
    } else if ((arg == "--scan-vacant" || arg == "--no-scan-vacant") && flag(search || restore)) {
      const bool yes = arg == "--scan-vacant";
      if (o.scanVacant && *o.scanVacant != yes) return fail("--scan-vacant and --no-scan-vacant exclude each other");
      o.scanVacant = yes;
    } else if ((arg == "--records" || arg == "--no-records") && flag(wipe)) {
      const bool yes = arg == "--records";
      if (o.records && *o.records != yes) return fail("--records and --no-records exclude each other");
      o.records = yes;
    } else if (arg == "--yes" && flag(scanAll || restore || wipe)) {
      o.yes = true;
    } else if (arg == "--sort" && listing) {
      std::string s = value();
      if (missing) return fail("--sort needs a COLUMN");
      bool desc = false;
      const auto comma = s.rfind(',');
      if (comma != std::string::npos) {
        const std::string dir = Lower(s.substr(comma + 1));
        if (dir == "desc") desc = true;
        else if (dir != "asc") return fail("--sort takes COLUMN or COLUMN,desc");
        s = s.substr(0, comma);
      }
      const int column = ColumnOfName(s);
      if (column < 0) return fail("unknown column '" + s + "'");
      o.sort = {column, desc};
    } else if (arg == "--carve" && flag(restore)) {
      o.carve = true;
    } else if (arg == "--include-listed" && flag(carve || restore)) {
      o.includeListed = true;
    } else if (arg == "--type" && (carve || restore)) {
      const std::string list = value();
      if (missing || list.empty()) return fail("--type needs TYPE[,TYPE...], for example jpg,png");
      for (std::size_t start = 0; start <= list.size();) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string t = Lower(list.substr(start, comma - start));
        if (t.empty()) return fail("--type needs TYPE[,TYPE...], for example jpg,png");
        if (!ui::KnownCarveType(t)) return fail("unknown type '" + t + "' for --type");
        o.types.push_back(t);
        start = comma + 1;
      }
    } else if (arg == "--format" && (search || scanAll || carve)) {
      const std::string f = value();
      if (f == "table") o.format = Format::Table;
      else if (f == "csv") o.format = Format::Csv;
      else if (f == "json") o.format = Format::Json;
      else if (f == "jsonl") o.format = Format::Jsonl;
      else if (f == "bodyfile") o.format = Format::Bodyfile;
      else return fail("--format takes table, csv, json, jsonl or bodyfile");
    } else if (arg == "--condition" && flag(search || scanAll || carve)) {
      o.condition = true;
    } else if (arg == "--keep-times" && flag(restore)) {
      o.keepTimes = true;
    } else if (arg == "--to" && restore) {
      const std::string to = value();
      if (missing || to.empty()) return fail("--to needs a PATH");
      o.restoreTo = to;
    } else if (arg == "--row" && restore) {
      const std::string list = value();
      if (missing || !ParseRowList(list, o.rows)) return fail("--row takes row numbers such as 3 or 1,4,7");
    } else if (arg == "--all" && flag(restore)) {
      o.allRows = true;
    } else if (arg == "--quiet" && flag(listing || wipe)) {
      o.quiet = true;
    } else if (arg == "--") {
      for (++i; i < rest.size(); ++i) AddSource(o, rest[i], false, false);
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return fail("unknown option '" + rest[i] + "' for " + cmd);
    } else {
      AddSource(o, arg, false, false);
    }
  }
  if (!o.mapfile.empty()) {
    // A mapfile describes one image: it cannot be told which of several.
    if (o.sources.size() != 1) return fail("--mapfile goes with exactly one SOURCE");
    o.sources[0].mapfile = o.mapfile;
  }
  if (scanAll && !o.name) return fail("scan-all needs --name TEXT");
  if (restore && o.restoreTo.empty()) return fail("restore needs --to PATH");
  if (restore && o.rows.empty() == !o.allRows) return fail("restore needs either --row N[,N...] or --all");
  if (restore && !o.carve && (o.includeListed || !o.types.empty())) {
    return fail("--type and --include-listed go with --carve");
  }
  if (carve) o.carve = true;
  r.ok = true;
  return r;
}

}  // namespace ambrelic::cli
