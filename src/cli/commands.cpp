#include "cli/commands.h"

#include <cstdio>
#include <iostream>
#include <map>

#include "cli/cli_host.h"
#include "cli/output.h"
#include "disk/volume_context.h"
#include "platform/drives.h"
#include "platform/text.h"
#include "ui/main_dialog.h"
#include "ui/volume_preparation.h"

namespace ambrelic::cli {
namespace {

const char* const kScanVacantQuestion = "Do you want to scan vacant clusters?";
const char* const kScanAllQuestion =
    "Scan all clusters including used clusters.\n(The clusters exclude root directory of FAT12, FAT16 "
    "drive.)\n\nDo you want to continue?";

platform::DriveTable Drives(const Options& o) {
  platform::DriveTable table = platform::BuildDriveTable(o.sources);
  for (const auto& note : table.notes) std::cerr << "ambrelic-cli: " << note << '\n';
  return table;
}

int RunDrives(const Options& o, std::ostream& out) {
  const platform::DriveTable table = Drives(o);
  for (const auto& d : table.drives) {
    out << d.root << '\t' << (d.type == platform::DriveType::Removable ? "removable" : "fixed") << '\t'
        << disk::FsKindName(ui::IdentifyDriveKind(d)) << '\t' << d.displayName << '\t' << d.sourcePath << '\t'
        << d.offset << '\n';
  }
  return 0;
}

void WriteList(const Options& o, const ui::ResultsList& list, std::ostream& out) {
  switch (o.format) {
    case Format::Csv: WriteCsv(list, out); break;
    case Format::Json: WriteJson(list, out); break;
    case Format::Table: WriteTable(list, out); break;
  }
}

int RunListing(const Options& o, std::ostream& out) {
  std::map<std::string, bool> answers;
  if (o.scanVacant) answers[kScanVacantQuestion] = *o.scanVacant;
  if (o.yes) answers[kScanAllQuestion] = true;
  CliHost host(o.quiet, answers);
  ui::MainDialog dialog(host, Drives(o).drives);
  dialog.Initialise();
  if (o.drive) {
    dialog.SelectDrive(platform::PositionOfLetter(dialog.Drives(), *o.drive));
    dialog.OnDriveChanged();
  }
  dialog.SetNameText(o.name.value_or(std::string()));
  dialog.SetIncludeUsedClusters(o.includeUsed);
  dialog.SetIncludeZeroSize(o.includeZero);

  InstallInterruptHandler();
  if (o.command == Command::Search) {
    dialog.OnSearch();
  } else {
    if (!dialog.ScanAllEnabled()) {
      // The window grays this command on NTFS drives.
      std::cerr << "ambrelic-cli: scanning all clusters works on FAT drives only\n";
      return 1;
    }
    dialog.OnScanAllClusters();
  }
  if (dialog.LastOutcome() != ui::CommandOutcome::Ran) return 1;
  if (o.sort.column >= 0) {
    dialog.OnColumnClick(o.sort.column);
    if (o.sort.descending) dialog.OnColumnClick(o.sort.column);
  }
  WriteList(o, dialog.List(), out);
  out.flush();
  return 0;
}

}  // namespace

int RunCommand(const Options& o, std::ostream& out) {
  if (!o.codepage.empty()) platform::SetOemCodepage(o.codepage);
  switch (o.command) {
    case Command::Drives: return RunDrives(o, out);
    case Command::Search:
    case Command::ScanAll: return RunListing(o, out);
    case Command::Help: out << UsageText(); return 0;
  }
  return 2;
}

int Main(const std::vector<std::string>& args) {
  platform::InitLocale();
  const ParseResult parsed = ParseCommandLine(args);
  if (!parsed.ok) {
    std::cerr << "ambrelic-cli: " << parsed.error << '\n' << UsageText();
    return 2;
  }
  return RunCommand(parsed.options, std::cout);
}

}  // namespace ambrelic::cli
