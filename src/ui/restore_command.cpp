// The restore command: the selected rows are read back from the list and
// written, through the engines, under a target the user chooses in the Save
// As dialog. Nothing is written to the searched volume.
#include "exfat/restore.h"
#include "fat/restore.h"
#include "ntfs/mft_scan.h"
#include "ntfs/restore.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/volume_info.h"
#include "ui/main_dialog.h"
#include "ui/restore_paths.h"

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

// The Save As file-name buffer holds 520 bytes with its terminator; the
// size text is read into 32.
constexpr std::size_t kFileNameBuffer = 520;
constexpr std::size_t kSizeTextBuffer = 32;
// A folder the restore creates: on the NT path fewer than 254 UTF-16
// characters, on the 9x path fewer than 247 bytes.
constexpr std::size_t kNtFolderUnits = 254;
constexpr std::size_t kNineXFolderBytes = 247;

std::string CutTo(const std::string& text, std::size_t buffer) {
  return text.size() < buffer ? text : text.substr(0, buffer - 1);
}

std::uint32_t Low32(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

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
    ShowMessage(platform::ErrorText(opened.error));
    return false;
  }
  ctx_.volumeHandle = opened.device;
  return true;
}

void MainDialog::OnRestore() {
  lastOutcome_ = CommandOutcome::Stopped;
  op_.OperationMode = disk::OpRestore;
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
  if (count == 1) offered = CutTo(platform::SafePathComponent(list_.CellText(first, 0)), kFileNameBuffer);

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
    if (sameVolume && !AskYesNo(kSameDrive)) continue;
    if (platform::PathExists(chosen)) {
      ShowMessage(kAlreadyExists);
      continue;
    }
    break;
  }

  lastOutcome_ = CommandOutcome::Ran;
  host_.SetWaitCursor(true);
  // Every box from here on tells of something not restored.
  const long messagesBefore = messagesShown_;
  lastRestoreComplete_ = false;
  if (count > 1 && EnsureFolder(chosen) == 0) {
    host_.SetWaitCursor(false);
    return;
  }
  for (int row = first; row >= 0; row = list_.NextSelected(row)) {
    const std::string sizeText = CutTo(list_.CellText(row, 2), kSizeTextBuffer);
    const std::uint64_t number = ParseUInt64Text(list_.CellText(row, 4));
    const std::uint64_t size = ParseUInt64Text(sizeText);
    const bool isFolder = sizeText.empty();
    std::string target = chosen;
    if (count > 1) {
      // Names come from the volume: in their safe form they stay inside
      // the new folder.
      const std::string name = platform::SafePathComponent(list_.CellText(row, 0));
      if (name.size() > platform::kMaxNameBytes) {
        ShowMessage(kPathTooLong);
        continue;
      }
      target = chosen + "/" + name;
      // A file restored earlier under this name must not swallow a folder.
      for (int n = 2; isFolder && n <= 10000 && platform::PathExists(target) && !platform::IsFolder(target); ++n) {
        target = platform::NumberedPath(chosen + "/" + name, n);
      }
    }
    if (ctx_.fsKind == disk::FsKind::Exfat) {
      // The row's texts do not say where its data lies; the search noted it.
      const disk::ExfatStream stream =
          exfat::RowStream(ctx_, list_.CellText(row, 0), list_.CellText(row, 1), sizeText, size, number);
      if (!isFolder) {
        exfat::RestoreExfatFile(ctx_, *this, target, stream);
      } else if (EnsureFolder(target) != 0) {
        exfat::RestoreExfatFolder(ctx_, op_, *this, stream, target);
      }
    } else if (isFolder) {
      RestoreFolder(target, number, size);
    } else if (ctx_.fsKind == disk::FsKind::Ntfs) {
      ntfs::RestoreNtfsFile(ctx_, *this, Low32(number), target);
    } else {
      fat::RestoreFatFile(ctx_, *this, target, Low32(number), Low32(size));
    }
  }
  lastRestoreComplete_ = messagesShown_ == messagesBefore;
  host_.SetWaitCursor(false);
}

int MainDialog::EnsureFolder(const std::string& path) {
  bool fits;
  if (ctx_.IsNtPlatform == 0) {
    fits = path.size() < kNineXFolderBytes;
  } else {
    fits = platform::LocaleToUtf16(path).size() < kNtFolderUnits;
  }
  // Linux adds its own limit: no name of the path may pass 255 bytes.
  if (!fits || !platform::ComponentsFit(path)) {
    ShowMessage(kPathTooLong);
    return 0;
  }
  // Only the last level is created; a missing parent makes it fail.
  return platform::MakeFolder(path) ? 1 : 0;
}

void MainDialog::RestoreFolder(const std::string& target, std::uint64_t number, std::uint64_t /*size*/) {
  if (EnsureFolder(target) == 0) return;
  if (ctx_.fsKind == disk::FsKind::Ntfs) {
    ntfs::ScanMft(ctx_, op_, *this, Low32(number), target);
  } else {
    fat::RestoreFatFolder(ctx_, op_, *this, Low32(number), target);
  }
}

}  // namespace ambrelic::ui
