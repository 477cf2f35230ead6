#include "ui/volume_preparation.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"
#include "exfat/boot_region.h"
#include "exfat/volume.h"
#include "fat/allocation_table.h"
#include "ntfs/mft_scan.h"
#include "ntfs/volume_label.h"
#include "platform/boot_sector.h"
#include "platform/volume_info.h"
#include "ui/main_dialog.h"
#include "ui/windows9x.h"
#include "disk/partition_table.h"
#include "disk/sector_device.h"

namespace ambrelic::ui {
namespace {

const char* const kSelectDrive = "Please select a drive.";
const char* const kNoWildcard =
    "You can't use wild card * .\n\nIf you want to search by extension, please enter something like . TXT.";
const char* const kAdminHint = "\n\nPlease log on an account with Administrator privilege and then run the program again.";
// The NT path searches exFAT too, so its refusal names it; the 9x path
// knows no exFAT (as that system did not) and keeps the designed text.
const char* const kNotSearchable = "You can't search this drive because the type is not FAT12/FAT16/FAT32/NTFS/exFAT.";
const char* const kNotSearchable9x = "You can't search this drive because the type is not FAT12/FAT16/FAT32/NTFS.";
const char* const kDifferentDisk =
    "The disk in selected drive is different from searched disk.\n\nI recommend you to search files again.";
const char* const kNotFormatted =
    "The disk in selected drive is not formatted or broken.\n\nPlease insert a correctly formatted disk.";
const char* const kNotAccessible = " is not accessible.\n\n";
const char* const kRemovableNoBiosDisk =
    "Removable disk reading failure.\n\nPlease shut down the computer and insert a disk and then restart the "
    "computer.\n\nAlso make sure the Int13 unit option for the device is checked by Device Manager.\nIf it's not, "
    "please check it and then restart the computer.";
const char* const kNoPartition =
    "Couldn't find the partition for selected drive.\nMake sure the Int13 unit option for the device is checked by "
    "Device Manager.\nIf it's not, please check it and then restart the computer.";

// GetVolumeInformationA fills a 15-byte label buffer.
constexpr std::size_t kLabelCap = 14;

bool IsFloppyRoot(const std::string& root) { return root == "A:\\" || root == "B:\\"; }

bool TextAt(std::span<const std::uint8_t> sector, std::size_t offset, const char* text) {
  const std::size_t n = std::strlen(text);
  return disk::Fits(offset, n, sector.size()) && std::memcmp(sector.data() + offset, text, n) == 0;
}

std::uint64_t VolumeSectorsFor(platform::BlockDevice& volume) {
  std::array<std::uint8_t, 512> sector{};
  volume.ReadAt(0, sector);
  std::uint16_t bps = disk::le16(sector, 0x0B);
  if (bps < 512 || bps > 4096 || (bps & (bps - 1)) != 0) bps = 512;
  return volume.Size() / bps;
}

}  // namespace

disk::FsKind KindForDrive(const platform::Drive& drive, platform::BlockDevice& volume) {
  // The boot sector, or its copy when it cannot be read.
  const std::vector<std::uint8_t> sector = platform::ReadBootSector(volume).bytes;
  if (IsFloppyRoot(drive.root)) return disk::FatKindFromLayout(disk::FsKind::Fat12, sector);
  // exFAT shares the partition type 0x07 with NTFS (and cards are found
  // with FAT types too): its boot sector alone tells it.
  if (exfat::HasExfatSignature(sector)) return disk::FsKind::Exfat;
  const std::uint8_t type = drive.fromTable ? drive.partitionType : platform::InferPartitionType(sector);
  disk::FsKind kind = disk::KindFromPartitionType(type);
  if (kind == disk::FsKind::None && drive.type == platform::DriveType::Removable) {
    if (TextAt(sector, 0x36, "FAT16")) kind = disk::FsKind::Fat16;
    else if (TextAt(sector, 0x36, "FAT12")) kind = disk::FsKind::Fat12;
    else if (TextAt(sector, 0x52, "FAT32")) kind = disk::FsKind::Fat32;
  }
  return disk::FatKindFromLayout(kind, sector);
}

disk::FsKind IdentifyDriveKind(const platform::Drive& drive) {
  platform::OpenResult opened = platform::OpenFileDevice(drive.sourcePath, drive.offset, drive.length, false);
  if (!opened.device) return disk::FsKind::None;
  disk::VolumeContext scratch;
  scratch.bytesPerSector = drive.sectorSize;
  scratch.volumeHandle = opened.device;
  scratch.fsKind = KindForDrive(drive, *opened.device);
  if (disk::IsFat(scratch.fsKind)) {
    if (!disk::ParseFatBootSector(scratch, 0, VolumeSectorsFor(*opened.device))) return disk::FsKind::None;
  } else if (scratch.fsKind == disk::FsKind::Ntfs) {
    if (!ntfs::PrepareNtfsVolume(scratch)) return disk::FsKind::None;
  } else if (scratch.fsKind == disk::FsKind::Exfat) {
    exfat::ExfatVolume layout;
    if (!exfat::ReadBootRegion(scratch, layout)) return disk::FsKind::None;
  }
  return scratch.fsKind;
}

void NameNtfsDrivesByLabel(std::vector<platform::Drive>& drives) {
  for (platform::Drive& drive : drives) {
    if (!drive.label.empty()) continue;
    platform::OpenResult opened = platform::OpenFileDevice(drive.sourcePath, drive.offset, drive.length, false);
    if (!opened.device) continue;
    disk::VolumeContext scratch;
    scratch.bytesPerSector = drive.sectorSize;
    scratch.volumeHandle = opened.device;
    if (KindForDrive(drive, *opened.device) != disk::FsKind::Ntfs) continue;
    scratch.fsKind = disk::FsKind::Ntfs;
    if (!ntfs::PrepareNtfsVolume(scratch)) continue;
    std::string label = ntfs::ReadVolumeLabel(scratch);
    if (label.empty()) continue;
    drive.label = std::move(label);
    drive.displayName = platform::DriveDisplayName(drive);
  }
}

std::string SourceName(const platform::Drive& drive) {
  // A partition is one of the drives its source holds: its letter tells
  // which.
  if (drive.offset == 0 && drive.length == 0) return drive.sourcePath;
  return drive.sourcePath + " (" + std::string(1, drive.letter) + ":)";
}

int MainDialog::PrepareVolume() {
  const platform::Drive* slot = SelectedSlot();
  if (!slot) {
    ShowMessage(kSelectDrive);
    host_.SetFocus(FocusTarget::DriveCombo);
    return 0;
  }
  if (op_.nameFilter.find('*') != std::string::npos) {
    ShowMessage(kNoWildcard);
    host_.SetFocus(FocusTarget::NameField);
    return 0;
  }
  ctx_.SearchedRoot = slot->root;
  ctx_.bytesPerSector = slot->sectorSize;
  ctx_.recordedSerial = 0;
  if (windows9x_) return PrepareVolume9x(*slot);
  list_.Clear(op_);
  carved_.clear();

  ctx_.volumeHandle.reset();
  const bool removable = slot->type == platform::DriveType::Removable;
  // On Linux a removable drive's medium is its source file: without it there
  // is nothing to open, so the disk check (with its Retry) comes first.
  if (removable && !CheckDiskInDrive(ctx_.SearchedRoot)) return 0;

  // Search and scan only read; the volume is never opened for writing here.
  platform::OpenResult opened = platform::OpenFileDevice(slot->sourcePath, slot->offset, slot->length, false);
  if (!opened.device) {
    std::string text = platform::ErrorText(opened.error);
    if (opened.error == EACCES || opened.error == EPERM) text += kAdminHint;
    ShowFileMessage(slot->sourcePath, text);
    return 0;
  }
  ctx_.volumeHandle = opened.device;
  ctx_.fsKind = KindForDrive(*slot, *ctx_.volumeHandle);
  const std::uint32_t partitionStart = 0;

  // The messages name the source (the window and the command line list
  // several), beside the designed words.
  const std::string source = SourceName(*slot);
  if (ctx_.fsKind == disk::FsKind::None) {
    if (rawFallback_) return PrepareRawVolume();
    ShowFileMessage(source, kNotSearchable);
    return 0;
  }
  std::vector<std::uint8_t>().swap(ctx_.fatCopy);
  std::vector<std::uint8_t>().swap(ctx_.mftSelfRecord);

  if (ctx_.fsKind == disk::FsKind::Ntfs) {
    list_.AddFifthColumn(ctx_.fsKind);
    if (!ntfs::PrepareNtfsVolume(ctx_)) {
      if (rawFallback_) return PrepareRawVolume();
      ShowFileMessage(source, kNotSearchable);
      return 0;
    }
    return 1;
  }
  if (ctx_.fsKind == disk::FsKind::Exfat) {
    list_.AddFifthColumn(ctx_.fsKind);
    if (!exfat::PrepareExfatVolume(ctx_)) {
      if (rawFallback_) return PrepareRawVolume();
      ShowFileMessage(source, kNotSearchable);
      return 0;
    }
    return 1;
  }
  list_.AddFifthColumn(ctx_.fsKind);
  if (!disk::ParseFatBootSector(ctx_, partitionStart, VolumeSectorsFor(*ctx_.volumeHandle))) {
    if (rawFallback_) return PrepareRawVolume();
    ShowFileMessage(source, kNotSearchable);
    return 0;
  }
  if (!fat::LoadAllocationTable(ctx_, partitionStart)) {
    if (rawFallback_) return PrepareRawVolume();
    ShowFileMessage(source, kNotSearchable9x);
    return 0;
  }
  return 1;
}

int MainDialog::PrepareRawVolume() {
  // The deep scan reads such a volume as plain sectors: no file system to
  // describe, the fifth column numbers sectors.
  ctx_.fsKind = disk::FsKind::None;
  list_.AddNumberColumn("Sector");
  return 2;
}

// The Windows 9x branches: the drive is a partition of a BIOS disk (fixed)
// or a BIOS disk (removable), reached through the INT 13h service.
int MainDialog::PrepareVolume9x(const platform::Drive& slot) {
  const disk::PartitionWalk& walk = windows9x_->Walk();
  ctx_.IsNtPlatform = 0;
  ctx_.int13 = windows9x_->Api();
  ctx_.volumeHandle.reset();
  const disk::Int13Api& api = *ctx_.int13;
  auto queryDisk = [&]() {
    ctx_.hasInt13Extensions = api.i13_lba_check(ctx_.biosDrive);
    std::uint8_t block[8] = {};
    api.i13_get_drive_parameter(ctx_.biosDrive, block);
    ctx_.geometry = {block[2], block[6]};
  };
  // One sector (at least 512 bytes) of the selected BIOS disk, read through
  // a context that carries only what the disk back end needs: a copy of the
  // whole context would copy the previous volume's allocation table too.
  auto readDiskSector = [&](std::uint32_t lba) {
    disk::VolumeContext one;
    one.IsNtPlatform = 0;
    one.int13 = ctx_.int13;
    one.biosDrive = ctx_.biosDrive;
    one.hasInt13Extensions = ctx_.hasInt13Extensions;
    one.geometry = ctx_.geometry;
    std::vector<std::uint8_t> sector(std::max<std::size_t>(ctx_.bytesPerSector, 512));
    one.bytesPerSector = static_cast<std::uint16_t>(sector.size());
    disk::ReadDiskSectors(one, sector.data(), lba, 1);
    return sector;
  };
  std::uint32_t partitionStart = 0;
  std::uint32_t partitionSectors = 0;  // the partition entry's count; 0 when none bounds the volume
  if (slot.type == platform::DriveType::Fixed) {
    ctx_.partitionIndex = slot.link;
    if (slot.link == disk::kNoIndex || slot.link >= walk.count) {
      // No partition behind a fixed drive: the dialog ends, and the program.
      ShowMessage(kNoPartition);
      ending_ = true;
      return 0;
    }
    const disk::PartitionRecord& r = walk.PartitionList[slot.link];
    ctx_.biosDrive = r.biosDrive;
    ctx_.fsKind = disk::KindFromPartitionType(r.type);
    partitionStart = r.start;
    partitionSectors = r.sectors;
  } else {
    ctx_.biosDrive = slot.link;
    ctx_.partitionIndex = 0;
    if (IsFloppyRoot(slot.root)) {
      if (!CheckDiskInDrive(slot.root)) return 0;
      ctx_.fsKind = disk::FsKind::Fat12;
    } else {
      if (ctx_.biosDrive == 0 || slot.link == 0xFF) {
        ShowMessage(kRemovableNoBiosDisk);
        return 0;
      }
      if (!CheckDiskInDrive(slot.root)) return 0;
      queryDisk();
      const std::vector<std::uint8_t> sector = readDiskSector(0);
      if (TextAt(sector, 0x36, "FAT16")) {
        ctx_.fsKind = disk::FsKind::Fat16;
      } else if (TextAt(sector, 0x36, "FAT12")) {
        ctx_.fsKind = disk::FsKind::Fat12;
      } else if (TextAt(sector, 0x52, "FAT32")) {
        ctx_.fsKind = disk::FsKind::Fat32;
      } else {
        ctx_.fsKind = disk::FsKind::None;
        for (const auto& e : disk::DecodePartitionTable(sector.data())) {
          if (disk::IsFatPartitionType(e.type)) {
            ctx_.fsKind = disk::KindFromPartitionType(e.type);
            partitionStart = e.relativeStart;
            partitionSectors = e.sectorCount;
            break;
          }
        }
      }
    }
  }
  list_.Clear(op_);
  carved_.clear();
  queryDisk();
  if (ctx_.fsKind == disk::FsKind::None || ctx_.fsKind == disk::FsKind::Ntfs) {
    ShowMessage(kNotSearchable9x);
    return 0;
  }
  std::vector<std::uint8_t>().swap(ctx_.fatCopy);
  std::vector<std::uint8_t>().swap(ctx_.mftSelfRecord);
  // The type byte, the type text or the drive letter said that the volume
  // holds FAT; its own layout says which.
  ctx_.fsKind = disk::FatKindFromLayout(ctx_.fsKind, readDiskSector(partitionStart));
  list_.AddFifthColumn(ctx_.fsKind);
  const std::uint64_t diskSectors = windows9x_->DiskSectors(ctx_.biosDrive);
  std::uint64_t volumeSectors =
      diskSectors > partitionStart ? diskSectors - partitionStart : (diskSectors ? 1 : 0);
  // A partition ends where its entry says, however far its boot sector claims.
  if (partitionSectors != 0 && (volumeSectors == 0 || partitionSectors < volumeSectors)) {
    volumeSectors = partitionSectors;
  }
  if (!disk::ParseFatBootSector(ctx_, partitionStart, volumeSectors)) {
    ShowMessage(kNotSearchable9x);
    return 0;
  }
  if (!fat::LoadAllocationTable(ctx_, partitionStart)) {
    if (rawFallback_) return PrepareRawVolume();
    ShowMessage(kNotSearchable9x);
    return 0;
  }
  return 1;
}

bool MainDialog::CheckDiskInDrive(const std::string& root) {
  const platform::Drive* drive = nullptr;
  for (const auto& d : drives_) {
    if (d.root == root) drive = &d;
  }
  // Every round is started by the user's Retry; nothing here loops by itself.
  for (;;) {
    platform::VolumeQuery q;
    if (drive) {
      q = platform::QueryVolumeInformation(drive->sourcePath, drive->offset, drive->length);
    } else {
      q.error = platform::kErrorNotReady;
    }
    if (q.ok) {
      std::string label = q.info.label.substr(0, kLabelCap);
      if (ctx_.recordedSerial == 0 || op_.OperationMode != disk::OpRestore) {
        ctx_.recordedSerial = q.info.serial;
        ctx_.recordedLabel = label;
        return true;
      }
      if (q.info.serial == ctx_.recordedSerial && label == ctx_.recordedLabel) return true;
      if (Message(kDifferentDisk, Buttons::RetryCancel, Icon::Stop) == Answer::Retry) continue;
      return false;
    }
    std::string text = root + kNotAccessible;
    if (q.error == platform::kErrorNotReady) {
      text += platform::ErrorText(ENOMEDIUM);
      if (Message(text, Buttons::RetryCancel, Icon::Stop) == Answer::Retry) continue;
      return false;
    }
    if (q.error == platform::kErrorGenFailure) {
      if (Message(kNotFormatted, Buttons::RetryCancel, Icon::Stop) == Answer::Retry) continue;
      return false;
    }
    text += platform::ErrorText(q.errnoValue);
    Message(text, Buttons::Ok, Icon::Stop);
    return false;
  }
}

void MainDialog::OnDriveChanged() {
  if (windows9x_) return;  // the 9x path leaves the options enabled
  const platform::Drive* slot = SelectedSlot();
  if (!slot) return;
  if (slot->type == platform::DriveType::Removable) {
    includeUsedEnabled_ = true;
    scanAllEnabled_ = true;
    return;
  }
  ctx_.SearchedRoot = slot->root;
  ctx_.volumeHandle.reset();
  platform::OpenResult opened = platform::OpenFileDevice(slot->sourcePath, slot->offset, slot->length, false);
  if (opened.device) {
    ctx_.fsKind = KindForDrive(*slot, *opened.device);
    const bool fatOnly = ctx_.fsKind != disk::FsKind::Ntfs;
    includeUsedEnabled_ = fatOnly;
    scanAllEnabled_ = fatOnly;
  }
  // Failures are silent; the handle is closed whatever happened.
  ctx_.volumeHandle.reset();
}

}  // namespace ambrelic::ui
