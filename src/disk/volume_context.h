// The description of the one volume the user selected: how it is reached,
// which file system it holds, its geometry, the loaded allocation table and
// the MFT's own record. Owned by the application and handed to the engines by
// reference; one instance, filled by volume preparation.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/media_errors.h"
#include "platform/bios_disks.h"
#include "platform/block_device.h"

namespace ambrelic::exfat {
struct ExfatVolume;
}

namespace ambrelic::disk {

// Exfat is told apart from Ntfs (which shares its partition type 0x07) by
// its boot sector alone; KindFromPartitionType never gives it.
enum class FsKind : std::uint8_t { None = 0, Fat12 = 1, Fat16 = 2, Fat32 = 3, Ntfs = 4, Exfat = 5 };

// Partition type byte to file system; extended types (0x05, 0x0F) are None.
FsKind KindFromPartitionType(std::uint8_t type);

const char* FsKindName(FsKind kind);  // "FAT12", ..., "NTFS", "exFAT", "none"

inline bool IsFat(FsKind k) { return k == FsKind::Fat12 || k == FsKind::Fat16 || k == FsKind::Fat32; }

// Highest head number and sectors per track of a BIOS disk.
struct DiskGeometry {
  std::uint8_t maxHead = 0;
  std::uint8_t sectorsPerTrack = 0;
};

// The INT 13h service's four entry points (9x path).
using Int13Api = platform::Int13Api;

struct VolumeContext {
  // Platform and device.
  int IsNtPlatform = 1;
  std::string SearchedRoot;            // "C:\" form
  FsKind fsKind = FsKind::None;
  std::uint16_t bytesPerSector = 512;
  platform::DevicePtr volumeHandle;    // NT path: the open volume
  std::uint8_t biosDrive = 0;          // 9x path
  int hasInt13Extensions = 0;
  DiskGeometry geometry;
  int partitionIndex = 255;
  const Int13Api* int13 = nullptr;     // 9x path: the loaded service

  // Geometry, decoded once from the boot sector by the preparation of each
  // engine and read from here by every reader: sectorsPerCluster,
  // bytesPerCluster and lastCluster for FAT, NTFS and exFAT alike.
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t bytesPerCluster = 0;
  std::uint64_t lastCluster = 0;

  // FAT parameters (sector numbers in the sector device's numbering).
  std::uint32_t reservedSectors = 0;
  std::uint8_t numberOfFats = 2;
  std::uint32_t rootEntryCount = 0;
  std::uint32_t sectorsPerFat = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t volumeSerial = 0;
  std::array<char, 12> volumeLabel{};
  std::array<char, 9> fsTypeText{};
  std::uint32_t rootDirSector = 0;
  std::uint32_t dataStartSector = 0;

  // Loaded allocation table (FAT volumes). Empty vectors mean "absent".
  std::uint32_t fatStartSector = 0;
  std::vector<std::uint8_t> fatCopy;
  std::vector<std::uint8_t> fatWork;

  // NTFS.
  std::array<std::uint8_t, 512> ntfsBootSector{};
  std::uint64_t mftStartCluster = 0;   // LCN of the MFT, and of its mirror
  std::uint64_t mftMirrorCluster = 0;
  std::uint32_t mftRecordSize = 0;
  std::vector<std::uint8_t> mftSelfRecord;

  // exFAT: the engine's own state (exfat/volume_state.h), made by its
  // preparation.
  std::shared_ptr<exfat::ExfatVolume> exfatState;

  // What the medium could not give during the running command: sectors
  // that could not be read, and whether the device was given up. Set
  // afresh by each command; without one, reads still salvage what they can
  // but nothing is counted.
  std::shared_ptr<MediaErrors> media;

  // Removable-disk identity recorded during a search.
  std::uint32_t recordedSerial = 0;
  std::string recordedLabel;
};

}  // namespace ambrelic::disk
