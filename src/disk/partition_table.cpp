#include "disk/partition_table.h"

#include <vector>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"
#include "disk/sector_device.h"

namespace ambrelic::disk {

bool IsFatPartitionType(std::uint8_t t) {
  return t == 0x01 || t == 0x04 || t == 0x06 || t == 0x0B || t == 0x0C || t == 0x0E;
}
bool IsExtendedPartitionType(std::uint8_t t) { return t == 0x05 || t == 0x0F; }

std::array<PartitionEntry, 4> DecodePartitionTable(const std::uint8_t* sector) {
  // Four entries of 16 bytes from offset 0x1BE: flag, CHS start, type,
  // CHS end, first sector, sector count.
  ByteReader in(Bytes(sector, 512), 0x1BE);
  std::array<PartitionEntry, 4> entries;
  for (PartitionEntry& e : entries) {
    e.bootFlag = in.u8();
    in.skip(3);
    e.type = in.u8();
    in.skip(3);
    e.relativeStart = in.u32();
    e.sectorCount = in.u32();
  }
  return entries;
}

std::array<PartitionEntry, 4> ReadPartitionTable(const VolumeContext& ctx, std::uint32_t sector) {
  // A partition table is 512 bytes whatever the sector size; read one sector
  // of at least that size.
  VolumeContext c = ctx;
  if (c.bytesPerSector < 512) c.bytesPerSector = 512;
  std::vector<std::uint8_t> buf(c.bytesPerSector);
  ReadDiskSectors(c, buf.data(), sector, 1);
  return DecodePartitionTable(buf.data());
}

namespace {

bool StartsOnDisk(const PartitionWalk& walk, std::uint8_t drive, std::uint64_t start) {
  if (!walk.diskSectors) return true;
  const std::uint64_t sectors = walk.diskSectors(drive);
  return sectors == 0 || start < sectors;
}

void Append(PartitionWalk& walk, const PartitionEntry& e, std::uint8_t logical, std::uint8_t drive,
            std::uint64_t start) {
  if (walk.count >= kMaxPartitions) return;
  if (start > 0xFFFFFFFFull || !StartsOnDisk(walk, drive, start)) return;
  PartitionRecord& r = walk.PartitionList[walk.count++];
  r.type = e.type;
  r.bootFlag = e.bootFlag;
  r.isLogical = logical;
  r.biosDrive = drive;
  r.start = static_cast<std::uint32_t>(start);
  r.sectors = e.sectorCount;
}

}  // namespace

void WalkExtendedChain(VolumeContext& ctx, PartitionWalk& walk, std::uint32_t base, std::uint32_t ebr) {
  std::vector<std::uint32_t> visited;
  for (int records = 0; records < kMaxPartitions; ++records) {
    for (std::uint32_t v : visited) {
      if (v == ebr) return;
    }
    visited.push_back(ebr);
    const auto entries = ReadPartitionTable(ctx, ebr);
    if (IsFatPartitionType(entries[0].type)) {
      Append(walk, entries[0], 1, ctx.biosDrive, static_cast<std::uint64_t>(ebr) + entries[0].relativeStart);
    }
    if (walk.count >= kMaxPartitions || !IsExtendedPartitionType(entries[1].type)) return;
    const std::uint64_t next = static_cast<std::uint64_t>(base) + entries[1].relativeStart;
    if (next > 0xFFFFFFFFull || !StartsOnDisk(walk, ctx.biosDrive, next)) return;
    ebr = static_cast<std::uint32_t>(next);
  }
}

void BuildLetterOrder(PartitionWalk& walk) {
  walk.LetterOrder.fill(kNoIndex);
  std::array<bool, kMaxPartitions> used{};
  int p = 0;
  int currentDisk = -1;
  bool choiceFinal = false;
  for (int i = 0; i < walk.count && walk.PartitionList[i].type != 0; ++i) {
    const PartitionRecord& r = walk.PartitionList[i];
    if (r.biosDrive != currentDisk) {
      if (walk.LetterOrder[p] != kNoIndex) ++p;
      currentDisk = r.biosDrive;
      choiceFinal = false;
      if (!r.isLogical) {
        walk.LetterOrder[p] = static_cast<std::uint8_t>(i);
        if (r.bootFlag == 0x80) choiceFinal = true;
      }
    } else if (!choiceFinal && !r.isLogical) {
      if (r.bootFlag == 0x80) {
        walk.LetterOrder[p] = static_cast<std::uint8_t>(i);
        choiceFinal = true;
      } else if (walk.LetterOrder[p] == kNoIndex) {
        walk.LetterOrder[p] = static_cast<std::uint8_t>(i);
      }
    }
  }
  if (walk.LetterOrder[p] != kNoIndex) ++p;
  for (int i = 0; i < walk.count && p < kMaxPartitions; ++i) {
    if (walk.PartitionList[i].isLogical) walk.LetterOrder[p++] = static_cast<std::uint8_t>(i);
  }
  for (int k = 0; k < p; ++k) used[walk.LetterOrder[k]] = true;
  for (int i = 0; i < walk.count && p < kMaxPartitions; ++i) {
    if (!used[i]) walk.LetterOrder[p++] = static_cast<std::uint8_t>(i);
  }
}

void WalkDiskPartitions(VolumeContext& ctx, PartitionWalk& walk) {
  ctx.bytesPerSector = 512;
  const auto entries = ReadPartitionTable(ctx, 0);
  for (const auto& e : entries) {
    if (walk.count > kMaxPartitions - 1) break;
    if (IsFatPartitionType(e.type)) {
      Append(walk, e, 0, ctx.biosDrive, e.relativeStart);
    } else if (IsExtendedPartitionType(e.type)) {
      if (StartsOnDisk(walk, ctx.biosDrive, e.relativeStart)) WalkExtendedChain(ctx, walk, e.relativeStart, e.relativeStart);
    }
  }
}

void ReadPartitionSerials(VolumeContext& ctx, PartitionWalk& walk) {
  const Int13Api* api = ctx.int13;
  for (int i = 0; i < walk.count && walk.PartitionList[i].type != 0; ++i) {
    PartitionRecord& r = walk.PartitionList[i];
    ctx.biosDrive = r.biosDrive;
    ctx.hasInt13Extensions = api && api->i13_lba_check ? api->i13_lba_check(r.biosDrive) : 0;
    std::uint8_t block[8] = {};
    if (api && api->i13_get_drive_parameter) api->i13_get_drive_parameter(r.biosDrive, block);
    ctx.geometry.maxHead = block[2];
    ctx.geometry.sectorsPerTrack = block[6];
    ctx.bytesPerSector = 512;
    // The type byte says that the partition holds FAT; the layout says
    // which, and so where the serial number lies (0x27, or 0x43 on FAT32).
    std::vector<std::uint8_t> sector(512);
    ReadDiskSectors(ctx, sector.data(), r.start, 1);
    ctx.fsKind = FatKindFromLayout(KindFromPartitionType(r.type), sector);
    ParseFatBootSectorBytes(ctx, sector.data(), sector.size(), r.start);
    r.serial = ctx.volumeSerial;
  }
}

void EnumerateDiskPartitions(VolumeContext& ctx, PartitionWalk& walk) {
  for (auto& r : walk.PartitionList) r = PartitionRecord{};
  walk.count = 0;
  walk.otherDiskCount = 0;
  walk.OtherDiskNumbers.fill(0);
  walk.letterTaken.fill(0);
  const Int13Api* api = ctx.int13;
  auto queryGeometry = [&](std::uint8_t drive) {
    std::uint8_t block[8] = {};
    const int rc = api && api->i13_get_drive_parameter ? api->i13_get_drive_parameter(drive, block) : 0;
    ctx.geometry.maxHead = block[2];
    ctx.geometry.sectorsPerTrack = block[6];
    return rc;
  };
  ctx.biosDrive = 0x80;
  if (queryGeometry(0x80) == 1) {
    while (ctx.biosDrive < 0x88 && walk.count < kMaxPartitions) {
      if (ctx.geometry.sectorsPerTrack != 63) {
        if (walk.otherDiskCount < kMaxOtherDisks) walk.OtherDiskNumbers[walk.otherDiskCount++] = ctx.biosDrive;
      } else {
        ctx.hasInt13Extensions = api && api->i13_lba_check ? api->i13_lba_check(ctx.biosDrive) : 0;
        WalkDiskPartitions(ctx, walk);
      }
      ++ctx.biosDrive;
      if (queryGeometry(ctx.biosDrive) != 1) break;
    }
  }
  ReadPartitionSerials(ctx, walk);
  BuildLetterOrder(walk);
}

std::optional<std::uint8_t> MatchDriveToPartition(PartitionWalk& walk, std::optional<std::uint32_t> serial) {
  if (!serial) return std::nullopt;
  for (int k = 0; k < kMaxPartitions && walk.LetterOrder[k] != kNoIndex; ++k) {
    const std::uint8_t index = walk.LetterOrder[k];
    if (!walk.letterTaken[k] && walk.PartitionList[index].serial == *serial) {
      walk.letterTaken[k] = 1;
      return index;
    }
  }
  return std::nullopt;
}

}  // namespace ambrelic::disk
