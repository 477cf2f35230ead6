#include "fat/allocation_table.h"

#include <algorithm>
#include <new>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"
#include "disk/sector_device.h"

namespace ambrelic::fat {

using disk::FsKind;
using disk::VolumeContext;

std::uint32_t ClusterToSector(const VolumeContext& ctx, Cluster cluster) {
  return ctx.dataStartSector + (cluster - 2u) * ctx.sectorsPerCluster;
}

bool ReadCluster(const VolumeContext& ctx, Cluster cluster, std::uint8_t* buffer) {
  return disk::ReadSectors(ctx, ClusterToSector(ctx, cluster), ctx.sectorsPerCluster, buffer);
}

bool WriteCluster(const VolumeContext& ctx, Cluster cluster, const std::uint8_t* buffer) {
  return disk::WriteSectors(ctx, ClusterToSector(ctx, cluster), ctx.sectorsPerCluster, buffer);
}

FatEntry FatGetEntry(const VolumeContext& ctx, std::span<const std::uint8_t> table, Cluster cluster) {
  if (cluster == 0xFFFFFFFFu) return kEndOfChain;
  const std::optional<std::uint32_t> v = FatEntryValue(ctx.fsKind, table, cluster);
  if (!v) return kEndOfChain;
  // The reserved values at the top of each width: one bad-cluster mark,
  // then the end-of-chain marks.
  const std::uint32_t bad = ctx.fsKind == FsKind::Fat12 ? 0xFF7u : ctx.fsKind == FsKind::Fat16 ? 0xFFF7u : 0x0FFFFFF7u;
  if (*v == bad) return kBadCluster;
  if (*v > bad) return kEndOfChain;
  return static_cast<FatEntry>(*v);
}

void FatSetEntry(VolumeContext& ctx, Cluster cluster, FatEntry value) {
  std::span<std::uint8_t> table(ctx.fatWork);
  const std::uint32_t v = static_cast<std::uint32_t>(value);
  switch (ctx.fsKind) {
    case FsKind::Fat12: {
      const std::uint16_t n = static_cast<std::uint16_t>(cluster);
      if (n != cluster) return;
      const std::size_t off = static_cast<std::size_t>(n / 2) * 3;
      if ((n & 1) == 0) {
        if (!disk::Fits(off, 2, table.size())) return;
        table[off] = static_cast<std::uint8_t>(v & 0xFF);
        table[off + 1] = static_cast<std::uint8_t>((table[off + 1] & 0xF0) | ((v >> 8) & 0x0F));
      } else {
        if (!disk::Fits(off, 3, table.size())) return;
        table[off + 2] = static_cast<std::uint8_t>((v >> 4) & 0xFF);
        table[off + 1] = static_cast<std::uint8_t>((table[off + 1] & 0x0F) | ((v << 4) & 0xF0));
      }
      return;
    }
    case FsKind::Fat16:
      disk::put16(table, static_cast<std::size_t>(cluster) * 2, static_cast<std::uint16_t>(v));
      return;
    case FsKind::Fat32:
      if (static_cast<std::uint64_t>(cluster) * 4 > table.size()) return;
      disk::put32(table, static_cast<std::size_t>(cluster) * 4, v);
      return;
    default:
      return;
  }
}

bool IsValidCluster(const VolumeContext& ctx, std::uint64_t cluster) {
  return cluster >= 2 && cluster <= ctx.lastCluster;
}

Cluster NextInChain(const VolumeContext& ctx, Cluster cluster) {
  const FatEntry v = FatGetEntry(ctx, ctx.fatWork, cluster);
  if (v == kEndOfChain || v == kFreeCluster) return 0;
  const std::uint32_t next = static_cast<std::uint32_t>(v);
  if (!IsValidCluster(ctx, next)) return 0;
  return next;
}

namespace {

// The sectors of a table that a read could not give, from its gaps.
std::vector<bool> MissingSectors(const disk::ReadGaps& gaps, std::size_t sectors, std::uint32_t bps) {
  std::vector<bool> missing(sectors, false);
  for (const auto& g : gaps.ranges()) {
    for (std::size_t s = g.offset / bps; s < sectors && s * bps < g.offset + g.length; ++s) missing[s] = true;
  }
  return missing;
}

// Fills the sectors of fatCopy that the first table could not give from
// the next tables. A table is taken as a copy only when it holds the same
// bytes as the first in every sector both could read: one that differs
// (kept by a driver that updates a single table, or damaged) would bring
// chains that are not the first table's.
void FillFromCopies(VolumeContext& ctx, std::vector<bool>& missing) {
  const std::uint32_t bps = ctx.bytesPerSector;
  std::vector<std::uint8_t> copy(ctx.fatCopy.size());
  for (std::uint32_t k = 1; k < ctx.numberOfFats; ++k) {
    if (std::find(missing.begin(), missing.end(), true) == missing.end() || disk::DeviceAbandoned(ctx)) return;
    disk::ReadGaps gaps;
    const std::uint64_t start = ctx.fatStartSector + static_cast<std::uint64_t>(k) * ctx.sectorsPerFat;
    disk::ReadSectors(ctx, start, static_cast<std::uint32_t>(missing.size()), copy.data(), &gaps);
    const std::vector<bool> copyMissing = MissingSectors(gaps, missing.size(), bps);
    auto sector = [bps](std::vector<std::uint8_t>& table, std::size_t s) {
      return table.begin() + static_cast<std::ptrdiff_t>(s * bps);
    };
    bool agrees = true;
    for (std::size_t s = 0; s < missing.size() && agrees; ++s) {
      if (!missing[s] && !copyMissing[s]) agrees = std::equal(sector(copy, s), sector(copy, s + 1), sector(ctx.fatCopy, s));
    }
    if (!agrees) continue;
    for (std::size_t s = 0; s < missing.size(); ++s) {
      if (!missing[s] || copyMissing[s]) continue;
      std::copy(sector(copy, s), sector(copy, s + 1), sector(ctx.fatCopy, s));
      disk::RecoveredSectors(ctx, ctx.fatStartSector + s, 1);
      missing[s] = false;
    }
  }
}

}  // namespace

std::uint32_t LoadedTableSectors(const VolumeContext& ctx) {
  if (ctx.bytesPerSector == 0) return 0;
  const std::uint64_t bytes = ((ctx.lastCluster + 1) * disk::FatEntryBits(ctx.fsKind) + 7) / 8;
  const std::uint64_t sectors = (bytes + ctx.bytesPerSector - 1) / ctx.bytesPerSector;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, ctx.sectorsPerFat));
}

bool LoadAllocationTable(VolumeContext& ctx, std::uint32_t partitionStart) {
  ctx.fatStartSector = partitionStart + ctx.reservedSectors;
  const std::uint32_t sectors = LoadedTableSectors(ctx);
  std::vector<std::uint8_t>().swap(ctx.fatCopy);
  std::vector<std::uint8_t>().swap(ctx.fatWork);
  // Room for both copies is taken before a byte is filled or read: a table
  // too large for memory is refused at once, not after a long read.
  try {
    const std::size_t bytes = static_cast<std::size_t>(sectors) * ctx.bytesPerSector;
    std::vector<std::uint8_t> copy, work;
    copy.reserve(bytes);
    work.reserve(bytes);
    copy.resize(bytes);
    disk::ReadGaps gaps;
    disk::ReadSectors(ctx, ctx.fatStartSector, sectors, copy.data(), &gaps);
    ctx.fatCopy.swap(copy);
    // Sectors still missing stay zeros: their clusters read as free, so
    // the chains through them end there.
    if (!gaps.empty()) {
      std::vector<bool> missing = MissingSectors(gaps, sectors, ctx.bytesPerSector);
      FillFromCopies(ctx, missing);
    }
    work.assign(ctx.fatCopy.begin(), ctx.fatCopy.end());
    ctx.fatWork.swap(work);
  } catch (const std::bad_alloc&) {
    std::vector<std::uint8_t>().swap(ctx.fatCopy);
    return false;
  }
  return true;
}

}  // namespace ambrelic::fat
