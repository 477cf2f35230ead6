// Volume preparation: every command that works on a volume begins here. It
// checks the input, opens the selected drive's volume read-only, tells which
// file system it holds, clears the results list and loads what the engines
// need. The steps themselves are MainDialog members (PrepareVolume,
// CheckDiskInDrive, OnDriveChanged); the kind rules are shared with the
// command line's drive listing.
#pragma once

#include <vector>

#include "disk/volume_context.h"
#include "platform/block_device.h"
#include "platform/drives.h"

namespace ambrelic::ui {

// The file system a drive is taken to hold, from the facts the platform
// gives: A: and B: hold FAT; every other drive is judged by its partition
// type byte (the MBR entry's, or the one its boot sector implies), and a
// removable drive whose type byte names nothing by the type texts of its
// boot sector ("FAT16" or "FAT12" at 0x36, "FAT32" at 0x52). Which FAT it
// is, the volume's own layout decides (disk::FatKindFromLayout); a floppy
// whose boot sector cannot be believed stays FAT12. volume exposes the
// drive's volume only.
disk::FsKind KindForDrive(const platform::Drive& drive, platform::BlockDevice& volume);

// The kind preparation would end with: KindForDrive, then None when the
// boot sector is one the FAT or NTFS loader refuses or the volume cannot be
// opened. Reads only.
disk::FsKind IdentifyDriveKind(const platform::Drive& drive);

// Names each drive that holds an NTFS volume by the volume's label, as the
// drive table names FAT drives by theirs (an NTFS label is not in the boot
// sector the table reads but in the $Volume file). Drives without a label
// keep their names. Reads only.
void NameNtfsDrivesByLabel(std::vector<platform::Drive>& drives);

// How messages name a drive: its source's path, with the letter after it
// when the drive is one partition of the source ("disk.img (D:)").
std::string SourceName(const platform::Drive& drive);

}  // namespace ambrelic::ui
