#include "fat/condition.h"

#include <algorithm>

#include "disk/cluster_walk.h"
#include "fat/dir_entry.h"

namespace ambrelic::fat {
namespace {

constexpr std::size_t kOffCreateHundredths = 0x0D;
constexpr std::size_t kOffAccessDate = 0x12;

disk::VolumeTime DosTime(std::uint16_t date, std::uint16_t time, unsigned extraSeconds = 0) {
  return disk::VolumeTime::Local(1980u + (date >> 9), (date >> 5) & 0x0Fu, date & 0x1Fu, time >> 11u,
                                 (time >> 5) & 0x3Fu, (time & 0x1Fu) * 2u + extraSeconds);
}

// True when neither copy of the allocation table could give cluster c's
// entry: whether the cluster is free cannot be told.
bool EntryUnreadable(const disk::VolumeContext& ctx, Cluster c) {
  if (!ctx.media) return false;
  const std::uint64_t byte = ctx.fsKind == disk::FsKind::Fat12   ? std::uint64_t{c} * 3 / 2
                             : ctx.fsKind == disk::FsKind::Fat16 ? std::uint64_t{c} * 2
                                                                 : std::uint64_t{c} * 4;
  const std::uint64_t width = ctx.fsKind == disk::FsKind::Fat32 ? 4 : 2;
  const std::uint64_t table = std::uint64_t{ctx.sectorsPerFat} * ctx.bytesPerSector;
  const std::uint64_t at = std::uint64_t{ctx.fatStartSector} * ctx.bytesPerSector + byte;
  for (std::uint64_t copy = 0; copy < std::max<std::uint64_t>(ctx.numberOfFats, 1); ++copy) {
    if (!ctx.media->KnownUnreadable(at + copy * table, width)) return false;
  }
  return true;
}

}  // namespace

disk::RowCondition FatRowCondition(const disk::VolumeContext& ctx, Cluster first, std::uint32_t size,
                                   bool isFolder) {
  disk::RowCondition condition;
  if (!isFolder && size == 0) return condition;
  const std::uint64_t perCluster = ctx.bytesPerCluster;
  if (perCluster == 0 || !IsValidCluster(ctx, first)) {
    condition.total = 1;
    condition.firstInUse = true;
    return condition;
  }
  condition.total = isFolder ? 1 : (size + perCluster - 1) / perCluster;
  condition.firstInUse = FatGetEntry(ctx, ctx.fatCopy, first) != kFreeCluster;
  // The walk offers every cluster of the volume at most once; the clusters
  // the restore cannot find count as lost.
  disk::WrappingClusterOrder order(first, first, ctx.lastCluster);
  for (std::uint64_t k = 0; k < condition.total; ++k) {
    const auto c = static_cast<Cluster>(order.at());
    if (EntryUnreadable(ctx, c)) {
      // Read as zeros, the entry would call the cluster free: nothing can
      // be promised of it.
      condition.known = false;
      return condition;
    }
    if (FatGetEntry(ctx, ctx.fatCopy, c) == kFreeCluster) ++condition.free;
    if (!order.Next()) break;
  }
  return condition;
}

void FillEntryTimes(disk::Bytes entry, disk::RowFacts& facts) {
  const std::uint16_t writeDate = disk::le16(entry, kOffWriteDate);
  const std::uint16_t writeTime = disk::le16(entry, kOffWriteTime);
  facts.modified = DosTime(writeDate, writeTime);
  if (writeDate != 0) facts.written = facts.modified;
  if (const std::uint16_t date = disk::le16(entry, kOffAccessDate); date != 0) facts.accessed = DosTime(date, 0);
  if (const std::uint16_t date = disk::le16(entry, kOffCreateDate); date != 0) {
    const std::uint8_t hundredths = std::min<std::uint8_t>(disk::le8(entry, kOffCreateHundredths), 199);
    facts.created = DosTime(date, disk::le16(entry, kOffCreateTime), hundredths / 100u);
  }
}

disk::VolumeTime EntryWriteTime(disk::Bytes entry) {
  const std::uint16_t date = disk::le16(entry, kOffWriteDate);
  return date == 0 ? disk::VolumeTime{} : DosTime(date, disk::le16(entry, kOffWriteTime));
}

}  // namespace ambrelic::fat
