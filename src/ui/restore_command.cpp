// The restore command: the selected rows are read back from the list and
// written, through the engines, under a target the user chooses in the Save
// As dialog. Nothing is written to the searched volume.
#include <filesystem>
#include <system_error>
#include <unordered_map>

#include "disk/sector_device.h"
#include "exfat/restore.h"
#include "fat/restore.h"
#include "ntfs/mft_scan.h"
#include "ntfs/restore.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/volume_info.h"
#include "ui/main_dialog.h"
#include "ui/restore_paths.h"
#include "ui/restore_plan.h"

namespace ambrelic::ui {
namespace {

const char* const kSelectFile = "Please select a file by clicking on the file name.";
const char* const kSaveAsTitle = "Save As";
const char* const kSaveAsFilter = "All Files(*.*)";
const char* const kDefaultName = "Restored";
const char* const kSameDrive =
    "I recommend you if possible to select a different drive from searched drive so not to overwrite original "
    "data.\n\nDo you want to continue?";
const char* const kAlreadyExists =
    "This file name already exists.\n\nPlease change the file name or folder you want to restore to.";
const char* const kPathTooLong =
    "Restoring path length exceeded maximum path length.\n\nPlease select a folder with shorter path length.";

// The Save As file-name buffer holds 520 bytes with its terminator.
constexpr std::size_t kFileNameBuffer = 520;

std::string CutTo(const std::string& text, std::size_t buffer) {
  return text.size() < buffer ? text : text.substr(0, buffer - 1);
}

std::uint32_t Low32(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

// Told at the end of a restore that could not write everything whole.
std::string IncompleteText(std::uint64_t count) {
  if (count == 1) return "1 file could not be restored completely.";
  return std::to_string(count) + " files could not be restored completely.";
}

}  // namespace

void MainDialog::RememberSearchedVolume() {
  const platform::Drive* slot = SelectedSlot();
  if (slot) {
    searchedDrive_ = *slot;
  } else {
    searchedDrive_.reset();
  }
  searchedRoot_ = ctx_.SearchedRoot;
  searchedKind_ = ctx_.fsKind;
}

bool MainDialog::ReopenSearchedVolume() {
  if (!searchedDrive_) return false;
  // Picking another drive since the search moved SearchedRoot and the kind
  // to that drive and closed the volume; the rows still describe the
  // searched one.
  ctx_.SearchedRoot = searchedRoot_;
  ctx_.fsKind = searchedKind_;
  // The volume is opened afresh: the handle of the search may be closed, or
  // may still point at a medium taken out of the drive since.
  if (ctx_.IsNtPlatform == 0) return true;
  const platform::OpenResult opened =
      platform::OpenFileDevice(searchedDrive_->sourcePath, searchedDrive_->offset, searchedDrive_->length, false);
  if (!opened.device) {
    ShowFileMessage(searchedDrive_->sourcePath, platform::ErrorText(opened.error));
    return false;
  }
  ctx_.volumeHandle = opened.device;
  return true;
}

void MainDialog::OnRestore() {
  lastOutcome_ = CommandOutcome::Stopped;
  op_.OperationMode = disk::OpRestore;
  BeginMediaRecord();
  if (searchedDrive_) {
    ctx_.SearchedRoot = searchedRoot_;
    ctx_.fsKind = searchedKind_;
  }
  if (ctx_.recordedSerial != 0 && !CheckDiskInDrive(ctx_.SearchedRoot)) return;
  const int first = list_.FirstSelected();
  if (first < 0) {
    ShowMessage(kSelectFile);
    return;
  }
  if (!ReopenSearchedVolume()) return;

  const int count = list_.SelectedCount();
  std::string offered = kDefaultName;
  // The row's name as the target can hold it; whatever the user types
  // instead is used as typed.
  if (count == 1) {
    offered = CutTo(platform::FitName(platform::SafePathComponent(list_.CellText(first, 0))), kFileNameBuffer);
  }

  std::string chosen;
  // Each round is one Save As dialog, ended by the user (or by the front
  // end's answers); Cancel ends the command.
  for (;;) {
    const std::optional<std::string> answer = host_.AskSaveAs(kSaveAsTitle, kSaveAsFilter, offered);
    if (!answer) return;
    chosen = CutTo(*answer, kFileNameBuffer);
    offered = chosen;
    const bool sameVolume = sameVolumeTest_ ? sameVolumeTest_(*searchedDrive_, chosen)
                                            : TargetOnSearchedVolume(*searchedDrive_, chosen);
    if (sameVolume && !Ask(disk::QuestionId::SameDrive, kSameDrive)) continue;
    if (platform::PathExists(chosen)) {
      ShowMessage(kAlreadyExists);
      continue;
    }
    break;
  }

  // Nothing is written when the target's file system cannot take it all:
  // as much as it has free is still taken.
  const std::uint64_t needed = BytesToRestore();
  const std::optional<std::uint64_t> free = freeSpaceQuery_ ? freeSpaceQuery_(chosen) : platform::FreeBytesAt(chosen);
  if (free && needed > *free) {
    ShowFileMessage(chosen, "needs " + std::to_string(needed) + " bytes, " + std::to_string(*free) + " free");
    lastRestoreComplete_ = false;
    return;
  }

  lastOutcome_ = CommandOutcome::Ran;
  host_.SetWaitCursor(true);
  restored_.clear();
  // Every box from here on tells of something not restored.
  const long messagesBefore = messagesShown_;
  lastRestoreComplete_ = false;
  cancelTaken_ = false;
  if (count > 1 && EnsureFolder(chosen) == 0) {
    host_.SetWaitCursor(false);
    return;
  }
  op_.IncompleteCount = 0;
  restoreSummary_ = RestoreSummary{};
  restoreSummary_.target = chosen;
  const std::size_t unreadableBefore = unreadableFiles_.size();
  // A device that stopped answering ends the restore: the rows left would
  // only be written as zeros.
  for (const int row : RowsToRestore()) {
    if (cancelTaken_ || disk::DeviceAbandoned(ctx_)) break;
    // Where the data lies comes from the row's typed facts, never from its
    // texts: a list renamed, re-sorted or shown in another form restores
    // the same bytes.
    const disk::RowFacts facts = list_.Facts(row);
    const std::uint64_t number = facts.number;
    const std::uint64_t size = facts.size;
    const bool isFolder = list_.IsFolder(row);
    std::string target = chosen;
    if (count > 1) {
      // Names come from the volume: in their safe form they stay inside
      // the new folder, shortened when longer than the target takes.
      const std::string name = platform::FitName(platform::SafePathComponent(list_.CellText(row, 0)));
      target = chosen + "/" + name;
      // A file restored earlier under this name must not swallow a folder.
      for (int n = 2; isFolder && n <= 10000 && platform::PathExists(target) && !platform::IsFolder(target); ++n) {
        target = platform::NumberedPath(chosen + "/" + name, n);
      }
    }
    bool whole = true;
    if (!carved_.empty()) {
      // The deep scan's rows: the units each file was carved from.
      whole = RestoreCarvedRow(row, target);
    } else if (ctx_.fsKind == disk::FsKind::Exfat) {
      const disk::ExfatStream stream = exfat::RowStream(facts, isFolder);
      const disk::VolumeTime& written = facts.written;
      if (!isFolder) {
        whole = exfat::RestoreExfatFile(ctx_, *this, target, stream, written);
      } else {
        const bool existed = platform::IsFolder(target);
        if (EnsureFolder(target) == 0) {
          whole = false;
        } else {
          if (!existed) Restored(target, written, true);
          exfat::RestoreExfatFolder(ctx_, op_, *this, stream, target);
        }
      }
    } else if (isFolder) {
      // The folder itself is made here; what it holds is told by the engine.
      const bool existed = platform::IsFolder(target);
      RestoreFolder(target, number, size);
      if (!existed && platform::IsFolder(target)) Restored(target, facts.written, true);
    } else if (ctx_.fsKind == disk::FsKind::Ntfs) {
      whole = ntfs::RestoreNtfsFile(ctx_, *this, Low32(number), target);
    } else {
      whole = fat::RestoreFatFile(ctx_, *this, target, Low32(number), Low32(size), facts.written);
    }
    if (!whole) ++op_.IncompleteCount;
  }
  // A file that got zeros for sectors that could not be read is not
  // restored completely either, though it was written to its size.
  restoreSummary_.incomplete = op_.IncompleteCount + (unreadableFiles_.size() - unreadableBefore);
  ApplyRestoredTimes();
  lastRestoreComplete_ = messagesShown_ == messagesBefore && op_.IncompleteCount == 0 && !cancelTaken_;
  // A cancelled restore is incomplete by the user's own choice: the exit
  // status tells it, no box does.
  if (op_.IncompleteCount > 0 && !cancelTaken_) ShowMessage(IncompleteText(op_.IncompleteCount));
  // Last, what could not be read and which files lack it.
  if (ReportMedia(MediaReport::Restore)) lastRestoreComplete_ = false;
  host_.SetWaitCursor(false);
}

void MainDialog::Restored(const std::string& path, const disk::VolumeTime& modified, bool isFolder) {
  if (!isFolder) {
    ++restoreSummary_.files;
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(path, error);
    if (!error) restoreSummary_.bytes += bytes;
  }
  if (keepTimes_ && modified.present()) restored_.push_back({path, modified, isFolder});
}

void MainDialog::ApplyRestoredTimes() {
  // Files first: writing into a folder changes its time, so the folders
  // get theirs once everything is written.
  for (const bool folders : {false, true}) {
    for (const auto& made : restored_) {
      if (made.isFolder != folders) continue;
      if (const std::optional<std::int64_t> seconds = disk::UnixSeconds(made.modified)) {
        platform::SetModificationTime(made.path, *seconds);
      }
    }
  }
  restored_.clear();
}

RestorePlan PlanRestore(const ResultsList& list) {
  RestorePlan plan;
  struct Selected {
    int row;
    std::uint64_t number, parent;
  };
  std::vector<Selected> folders;
  for (int row = list.FirstSelected(); row >= 0; row = list.NextSelected(row)) {
    if (list.IsFolder(row)) folders.push_back({row, list.Facts(row).number, list.Parent(row)});
  }
  if (folders.empty()) {
    for (int row = list.FirstSelected(); row >= 0; row = list.NextSelected(row)) plan.rows.push_back(row);
    return plan;
  }
  // Each folder row is a step from the folder that listed it to its own.
  std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> inside;
  for (int row = 0; row < list.RowCount(); ++row) {
    if (!list.IsFolder(row)) continue;
    const std::uint64_t parent = list.Parent(row);
    if (parent != disk::kNoFolder) inside[parent].push_back(list.Facts(row).number);
  }
  for (const ResultsList::FolderStep& step : list.FolderSteps()) {
    if (step.parent != disk::kNoFolder) inside[step.parent].push_back(step.folder);
  }
  // Adds to `seen` what lies below the folders in `todo` (each taken once).
  auto walkDown = [&inside](std::vector<std::uint64_t> todo, std::unordered_set<std::uint64_t>& seen) {
    while (!todo.empty()) {
      const std::uint64_t folder = todo.back();
      todo.pop_back();
      const auto below = inside.find(folder);
      if (below == inside.end()) continue;
      for (const std::uint64_t child : below->second) {
        if (seen.insert(child).second) todo.push_back(child);
      }
    }
  };
  // A selected folder below no selected folder is restored on its own: its
  // parent is neither selected nor below one.
  std::unordered_set<std::uint64_t> selected;
  for (const Selected& f : folders) selected.insert(f.number);
  std::unordered_set<std::uint64_t> below;
  walkDown(std::vector<std::uint64_t>(selected.begin(), selected.end()), below);
  std::unordered_set<int> own;
  std::vector<std::uint64_t> tops;
  for (const Selected& f : folders) {
    if (selected.count(f.parent) != 0 || below.count(f.parent) != 0) continue;
    own.insert(f.row);
    if (plan.walked.insert(f.number).second) tops.push_back(f.number);
  }
  walkDown(std::move(tops), plan.walked);
  // Folders that only lead to one another (a loop) and to no folder above:
  // the first of them in the list is restored on its own, and takes the
  // others with it.
  for (const Selected& f : folders) {
    if (own.count(f.row) != 0 || plan.walked.count(f.parent) != 0) continue;
    own.insert(f.row);
    if (plan.walked.insert(f.number).second) walkDown({f.number}, plan.walked);
  }
  for (int row = list.FirstSelected(); row >= 0; row = list.NextSelected(row)) {
    const bool alone = list.IsFolder(row) ? own.count(row) != 0 : plan.walked.count(list.Parent(row)) == 0;
    if (alone) plan.rows.push_back(row);
  }
  return plan;
}

std::vector<int> MainDialog::RowsToRestore() const { return PlanRestore(list_).rows; }

std::uint64_t MainDialog::BytesToRestore() const {
  // The selected files, and the files listed below a selected folder.
  const RestorePlan plan = PlanRestore(list_);
  std::uint64_t total = 0;
  for (int row = 0; row < list_.RowCount(); ++row) {
    if (list_.IsFolder(row)) continue;
    if (list_.IsSelected(row) || (!plan.walked.empty() && plan.walked.count(list_.Parent(row)) != 0)) {
      total += list_.Facts(row).size;
    }
  }
  return total;
}

int MainDialog::EnsureFolder(const std::string& path) {
  // The target's own limits: a path the kernel takes, no name of it longer
  // than 255 bytes.
  if (path.size() > platform::kMaxPathBytes || !platform::ComponentsFit(path)) {
    ShowMessage(kPathTooLong);
    return 0;
  }
  // Only the last level is created; a missing parent makes it fail.
  return platform::MakeFolder(path) ? 1 : 0;
}

void MainDialog::RestoreFolder(const std::string& target, std::uint64_t number, std::uint64_t /*size*/) {
  if (EnsureFolder(target) == 0) {
    ++op_.IncompleteCount;
    return;
  }
  if (ctx_.fsKind == disk::FsKind::Ntfs) {
    ntfs::ScanMft(ctx_, op_, *this, Low32(number), target);
  } else {
    fat::RestoreFatFolder(ctx_, op_, *this, Low32(number), target);
  }
}

}  // namespace ambrelic::ui
