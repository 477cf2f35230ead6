// The command line of ambrelic-cli, parsed into plain options. Parsing
// never touches a drive; a usage error is returned as text.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/drives.h"

namespace ambrelic::cli {

enum class Command { Drives, Search, ScanAll, Restore, Wipe, Help, Version, Carve };
enum class Format { Table, Csv, Json, Jsonl, Bodyfile };

struct SortSpec {
  int column = -1;        // -1: no sort
  bool descending = false;
};

struct Options {
  Command command = Command::Help;
  std::vector<platform::DriveSource> sources;  // in command-line order
  std::string codepage;                         // empty: keep the default
  std::string mapfile;                          // --mapfile FILE: ddrescue's map of the one SOURCE
  bool platform9x = false;                      // --platform 9x
  int heads = 255;                              // --geometry HEADS,SECTORS (9x path)
  int sectorsPerTrack = 63;
  bool lba = true;                              // false with --no-lba
  std::optional<char> drive;                    // upper-case letter
  std::optional<std::string> name;
  bool includeUsed = false;
  bool includeZero = false;
  std::optional<bool> scanVacant;               // answer to the vacant-cluster question
  bool yes = false;                             // answer to the scan-all question (scan-all),
                                                // to the same-drive warning (restore),
                                                // to both confirmations (wipe)
  std::string restoreTo;                        // restore: --to PATH, the Save As answer
  std::vector<int> rows;                        // restore: --row N[,N...], 1-based
  bool allRows = false;                         // restore: --all
  std::optional<bool> records;                  // wipe: --records / --no-records, the answer
                                                // to the question between the two phases
  SortSpec sort;
  Format format = Format::Table;
  bool condition = false;                       // --condition: the Condition column (table, CSV)
  bool keepTimes = false;                       // restore: --keep-times
  bool quiet = false;
  // The deep scan (carve, restore --carve): the types asked for (empty:
  // all) and whether the clusters of listed deleted files are read too.
  bool carve = false;
  std::vector<std::string> types;
  bool includeListed = false;
};

struct ParseResult {
  bool ok = false;
  Options options;
  std::string error;  // usage error when !ok
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();
// "ambrelic-cli VERSION".
std::string VersionText();

// Column index of a header name (case-insensitive): 0 Name, 1 In Folder,
// 2 Size, 3 Modified, 4 Cluster or File No; -1 when unknown.
int ColumnOfName(const std::string& name);

}  // namespace ambrelic::cli
