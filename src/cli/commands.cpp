#include "cli/commands.h"

#include <algorithm>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>

#include "cli/cli_host.h"
#include "cli/output.h"
#include "disk/volume_context.h"
#include "platform/block_device.h"
#include "platform/drives.h"
#include "platform/text.h"
#include "platform/volume_info.h"
#include "ui/delete_command.h"
#include "ui/main_dialog.h"
#include "ui/volume_preparation.h"
#include "ui/windows9x.h"
#include "platform/bios_disks.h"

namespace ambrelic::cli {
namespace {

// The drives the dialog lists and, on the 9x path, the platform behind them
// (the INT 13h service serving the sources, the partition walk).
struct Session {
  std::unique_ptr<ui::Windows9xPlatform> windows9x;
  std::vector<platform::Drive> drives;
  // The machine's block devices that could not be opened, with the errno
  // (only when no source was named).
  std::vector<std::pair<std::string, int>> refused;
  bool machineSources = false;
};

// Start-up. False when a start-up message ended the program (a missing
// service library on the 9x path).
bool OpenSession(const Options& o, Session& session) {
  if (!o.platform9x) {
    platform::DriveTable table = platform::BuildDriveTable(o.sources);
    for (const auto& note : table.notes) std::cerr << "ambrelic-cli: " << note << '\n';
    session.drives = std::move(table.drives);
    session.machineSources = table.machineSources;
    if (table.machineSources) session.refused = std::move(table.unreadable);
    ui::NameNtfsDrivesByLabel(session.drives);
    return true;
  }
  session.windows9x = std::make_unique<ui::Windows9xPlatform>();
  ui::Windows9xOptions options;
  options.heads = o.heads;
  options.sectorsPerTrack = o.sectorsPerTrack;
  options.lba = o.lba;
  const std::string failure = session.windows9x->Start(o.sources, options, platform::ServiceLibraryFolder());
  if (!failure.empty()) {
    std::cerr << failure << '\n';
    return false;
  }
  for (const auto& note : session.windows9x->notes()) std::cerr << note << '\n';
  session.drives = session.windows9x->BuildDriveTable();
  return true;
}

// --drive naming a letter no source gave: the dialog's own words, after
// the letter asked for and the letters there are.
bool DriveListed(const ui::MainDialog& dialog, char letter) {
  if (platform::PositionOfLetter(dialog.Drives(), letter) >= 0) return true;
  std::string letters;
  for (const platform::Drive& d : dialog.Drives()) {
    letters += (letters.empty() ? "" : ", ") + std::string(1, d.letter) + ":";
  }
  std::cerr << "ambrelic-cli: there is no drive " << letter << ": (drives: " << (letters.empty() ? "none" : letters)
            << "). Please select a drive.\n";
  return false;
}

int RunDrives(const Options& o, std::ostream& out) {
  Session session;
  if (!OpenSession(o, session)) return 1;
  int status = 0;
  // Devices of the machine this user may not read are named, not left out
  // silently: an empty list must say why.
  for (const auto& [path, error] : session.refused) {
    std::cerr << "ambrelic-cli: " << path << ": " << platform::ErrorText(error) << '\n';
  }
  if (session.machineSources && session.drives.empty()) {
    std::cerr << "ambrelic-cli: no drive could be read"
              << (session.refused.empty() ? "" : "; run it as root (sudo ambrelic-cli drives) or name an image")
              << '\n';
    status = 1;
  }
  for (const auto& d : session.drives) {
    // A removable drive without its medium is still a drive; a fixed source
    // that cannot be opened (a mistyped path, no permission) is an error the
    // user must see, not a drive of kind none.
    if (!session.windows9x && d.type != platform::DriveType::Removable) {
      const platform::OpenResult opened = platform::OpenFileDevice(d.sourcePath, d.offset, d.length, false);
      if (!opened.device) {
        std::cerr << "ambrelic-cli: " << d.sourcePath << ": " << platform::ErrorText(opened.error) << '\n';
        status = 1;
        continue;
      }
    }
    out << d.root << '\t' << (d.type == platform::DriveType::Removable ? "removable" : "fixed") << '\t'
        << disk::FsKindName(ui::IdentifyDriveKind(d)) << '\t' << d.displayName << '\t' << d.sourcePath << '\t'
        << d.offset << '\n';
  }
  return status;
}

void WriteList(const Options& o, const ui::ResultsList& list, std::ostream& out) {
  switch (o.format) {
    case Format::Csv: WriteCsv(list, out, o.condition); break;
    case Format::Json: WriteJson(list, out); break;
    case Format::Jsonl: WriteJsonLines(list, out); break;
    case Format::Bodyfile: WriteBodyfile(list, out); break;
    case Format::Table: WriteTable(list, out, o.condition); break;
  }
}

// restore --to -: one file row's bytes on standard output, read as the
// restore reads them, and nothing made anywhere.
int RowToStandardOutput(const Options& o, ui::MainDialog& dialog) {
  if (o.allRows || o.rows.size() != 1) {
    std::cerr << "ambrelic-cli: --to - writes one row: name it with --row N\n";
    return 2;
  }
  const int row = o.rows.front() - 1;
  if (dialog.List().IsFolder(row)) {
    std::cerr << "ambrelic-cli: row " << o.rows.front() << " is a folder; only a file goes to standard output\n";
    return 1;
  }
  std::cout.flush();
  const ui::MainDialog::RowBytes bytes = dialog.ReadRowBytes(row, STDOUT_FILENO, 0, dialog);
  if (!bytes.read) return 1;
  if (!bytes.whole) {
    std::cerr << "ambrelic-cli: row " << o.rows.front() << " could not be read whole (" << bytes.bytes
              << " bytes written)\n";
    return 1;
  }
  return 0;
}

// Selects the rows the options name (1-based, in list order) and runs the
// restore command with the --to path as the Save As answer.
int RestoreRows(const Options& o, ui::MainDialog& dialog, CliHost& host, int searchStatus) {
  ui::ResultsList& list = dialog.List();
  list.SelectAll(o.allRows);
  for (int row : o.rows) {
    if (row > list.RowCount()) {
      std::cerr << "ambrelic-cli: there is no row " << row << " (the list has " << list.RowCount() << ")\n";
      return 1;
    }
    list.SetSelected(row - 1, true);
  }
  if (o.restoreTo == "-") return RowToStandardOutput(o, dialog);
  if (list.SelectedCount() == 0) {
    // The window's words ask for a click; the command line names its own way.
    if (list.RowCount() == 0) {
      std::cerr << "ambrelic-cli: nothing to restore: the search listed no files\n";
    } else {
      std::cerr << "ambrelic-cli: nothing to restore: name rows with --row N or --all (the list has "
                << list.RowCount() << ")\n";
    }
    return 1;
  }
  host.SetSaveAsAnswer(o.restoreTo);
  dialog.SetKeepTimes(o.keepTimes);
  dialog.OnRestore();
  const bool ran = dialog.LastOutcome() == ui::CommandOutcome::Ran;
  if (ran && !o.quiet) {
    const ui::MainDialog::RestoreSummary& done = dialog.LastRestoreSummary();
    std::cerr << "ambrelic-cli: " << done.files << (done.files == 1 ? " file" : " files") << " restored ("
              << done.bytes << " bytes) to " << done.target << "; " << done.incomplete
              << " not restored completely\n";
  }
  if (const int interrupted = InterruptStatus()) return interrupted;
  if (!ran || !dialog.LastRestoreComplete()) return 1;
  // Rows the search could not find for unreadable sectors were not there to
  // pick: the restore of what was asked for is not known to be whole.
  return std::max(searchStatus, ReadsStatus(dialog));
}

int RunListing(const Options& o, std::ostream& out) {
  std::map<disk::QuestionId, bool> answers;
  if (o.scanVacant) answers[disk::QuestionId::ScanVacant] = *o.scanVacant;
  if (o.yes) answers[disk::QuestionId::ScanAll] = true;
  // Without --yes the warning gets its default No, never a prompt.
  if (o.command == Command::Restore) answers[disk::QuestionId::SameDrive] = o.yes;
  CliHost host(o.quiet, answers);
  Session session;
  if (!OpenSession(o, session)) return 1;
  ui::MainDialog dialog(host, session.drives);
  if (session.windows9x) dialog.UseWindows9x(session.windows9x.get());
  dialog.Initialise();
  if (o.drive) {
    if (!DriveListed(dialog, *o.drive)) return 1;
    dialog.SelectDrive(platform::PositionOfLetter(dialog.Drives(), *o.drive));
    dialog.OnDriveChanged();
  }
  dialog.SetNameText(o.name.value_or(std::string()));
  dialog.SetIncludeUsedClusters(o.includeUsed);
  dialog.SetIncludeZeroSize(o.includeZero);

  // Lines written as the rows are found: a list sorted afterwards can only
  // be written once it is whole. A search's JSON lines carry each row's
  // condition, which the content check at the search's end may still
  // change; they wait for it. The deep scan's rows come checked.
  const bool streaming = o.command != Command::Restore && o.sort.column < 0 &&
                         (o.format == Format::Bodyfile || (o.format == Format::Jsonl && o.carve));
  if (streaming) {
    dialog.List().SetRowObserver([&out, &dialog, &o](const ui::ResultRow& row) {
      const std::string text =
          o.format == Format::Jsonl ? JsonRow(row, NumberKey(dialog.List())) + "\n" : BodyLines(row);
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      out.flush();
    });
  }
  InstallInterruptHandler();
  if (o.carve) {
    dialog.SetCarveOptions(ui::CarveOptions{o.types, o.includeListed});
    dialog.OnCarve();
  } else if (o.command == Command::Search || o.command == Command::Restore) {
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
  // Ctrl-C (or SIGTERM) cancelled the search: what was found is written, as
  // what it is.
  const int interrupted = InterruptStatus();
  if (interrupted != 0) std::cerr << "ambrelic-cli: interrupted: the list is incomplete\n";
  if (interrupted != 0 && o.command == Command::Restore) return interrupted;
  if (o.sort.column >= 0) {
    dialog.OnColumnClick(o.sort.column);
    if (o.sort.descending) dialog.OnColumnClick(o.sort.column);
  }
  // A device that stopped answering during the search keeps the rows found
  // until then; the restore has nothing sound to read from.
  if (o.command == Command::Restore) {
    return dialog.LastDeviceLost() ? 1 : RestoreRows(o, dialog, host, ReadsStatus(dialog));
  }
  if (!streaming) WriteList(o, dialog.List(), out);
  out.flush();
  if (interrupted != 0) return interrupted;
  return ReadsStatus(dialog);
}

// The delete-completely command: --yes answers its two questions, --records
// (or --no-records) the one between its phases, on every file system.
int RunWipe(const Options& o) {
  Session session;
  if (!OpenSession(o, session)) return 1;
  std::map<disk::QuestionId, bool> answers;
  if (o.yes) {
    answers[disk::QuestionId::DeleteCompletelyFirst] = true;
    answers[disk::QuestionId::DeleteCompletelySecond] = true;
  }
  if (o.records) answers[disk::QuestionId::ReplaceFileInformation] = *o.records;
  CliHost host(o.quiet, answers);
  ui::MainDialog dialog(host, session.drives);
  if (session.windows9x) dialog.UseWindows9x(session.windows9x.get());
  dialog.Initialise();
  if (o.drive) {
    if (!DriveListed(dialog, *o.drive)) return 1;
    dialog.SelectDrive(platform::PositionOfLetter(dialog.Drives(), *o.drive));
    dialog.OnDriveChanged();
  }
  InstallInterruptHandler();
  dialog.OnDeleteCompletely();
  // 0 only when everything confirmed was done: declined, cancelled,
  // refused, failed or left clusters all end with 1.
  return dialog.LastWipeComplete() ? 0 : 1;
}

}  // namespace

int ReadsStatus(bool deviceLost, std::uint64_t unreadableSectors) {
  return deviceLost || unreadableSectors > 0 ? 1 : 0;
}

int ReadsStatus(const ui::MainDialog& dialog) {
  return ReadsStatus(dialog.LastDeviceLost(), dialog.LastUnreadableSectors());
}

int RunCommand(const Options& o, std::ostream& out) {
  if (!o.codepage.empty()) platform::SetOemCodepage(o.codepage);
  switch (o.command) {
    case Command::Drives: return RunDrives(o, out);
    case Command::Search:
    case Command::ScanAll:
    case Command::Restore:
    case Command::Carve: return RunListing(o, out);
    case Command::Wipe: return RunWipe(o);
    case Command::Help: out << UsageText(); return 0;
    case Command::Version: out << VersionText(); return 0;
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
