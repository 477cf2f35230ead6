// The first sector of a volume as the volume keeps it twice: sector 0, or,
// when that cannot be read, its copy (FAT32: the sector the boot sector
// names, 6 as every formatter writes it; NTFS: the volume's last sector;
// exFAT: the first sector of its second boot region, from sector 12),
// taken only where the copy agrees with what the volume shows around it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/block_device.h"

namespace ambrelic::platform {

// The sector where FAT32 formatters put the boot sector's copy.
inline constexpr std::uint64_t kFat32BackupSector = 6;

struct BootSectorRead {
  std::vector<std::uint8_t> bytes;  // max(sectorSize, 512) bytes; zeros when nothing could be read
  bool unreadable = false;          // sector 0 could not be read
  bool fromBackup = false;          // bytes are the copy's
};

// Reads sector 0 of the device (sectors of sectorSize bytes); when it
// cannot be read, the FAT32, NTFS or exFAT copy that passes the checks below.
BootSectorRead ReadBootSector(BlockDevice& device, std::uint16_t sectorSize = 512);

// A FAT32 boot sector that names sector 6 as the place of its copy.
bool IsFat32BootCopy(std::span<const std::uint8_t> sector);
// An NTFS boot sector whose volume fits in deviceBytes.
bool IsNtfsBootCopy(std::span<const std::uint8_t> sector, std::uint64_t deviceBytes);
// The first sector of a FAT32 table of the volume that boot describes: its
// entry 0 holds the boot sector's media byte in the 28 bits of an entry.
bool FatTableStartFits(std::span<const std::uint8_t> boot, std::span<const std::uint8_t> fatSector);

}  // namespace ambrelic::platform
