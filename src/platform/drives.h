// The drive table: the Windows design lists drive letters, we give each
// volume of the named sources (image files, block devices) a letter.
// A source with a partition table (MBR with its extended chain, or GPT)
// gives one drive per partition in table order; a source without one is one
// drive. Floppy sources take A: and B:, the others run from C:.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/block_device.h"

namespace ambrelic::platform {

enum class DriveType : int { Removable = 2, Fixed = 3 };

struct Drive {
  char letter = 0;                 // 'A'..'Z'
  std::string root;                // "C:\"
  DriveType type = DriveType::Fixed;
  std::string sourcePath;          // image file or block device
  std::uint64_t offset = 0;        // byte offset of the volume in the source
  std::uint64_t length = 0;        // bytes of the volume; 0 = to the end of the source
  std::uint16_t sectorSize = 512;  // BLKSSZGET, else 512
  // The partition type byte: the MBR entry's, or (GPT partitions and
  // table-less volumes, fromTable false) the one the boot sector implies
  // when the table was read; 0 when unknown.
  std::uint8_t partitionType = 0;
  bool fromTable = false;
  std::string label;               // boot-sector label, may be empty
  std::string displayName;         // "<label or file name> (<letter>:)"
  // 9x path: a fixed drive's index in the partition list, a removable
  // drive's BIOS disk number; 0xFF when unset.
  std::uint8_t link = 0xFF;
};

struct DriveSource {
  // A constructor rather than bare fields, so that sources given as
  // {path, floppy, removable} need not name every field.
  DriveSource(std::string p = {}, bool f = false, bool r = false, std::string m = {})
      : path(std::move(p)), floppy(f), removable(r), mapfile(std::move(m)) {}
  std::string path;
  bool floppy = false;
  bool removable = false;          // named by --removable
  std::string mapfile;             // ddrescue mapfile named for it (--mapfile); empty: one found beside it
};

struct DriveTable {
  std::vector<Drive> drives;       // in combo order: A:, B:, then C: upward
  std::vector<std::string> notes;  // sources skipped and why, for stderr
  // Sources that could not be opened, with the errno: the machine's block
  // devices (left out of drives) and named sources (listed all the same).
  std::vector<std::pair<std::string, int>> unreadable;
  // The machine's block devices were looked for (no source was named).
  bool machineSources = false;
};

// One partition found in a source's partition table.
struct PartitionSlot {
  std::uint64_t offset = 0;        // bytes
  std::uint64_t length = 0;        // bytes
  std::uint8_t type = 0;           // MBR type byte; 0 for GPT partitions
  bool gpt = false;
};

// Partition table of a whole source: MBR primaries in entry order, then the
// logical partitions of the extended chain (at most kMaxLogical, visited
// records are never walked twice), or the GPT entries in table order.
// Empty when sector 0 is a volume's boot sector or carries no table.
// sectorSize is the source's logical sector size.
constexpr int kMaxLogical = 64;
std::vector<PartitionSlot> ReadPartitionSlots(BlockDevice& device, std::uint16_t sectorSize);

// Builds the table from sources in the order given; an empty list means
// the machine's block devices (sysfs) that hold FAT, NTFS or exFAT, or a
// partition table.
DriveTable BuildDriveTable(const std::vector<DriveSource>& sources);

// The drives of sources added to a table already listed: their letters
// follow the last letter of listed (from C:; none when the letters run
// out, with a note).
DriveTable BuildDriveTableAfter(const std::vector<Drive>& listed, const std::vector<DriveSource>& sources);

// Whole block devices of the machine worth listing, as /dev paths; those
// that could not be opened (as this user) go to refused with the errno.
std::vector<std::string> MachineBlockDevices(std::vector<std::pair<std::string, int>>* refused = nullptr);

// True when the kernel marks the block device (or, for a partition, its
// disk) removable; false for files.
bool SysfsRemovable(const std::string& path);

// Logical sector size of a block device (BLKSSZGET), 512 for files.
std::uint16_t SourceSectorSize(const std::string& path);

// "<label or file name> (<letter>:)", as the drive list shows a drive.
std::string DriveDisplayName(const Drive& drive);

// Position the dialog preselects: C: when listed, else the first, else -1.
int PreselectedPosition(const std::vector<Drive>& drives);

// Position of a drive letter (case-insensitive) or -1.
int PositionOfLetter(const std::vector<Drive>& drives, char letter);

}  // namespace ambrelic::platform
