#include "exfat/boot_region.h"

#include <cstring>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/sector_device.h"

namespace ambrelic::exfat {
namespace {

constexpr std::size_t kRegionSectors = 12;
constexpr std::size_t kChecksumSector = 11;
constexpr std::uint8_t kMaxClusterShift = 25;  // 32 MiB
constexpr std::uint32_t kMaxClusterCount = 0xFFFFFFF5u;
constexpr std::uint32_t kFirstFatSector = 24;  // after both boot regions

}  // namespace

bool HasExfatSignature(disk::Bytes sector) {
  static const char kName[] = "EXFAT   ";
  return disk::Fits(3, 8, sector.size()) && std::memcmp(sector.data() + 3, kName, 8) == 0;
}

std::uint32_t BootChecksum(disk::Bytes region, std::size_t bytesPerSector) {
  const std::size_t length = std::min(region.size(), bytesPerSector * kChecksumSector);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

bool ParseExfatBootSector(disk::Bytes b, std::uint64_t deviceBytes, ExfatVolume& out) {
  if (b.size() < 512 || !HasExfatSignature(b)) return false;
  // Where FAT keeps its parameter block exFAT must hold zeros; a FAT boot
  // sector that happens to carry the name fails here.
  for (std::size_t i = 0x0B; i < 0x40; ++i) {
    if (b[i] != 0) return false;
  }
  disk::ByteReader r(b);
  ExfatVolume v;
  v.volumeLength = r.u64(0x48);
  v.fatOffset = r.u32(0x50);
  v.fatLength = r.u32(0x54);
  v.clusterHeapOffset = r.u32(0x58);
  v.clusterCount = r.u32(0x5C);
  v.rootCluster = r.u32(0x60);
  v.volumeSerial = r.u32(0x64);
  v.volumeFlags = r.u16(0x6A);
  v.bytesPerSectorShift = r.u8(0x6C);
  v.sectorsPerClusterShift = r.u8(0x6D);
  v.numberOfFats = r.u8(0x6E);
  if (!r.ok()) return false;

  if (v.bytesPerSectorShift < 9 || v.bytesPerSectorShift > 12) return false;
  if (v.sectorsPerClusterShift > kMaxClusterShift - v.bytesPerSectorShift) return false;
  if (v.numberOfFats != 1 && v.numberOfFats != 2) return false;
  if (v.clusterCount == 0 || v.clusterCount > kMaxClusterCount) return false;
  const std::uint64_t bytesPerSector = 1ull << v.bytesPerSectorShift;
  // The FATs lie between the boot regions and the heap, and each has an
  // entry for every cluster (and the two reserved ones).
  if (v.fatOffset < kFirstFatSector || v.fatLength == 0) return false;
  const std::uint64_t fatsEnd = v.fatOffset + static_cast<std::uint64_t>(v.fatLength) * v.numberOfFats;
  if (fatsEnd > v.clusterHeapOffset) return false;
  if ((static_cast<std::uint64_t>(v.clusterCount) + 2) * 4 > static_cast<std::uint64_t>(v.fatLength) * bytesPerSector) {
    return false;
  }
  const std::uint64_t heapSectors = static_cast<std::uint64_t>(v.clusterCount) << v.sectorsPerClusterShift;
  if (v.clusterHeapOffset > v.volumeLength || v.volumeLength - v.clusterHeapOffset < heapSectors) return false;
  if (v.rootCluster < 2 || v.rootCluster - 2 >= v.clusterCount) return false;

  v.bytesPerCluster = 1u << (v.bytesPerSectorShift + v.sectorsPerClusterShift);
  v.lastCluster = v.clusterCount + 1;
  if (deviceBytes != 0) {
    // An image cut short: the clusters past its end are not there to read.
    const std::uint64_t deviceSectors = deviceBytes >> v.bytesPerSectorShift;
    if (v.clusterHeapOffset >= deviceSectors) return false;
    const std::uint64_t held = (deviceSectors - v.clusterHeapOffset) >> v.sectorsPerClusterShift;
    if (held < v.clusterCount) v.lastCluster = static_cast<std::uint32_t>(held + 1);
  }
  // A volume with two FATs works on the one its flags name.
  if (v.numberOfFats == 2 && (v.volumeFlags & 1)) v.fatOffset += v.fatLength;
  out = std::move(v);
  return true;
}

bool ReadBootRegion(const disk::VolumeContext& ctx, ExfatVolume& out) {
  if (!ctx.volumeHandle || ctx.bytesPerSector == 0 || 4096 % ctx.bytesPerSector != 0) return false;
  const std::uint64_t deviceBytes = ctx.volumeHandle->Size();
  // Both regions at the largest sector size; each boot sector tells its own.
  std::vector<std::uint8_t> regions(2 * kRegionSectors * 4096);
  disk::ReadVolumeSectors(ctx, 0, static_cast<std::uint32_t>(regions.size() / ctx.bytesPerSector), regions.data());
  const disk::Bytes all(regions);
  bool mainParsed = false;
  ExfatVolume main;
  if (ParseExfatBootSector(all.subspan(0, 512), deviceBytes, main)) {
    mainParsed = true;
    const std::size_t bps = std::size_t{1} << main.bytesPerSectorShift;
    const disk::Bytes region = all.subspan(0, kRegionSectors * bps);
    if (BootChecksum(region, bps) == disk::le32(region, kChecksumSector * bps)) {
      main.bootChecksumOk = true;
      out = std::move(main);
      return true;
    }
  }
  // The backup region starts at sector 12 of its own sector size.
  for (std::uint8_t shift = 9; shift <= 12; ++shift) {
    const std::size_t bps = std::size_t{1} << shift;
    const disk::Bytes region = all.subspan(kRegionSectors * bps, kRegionSectors * bps);
    ExfatVolume backup;
    if (!ParseExfatBootSector(region.subspan(0, 512), deviceBytes, backup)) continue;
    if (backup.bytesPerSectorShift != shift) continue;
    if (BootChecksum(region, bps) != disk::le32(region, kChecksumSector * bps)) continue;
    backup.bootChecksumOk = true;
    out = std::move(backup);
    // What the main region could not give is all in its copy: nothing it
    // held is missing.
    disk::RecoveredSectors(ctx, 0, kRegionSectors * bps / ctx.bytesPerSector);
    return true;
  }
  if (!mainParsed) return false;
  out = std::move(main);
  return true;
}

}  // namespace ambrelic::exfat
