// The 9x path's own partition walk: which FAT partition of which BIOS disk
// is behind each drive letter. Built once at start-up from the partition
// tables and extended boot records, then used to bind drive letters.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "disk/volume_context.h"

namespace ambrelic::disk {

// One decoded 16-byte entry of a partition table sector.
struct PartitionEntry {
  std::uint8_t bootFlag = 0;
  std::uint8_t type = 0;
  std::uint32_t relativeStart = 0;
  std::uint32_t sectorCount = 0;  // bytes 12 to 15: how far the partition reaches
};

constexpr int kMaxPartitions = 26;
constexpr int kMaxOtherDisks = 8;
constexpr std::uint8_t kNoIndex = 255;

struct PartitionRecord {
  std::uint8_t type = 0;        // 0 ends the list
  std::uint8_t bootFlag = 0;
  std::uint8_t isLogical = 0;
  std::uint8_t biosDrive = 0;
  std::uint32_t start = 0;      // absolute LBA on its disk
  std::uint32_t serial = 0;     // volume serial number from its boot sector
  std::uint32_t sectors = 0;    // its entry's sector count; 0 = not given
};

// Everything the start-up walk builds; never changed afterwards.
struct PartitionWalk {
  std::array<PartitionRecord, kMaxPartitions> PartitionList{};
  int count = 0;
  std::array<std::uint8_t, kMaxOtherDisks> OtherDiskNumbers{};
  int otherDiskCount = 0;
  std::array<std::uint8_t, kMaxPartitions> LetterOrder{};
  std::array<std::uint8_t, kMaxPartitions> letterTaken{};
  // Size in sectors of each BIOS disk 0x80.. (0 = unknown): partitions that
  // start beyond the end of their disk are not listed.
  std::function<std::uint64_t(std::uint8_t biosDrive)> diskSectors;
};

bool IsFatPartitionType(std::uint8_t type);
bool IsExtendedPartitionType(std::uint8_t type);

// Decodes the four entries of a partition-table sector.
std::array<PartitionEntry, 4> DecodePartitionTable(const std::uint8_t* sector512);

// Reads sector `sector` of the selected BIOS disk (ctx.biosDrive) and decodes it.
std::array<PartitionEntry, 4> ReadPartitionTable(const VolumeContext& ctx, std::uint32_t sector);

// Follows an extended chain from the record at `ebr`, appending its FAT
// logical partitions. The chain is bounded: it stops at a record it has
// already visited and after kMaxPartitions records, so a chain that points
// back into itself ends.
void WalkExtendedChain(VolumeContext& ctx, PartitionWalk& walk, std::uint32_t base, std::uint32_t ebr);

// Walks every BIOS hard disk from 0x80 and builds the list, the serials and
// the letter order. Uses ctx.int13; leaves ctx describing the last
// partition examined.
void EnumerateDiskPartitions(VolumeContext& ctx, PartitionWalk& walk);

// The partitions of the one BIOS disk ctx.biosDrive (its table at sector 0
// and the extended chains it names), appended to the walk's list.
void WalkDiskPartitions(VolumeContext& ctx, PartitionWalk& walk);

// Reads each listed partition's boot sector for its volume serial number.
void ReadPartitionSerials(VolumeContext& ctx, PartitionWalk& walk);

// The letter order alone (exposed for tests).
void BuildLetterOrder(PartitionWalk& walk);

// Matches a fixed drive to the first free partition (in letter order) with
// its serial number; returns the PartitionList index, or nothing.
std::optional<std::uint8_t> MatchDriveToPartition(PartitionWalk& walk, std::optional<std::uint32_t> driveSerial);

}  // namespace ambrelic::disk
