#include "ui/main_dialog.h"

#include "exfat/directory_walk.h"
#include "exfat/volume.h"
#include "disk/sector_device.h"
#include "fat/directory_walk.h"
#include "ntfs/mft_scan.h"
#include "platform/text.h"
#include "ui/unreadable_report.h"

namespace ambrelic::ui {

namespace {
const char* const kNoFilesFound = "No files were found.";
const char* const kScanVacant = "Do you want to scan vacant clusters?";
const char* const kNeedNameForScanAll =
    "Please enter all or part of the file name if you want to scan all clusters.";
const char* const kScanAllQuestion =
    "Scan all clusters including used clusters.\n(The clusters exclude root directory of FAT12, FAT16 "
    "drive.)\n\nDo you want to continue?";
}  // namespace

MainDialog::MainDialog(Host& host, std::vector<platform::Drive> drives)
    : host_(host), drives_(std::move(drives)), list_(host) {}

MainDialog::~MainDialog() {
  // A progress dialog still alive must not call back into a dead owner.
  if (openProgress_) openProgress_->Close();
}

void MainDialog::Initialise() {
  list_.CreateColumns();
  driveSelection_ = platform::PreselectedPosition(drives_);
  OnDriveChanged();
  op_.IncludeUsedClusters = 0;
  ctx_.fatCopy.clear();
}

void MainDialog::SelectDrive(int position) {
  driveSelection_ = (position >= 0 && position < static_cast<int>(drives_.size())) ? position : -1;
}

void MainDialog::SetNameText(const std::string& text) { nameText_ = platform::UpperCase(text); }

void MainDialog::UpdateData() {
  op_.nameFilter = nameText_;
  op_.listFilesOnUsedClusters = includeUsedCheck_ ? 1 : 0;
  op_.includeZeroSize = includeZeroCheck_ ? 1 : 0;
}

const platform::Drive* MainDialog::SelectedSlot() const {
  if (driveSelection_ < 0 || driveSelection_ >= static_cast<int>(drives_.size())) return nullptr;
  return &drives_[static_cast<std::size_t>(driveSelection_)];
}

Answer MainDialog::Message(const std::string& text, Buttons buttons, Icon icon, int defaultButton,
                           disk::QuestionId question) {
  ++messagesShown_;
  // A progress window still open beside the box shows where the work stands.
  if (openProgress_) openProgress_->Refresh();
  return host_.ShowMessage(MessageRequest{text, buttons, icon, defaultButton, question});
}

void MainDialog::ReleaseFatWork() {
  std::vector<std::uint8_t>().swap(ctx_.fatWork);
  exfat::ReleaseWalkMarks(ctx_);
}

void MainDialog::BeginMediaRecord() {
  ctx_.media = std::make_shared<disk::MediaErrors>(mediaLimits_);
  lastUnreadable_ = 0;
  lastDeviceLost_ = false;
  unreadableFiles_.clear();
}

bool MainDialog::ReportMedia(MediaReport kind) {
  if (!ctx_.media) return false;
  const disk::MediaErrors& media = *ctx_.media;
  lastUnreadable_ = media.UnreadableSectors(ctx_.bytesPerSector);
  lastDeviceLost_ = media.Abandoned();
  if (lastDeviceLost_) ShowMessage(DeviceLostText(ctx_.SearchedRoot, media.AbandonError()));
  if (lastUnreadable_ == 0 && unreadableFiles_.empty()) return lastDeviceLost_;
  switch (kind) {
    case MediaReport::List:
      ShowMessage(UnreadableListText(ctx_.SearchedRoot, lastUnreadable_));
      break;
    case MediaReport::Restore:
      ShowMessage(UnreadableRestoreText(ctx_.SearchedRoot, lastUnreadable_, unreadableFiles_));
      break;
    case MediaReport::Wipe:
      ShowMessage(UnreadableWipeText(ctx_.SearchedRoot, lastUnreadable_));
      break;
  }
  return true;
}

void MainDialog::UnreadableIn(const std::string& path) { unreadableFiles_.push_back(path); }

bool MainDialog::StopRequested() const { return disk::DeviceAbandoned(ctx_); }

void MainDialog::OnSearch() {
  host_.SetWaitCursor(true);
  UpdateData();
  op_.OperationMode = disk::OpSearch;
  BeginMediaRecord();
  if (PrepareVolume() == 1) {
    lastOutcome_ = CommandOutcome::Ran;
    RememberSearchedVolume();
    if (ctx_.fsKind == disk::FsKind::Ntfs) {
      ntfs::ScanMft(ctx_, op_, *this, 0, std::string());
    } else if (ctx_.fsKind == disk::FsKind::Exfat) {
      // The FAT search's course: the folder walk, then the vacant clusters.
      op_.SearchCancelled = 0;
      exfat::SearchExfat(ctx_, op_, *this);
      if (op_.SearchCancelled == 0 && Ask(disk::QuestionId::ScanVacant, kScanVacant)) {
        op_.ClusterScanActive = 1;
        exfat::ScanExfatClusters(ctx_, op_, *this);
      }
    } else {
      // A cancel of the previous search must not hide this one's question.
      op_.SearchCancelled = 0;
      fat::SearchFat(ctx_, op_, *this);
      if (op_.SearchCancelled == 0 && Ask(disk::QuestionId::ScanVacant, kScanVacant)) {
        op_.ClusterScanActive = 1;
        fat::ScanClusters(ctx_, op_, *this);
      }
    }
    // The rows' bytes checked against their formats, where the type is
    // one the deep scan knows.
    if (op_.FoundCount != 0 && op_.SearchCancelled == 0) CheckRowContents();
    if (op_.FoundCount == 0) ShowMessage(kNoFilesFound);
  } else {
    lastOutcome_ = CommandOutcome::Stopped;
  }
  ReportMedia(MediaReport::List);
  ReleaseFatWork();
  op_.ClusterScanActive = 0;
  host_.SetWaitCursor(false);
}

void MainDialog::OnScanAllClusters() {
  lastOutcome_ = CommandOutcome::Stopped;
  // The menu entry is grayed on NTFS drives; nothing can start it there.
  if (!scanAllEnabled_) return;
  UpdateData();
  if (op_.nameFilter.empty()) {
    ShowMessage(kNeedNameForScanAll);
    host_.SetFocus(FocusTarget::NameField);
    return;
  }
  op_.OperationMode = disk::OpSearch;
  BeginMediaRecord();
  if (PrepareVolume() != 1) {
    ReportMedia(MediaReport::List);
    return;
  }
  lastOutcome_ = CommandOutcome::Ran;
  RememberSearchedVolume();
  // A removable drive is enabled for the scan before its kind is known;
  // the cluster scan has no meaning on an NTFS volume.
  const bool exfatVolume = ctx_.fsKind == disk::FsKind::Exfat;
  if (!disk::IsFat(ctx_.fsKind) && !exfatVolume) {
    ReportMedia(MediaReport::List);
    return;
  }
  if (Ask(disk::QuestionId::ScanAll, kScanAllQuestion)) {
    op_.ClusterScanActive = 1;
    op_.IncludeUsedClusters = 1;
    UpdateData();
    if (exfatVolume) exfat::ScanExfatClusters(ctx_, op_, *this);
    else fat::ScanClusters(ctx_, op_, *this);
    if (op_.FoundCount == 0) ShowMessage(kNoFilesFound);
  }
  ReportMedia(MediaReport::List);
  ReleaseFatWork();
  op_.ClusterScanActive = 0;
  op_.IncludeUsedClusters = 0;
}

std::unique_ptr<disk::ProgressSink> MainDialog::OpenProgress() {
  auto dialog = std::make_unique<ProgressDialog>(host_, host_.CreateProgressView());
  // The engines do not look at the result: a dialog without a window still
  // counts, reads cancel requests and pumps.
  dialog->Open(*this);
  openProgress_ = dialog.get();
  op_.ActiveProgress = dialog.get();
  return dialog;
}

void MainDialog::ProgressClosed(ProgressDialog* dialog) {
  if (openProgress_ == dialog) openProgress_ = nullptr;
  if (op_.ActiveProgress == dialog) op_.ActiveProgress = nullptr;
}

void MainDialog::AddRow(disk::FoundRow row) {
  // The deep scan's own search keeps its rows aside: only their clusters
  // matter to it.
  if (captureRows_) {
    captured_.push_back(std::move(row));
    return;
  }
  list_.AddRow(op_, std::move(row));
}

void MainDialog::FolderEntered(std::uint64_t folder, std::uint64_t parent) {
  if (!captureRows_) list_.AddFolderStep(folder, parent);
}

void MainDialog::ShowMessage(const std::string& text) { Message(text, Buttons::Ok, Icon::None); }

void MainDialog::ShowFileMessage(const std::string& path, const std::string& text) {
  Message(host_.FileMessageText(path, text), Buttons::Ok, Icon::None);
}

bool MainDialog::AskYesNo(const std::string& text, bool stopIcon) {
  return Ask(disk::QuestionId::Unnamed, text, stopIcon);
}

bool MainDialog::Ask(disk::QuestionId id, const std::string& text, bool stopIcon) {
  return Message(text, Buttons::YesNo, stopIcon ? Icon::Stop : Icon::None, 1, id) == Answer::Yes;
}

bool MainDialog::CancelRequested() {
  if (!cancelTaken_) {
    cancelTaken_ = op_.ActiveProgress ? op_.ActiveProgress->TakeCancelRequest() : host_.PumpMessages();
  }
  return cancelTaken_;
}

}  // namespace ambrelic::ui
