#include "disk/fat_boot_sector.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/sector_device.h"
#include "platform/boot_sector.h"
#include "platform/volume_info.h"

namespace ambrelic::disk {
namespace {

bool PlausibleSectorSize(std::uint32_t bps) {
  return bps >= 512 && bps <= 4096 && (bps & (bps - 1)) == 0;
}

void CopyText(char* dst, std::size_t cap, Bytes src) {
  std::size_t n = std::min(cap - 1, src.size());
  // A slice past the end of a short sector is empty, with no data pointer.
  if (n != 0) std::memcpy(dst, src.data(), n);
  dst[n] = 0;
}

// A FAT32 boot sector that could not be read, taken from its copy in
// sector 6 when that copy is believable: it names itself as kept there,
// and the first sector of the first table it describes (which does read)
// starts with the media byte it gives. sector keeps its zeros otherwise.
void Fat32BootCopy(const VolumeContext& ctx, std::uint32_t partitionStart, std::vector<std::uint8_t>& sector) {
  std::vector<std::uint8_t> copy(sector.size());
  ReadGaps gaps;
  ReadSectors(ctx, static_cast<std::uint64_t>(partitionStart) + platform::kFat32BackupSector, 1, copy.data(), &gaps);
  if (!gaps.empty() || !platform::IsFat32BootCopy(copy) || le16(copy, 0x0B) != ctx.bytesPerSector) return;
  std::vector<std::uint8_t> fat(copy.size());
  gaps.clear();
  ReadSectors(ctx, static_cast<std::uint64_t>(partitionStart) + le16(copy, 0x0E), 1, fat.data(), &gaps);
  if (!gaps.empty() || !platform::FatTableStartFits(copy, fat)) return;
  sector.swap(copy);
  RecoveredSectors(ctx, partitionStart, 1);
}

}  // namespace

unsigned FatEntryBits(FsKind kind) {
  return kind == FsKind::Fat12 ? 12 : kind == FsKind::Fat32 ? 32 : 16;
}

std::uint64_t HighestClusterNumber(FsKind kind) {
  return kind == FsKind::Fat12 ? 0xFF6 : kind == FsKind::Fat32 ? 0x0FFFFFF6 : 0xFFF6;
}

FsKind FatKindFromLayout(FsKind claimed, std::span<const std::uint8_t> bootSector) {
  if (!IsFat(claimed)) return claimed;
  const FsKind layout = KindFromPartitionType(platform::InferPartitionType(bootSector));
  return IsFat(layout) ? layout : claimed;
}

bool ParseFatBootSectorBytes(VolumeContext& ctx, const std::uint8_t* sector, std::size_t size,
                             std::uint32_t partitionStart, std::uint64_t volumeSectors) {
  ByteReader in(Bytes(sector, size));
  const std::uint16_t bps = in.u16(0x0B);
  if (bps != 0) ctx.bytesPerSector = bps;
  ctx.sectorsPerCluster = in.u8(0x0D);
  ctx.reservedSectors = in.u16(0x0E);
  ctx.numberOfFats = in.u8(0x10);
  ctx.rootEntryCount = in.u16(0x11);
  ctx.sectorsPerFat = in.u16(0x16);

  std::uint64_t total;
  const bool fat32 = ctx.fsKind == FsKind::Fat32;
  // mkfs.fat writes a small FAT32 volume's count in the 16-bit field, and
  // the systems that mount FAT take that field first on every kind.
  total = in.u16(0x13);
  if (total == 0) total = in.u32(0x20);
  // The extended fields lie further on a FAT32 boot sector.
  const std::size_t extended = fat32 ? 0x43 : 0x27;
  if (!fat32) {
    ctx.rootCluster = 0;
  } else {
    ctx.sectorsPerFat = in.u32(0x24);
    ctx.rootCluster = in.u32(0x2C);
  }
  ctx.volumeSerial = in.u32(extended);
  CopyText(ctx.volumeLabel.data(), ctx.volumeLabel.size(), in.slice(extended + 4, 11));
  CopyText(ctx.fsTypeText.data(), ctx.fsTypeText.size(), in.slice(extended + 15, 8));
  // A sector too short for the fields is no boot sector.
  if (!in.ok()) return false;

  // Impossible geometry is refused before any arithmetic depends on it.
  if (bps == 0 || !PlausibleSectorSize(ctx.bytesPerSector) || ctx.sectorsPerCluster == 0 ||
      ctx.numberOfFats == 0 || ctx.sectorsPerFat == 0) {
    return false;
  }

  const std::uint64_t fatArea = static_cast<std::uint64_t>(ctx.numberOfFats) * ctx.sectorsPerFat;
  const std::uint64_t rootRel = ctx.reservedSectors + fatArea;
  std::uint64_t dataRel = rootRel;
  if (!fat32) dataRel += static_cast<std::uint64_t>(ctx.rootEntryCount) * 32 / ctx.bytesPerSector;
  if (dataRel >= total) return false;
  if (volumeSectors != 0 && dataRel > volumeSectors) return false;
  // Clusters lie only where the device (or partition) has sectors, however
  // many the boot sector claims.
  const std::uint64_t usable = volumeSectors != 0 ? std::min(total, volumeSectors) : total;
  if (static_cast<std::uint64_t>(partitionStart) + usable > 0xFFFFFFFFull) return false;

  ctx.rootDirSector = static_cast<std::uint32_t>(rootRel + partitionStart);
  ctx.dataStartSector = static_cast<std::uint32_t>(dataRel + partitionStart);
  // And only as far as the table can address: it has entries for clusters
  // 0 to entries - 1, and an entry holds no cluster number above the kind's
  // highest (the values above it mark bad clusters and ends of chains).
  const std::uint64_t entries =
      static_cast<std::uint64_t>(ctx.sectorsPerFat) * ctx.bytesPerSector * 8 / FatEntryBits(ctx.fsKind);
  ctx.lastCluster = std::min({(usable - dataRel) / ctx.sectorsPerCluster + 1, entries - 1,
                              HighestClusterNumber(ctx.fsKind)});
  ctx.bytesPerCluster = static_cast<std::uint32_t>(ctx.bytesPerSector) * ctx.sectorsPerCluster;
  return true;
}

bool ParseFatBootSector(VolumeContext& ctx, std::uint32_t partitionStart, std::uint64_t volumeSectors) {
  std::vector<std::uint8_t> sector(std::max<std::size_t>(ctx.bytesPerSector, 512));
  std::uint16_t keep = ctx.bytesPerSector;
  if (ctx.bytesPerSector < 512) ctx.bytesPerSector = 512;  // read at least the fields we parse
  ReadGaps gaps;
  ReadSectors(ctx, partitionStart, 1, sector.data(), &gaps);
  if (!gaps.empty() && ctx.fsKind == FsKind::Fat32) Fat32BootCopy(ctx, partitionStart, sector);
  ctx.bytesPerSector = keep;
  return ParseFatBootSectorBytes(ctx, sector.data(), sector.size(), partitionStart, volumeSectors);
}

}  // namespace ambrelic::disk
