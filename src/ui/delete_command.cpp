// The delete-completely command: the volume prepared and opened for
// writing, two confirmations naming the drive, then the wipe of the volume's
// file system.
#include "ui/delete_command.h"

#include <cerrno>
#include <optional>

#include "exfat/wipe.h"
#include "fat/wipe.h"
#include "ntfs/wipe.h"
#include "platform/block_device.h"
#include "platform/image_sources.h"
#include "platform/loop_devices.h"
#include "platform/mounts.h"
#include "platform/volume_info.h"
#include "ui/main_dialog.h"
#include "ui/windows9x.h"

namespace ambrelic::ui {

const char* const kDriveInUse = "The drive is in use (mounted). Unmount it and try again.";

namespace {
const char* const kAdminHint = "\n\nPlease log on an account with Administrator privilege and then run the program again.";
}  // namespace

std::string DeleteCompletelyFirstQuestion(const std::string& root) {
  return "Delete completely all deleted files on " + root +
         " drive not to be restored.\n(This function doesn't affect to existing files.)\n\nDo you want to continue?";
}

std::string DeleteCompletelySecondQuestion(const std::string& root) {
  return "Before you run this function, Please check " + root +
         " drive and repair all errors if it has any.\nPlease close all running applications, if any.\n\nDo you want "
         "to continue?";
}

bool MainDialog::ReopenVolumeForWriting() {
  const platform::Drive* slot = SelectedSlot();
  if (!slot) return false;
  // A block device is opened exclusively: the kernel refuses that while the
  // volume is mounted, and a mounted volume's "vacant" clusters are the
  // file system's to hand out at any moment.
  // An image file has no such lock: when a loop device over it is held, or
  // any mounted file system (a loop device's, ntfs-3g's or another FUSE
  // one's) reads it, it is refused the same way.
  // An image in a container keeps its sectors inside its own structures
  // (compressed chunks, allocation tables, checksums): there is no place
  // to overwrite them in.
  if (const platform::SourceKind kind = platform::KindOfSource(slot->sourcePath); platform::IsContainer(kind)) {
    ShowFileMessage(slot->sourcePath, platform::NotWritableInPlaceText(kind));
    return false;
  }
  if (platform::ImageHeldThroughLoopDevice(slot->sourcePath) ||
      platform::SourceMounted(slot->sourcePath, slot->offset, slot->length)) {
    ShowMessage(kDriveInUse);
    return false;
  }
  platform::OpenResult opened = platform::OpenFileDevice(slot->sourcePath, slot->offset, slot->length, true);
  if (!opened.device) {
    if (opened.error == EBUSY) {
      ShowMessage(kDriveInUse);
      return false;
    }
    std::string text = platform::ErrorText(opened.error);
    if (opened.error == EACCES || opened.error == EPERM) text += kAdminHint;
    ShowFileMessage(slot->sourcePath, text);
    return false;
  }
  ctx_.volumeHandle = opened.device;
  return true;
}

// The 9x path: the BIOS disk behind the volume is served for writing, with
// the same refusals as the volume's writable open.
bool MainDialog::ReopenDiskForWriting9x() {
  const std::string path = windows9x_->DiskPath(ctx_.biosDrive);
  if (!path.empty() && (platform::ImageHeldThroughLoopDevice(path) || platform::SourceMounted(path))) {
    ShowMessage(kDriveInUse);
    return false;
  }
  const int rc = windows9x_->SetDiskWritable(ctx_.biosDrive, true);
  if (rc == 0) return true;
  if (rc == EBUSY) {
    ShowMessage(kDriveInUse);
    return false;
  }
  std::string text = platform::ErrorText(rc);
  if (rc == EACCES || rc == EPERM) text += kAdminHint;
  ShowMessage(text);
  return false;
}

void MainDialog::OnDeleteCompletely() {
  lastOutcome_ = CommandOutcome::Stopped;
  wipeFailures_ = 0;
  wipeComplete_ = false;
  BeginMediaRecord();
  if (PrepareVolume() != 1) {
    ReportMedia(MediaReport::Wipe);
    return;
  }
  // The writable open comes before the questions, so that a read-only or
  // mounted source is refused before the user is asked anything.
  if (!(windows9x_ ? ReopenDiskForWriting9x() : ReopenVolumeForWriting())) return;
  const std::string& root = ctx_.SearchedRoot;
  // So does the check of what is in use: a volume whose own records
  // contradict each other is refused, with the reason, before any question.
  std::optional<ntfs::NtfsClusterSurvey> ntfsSurvey;
  std::optional<fat::FatClusterSurvey> fatSurvey;
  std::optional<exfat::ExfatClusterSurvey> exfatSurvey;
  if (ctx_.fsKind == disk::FsKind::Ntfs) ntfsSurvey = ntfs::WipeVacantNtfsClusters.Check(ctx_, *this);
  else if (ctx_.fsKind == disk::FsKind::Exfat) exfatSurvey = exfat::WipeExfatVolume.Check(ctx_, *this);
  else fatSurvey = fat::WipeFatVolume.Check(ctx_, *this);
  if (ntfsSurvey || fatSurvey || exfatSurvey) {
    lastOutcome_ = CommandOutcome::Ran;
    if (Ask(disk::QuestionId::DeleteCompletelyFirst, DeleteCompletelyFirstQuestion(root), true) &&
        Ask(disk::QuestionId::DeleteCompletelySecond, DeleteCompletelySecondQuestion(root), true)) {
      disk::WipeResult r;
      if (ntfsSurvey) r = ntfs::WipeVacantNtfsClusters(ctx_, op_, *this, std::move(*ntfsSurvey));
      else if (exfatSurvey) r = exfat::WipeExfatVolume(ctx_, op_, *this, std::move(*exfatSurvey));
      else r = fat::WipeFatVolume(ctx_, op_, *this, std::move(*fatSurvey));
      wipeFailures_ = r.Failures();
      wipeComplete_ = r.Complete();
    }
    // What could not be read was not overwritten either.
    ReportMedia(MediaReport::Wipe);
    wipeFailures_ += lastUnreadable_ + (lastDeviceLost_ ? 1 : 0);
    if (lastUnreadable_ != 0 || lastDeviceLost_) wipeComplete_ = false;
  } else {
    ReportMedia(MediaReport::Wipe);
  }
  ReleaseFatWork();
  // The volume goes back to being read only; an exclusive open of a block
  // device would otherwise keep it from being mounted.
  if (windows9x_) {
    windows9x_->SetDiskWritable(ctx_.biosDrive, false);
  } else {
    if (const platform::Drive* slot = SelectedSlot()) {
      platform::OpenResult readOnly = platform::OpenFileDevice(slot->sourcePath, slot->offset, slot->length, false);
      ctx_.volumeHandle = readOnly.device;
    }
  }
}

}  // namespace ambrelic::ui
