// What Windows reports about a volume, taken from the volume itself: the
// partition type byte a table-less volume would carry, the serial number and
// label of its boot sector, and whether the drive is ready and formatted.
// Callers pass a device that exposes exactly the volume (a slice of a disk).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/block_device.h"

namespace ambrelic::platform {

// The Windows error numbers the application tells apart.
constexpr int kErrorNotReady = 21;     // no medium: the source is not there
constexpr int kErrorGenFailure = 31;   // medium present but not a volume we know

// The partition type byte that a volume's boot sector implies: 0x07 for
// NTFS and exFAT; for FAT, 0x0C for the FAT32 layout (a 16-bit sectors-per-FAT of 0),
// otherwise by the count of clusters the layout holds 0x01 (fewer than
// 4085) or 0x06; 0 when the sector is neither.
std::uint8_t InferPartitionType(std::span<const std::uint8_t> bootSector);

// True when the sector carries a FAT, NTFS or exFAT boot sector whose
// geometry can be believed (a power-of-two sector size from 512 to 4096, a
// nonzero power-of-two cluster size, at least one table).
bool LooksLikeVolumeBootSector(std::span<const std::uint8_t> bootSector);

// The label of an exFAT volume (the volume label entry of its root
// directory), read from device, which exposes the volume whose boot sector
// is given; empty when there is none.
std::string ReadExfatLabel(BlockDevice& device, std::span<const std::uint8_t> bootSector);

struct VolumeInformation {
  std::uint32_t serial = 0;
  std::string label;         // trailing spaces removed; "NO NAME" reads as empty
  std::string fileSystem;    // "FAT12", "FAT16", "FAT32", "NTFS" or "exFAT"
};

// Serial number, label and file-system name from a boot sector, when it is
// one LooksLikeVolumeBootSector accepts (an exFAT label is not in the boot
// sector: see ReadExfatLabel).
std::optional<VolumeInformation> VolumeInformationFromBootSector(std::span<const std::uint8_t> bootSector);

struct VolumeQuery {
  bool ok = false;
  // kErrorNotReady, kErrorGenFailure, or 1000 + errno for anything else.
  int error = 0;
  int errnoValue = 0;          // the errno behind an error, when there is one
  VolumeInformation info;
};

// GetVolumeInformation for a volume at [offset, offset + length) of path
// (length 0: to the end): not ready when the path is not there (or the
// device has no medium), general failure when it cannot be read or holds no
// FAT or NTFS boot sector.
VolumeQuery QueryVolumeInformation(const std::string& path, std::uint64_t offset, std::uint64_t length);

// The system's text for an error of VolumeQuery::error or an errno.
std::string ErrorText(int errnoValue);

}  // namespace ambrelic::platform
