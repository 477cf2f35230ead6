#include "platform/boot_sector.h"

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "platform/volume_info.h"

namespace ambrelic::platform {
namespace {

constexpr std::uint32_t kFileSignature = 0x454C4946;  // "FILE"

bool ReadWhole(BlockDevice& device, std::uint64_t offset, std::span<std::uint8_t> out) {
  return offset <= device.Size() && device.Size() - offset >= out.size() && device.ReadChecked(offset, out) == 0;
}

// The FAT32 copy at sector 6, believed when the first sector of its first
// table (which does read) starts as that table must.
bool Fat32Copy(BlockDevice& device, std::uint64_t sectorSize, std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> copy(out.size());
  if (!ReadWhole(device, kFat32BackupSector * sectorSize, copy) || !IsFat32BootCopy(copy)) return false;
  std::vector<std::uint8_t> fat(std::max<std::size_t>(le16(copy, 0x0B), 512));
  if (!ReadWhole(device, static_cast<std::uint64_t>(le16(copy, 0x0E)) * le16(copy, 0x0B), fat)) return false;
  if (!FatTableStartFits(copy, fat)) return false;
  out.swap(copy);
  return true;
}

// The NTFS copy in the last sector, believed when the MFT it points at
// (which does read) starts with a file record.
bool NtfsCopy(BlockDevice& device, std::vector<std::uint8_t>& out) {
  const std::uint64_t size = device.Size();
  // The copy fills the last sector, whose size the copy itself tells.
  for (std::uint64_t bps = 512; bps <= 4096; bps *= 2) {
    if (size < 2 * bps) break;
    std::vector<std::uint8_t> copy(std::max<std::size_t>(bps, out.size()));
    if (!ReadWhole(device, size / bps * bps - bps, std::span<std::uint8_t>(copy).first(bps))) continue;
    if (le16(copy, 0x0B) != bps || !IsNtfsBootCopy(copy, size)) continue;
    // Clusters over 128 sectors are given as a power of two: 256 - n
    // means 2^n sectors.
    std::uint64_t spc = le8(copy, 0x0D);
    if (spc > 0x80) spc = 256 - spc < 32 ? std::uint64_t{1} << (256 - spc) : 0;
    const std::uint64_t mft = le64(copy, 0x30);
    if (spc == 0 || spc * bps > (std::uint64_t{2} << 20) || mft > size / (spc * bps)) continue;
    std::vector<std::uint8_t> record(bps);
    if (!ReadWhole(device, mft * spc * bps, record) || le32(record, 0) != kFileSignature) continue;
    copy.resize(out.size());
    out.swap(copy);
    return true;
  }
  return false;
}

// The exFAT copy: the second boot region, twelve sectors from sector 12 of
// the volume's own sector size, believed when its checksum sector matches
// the eleven sectors before it (the check exFAT itself defines).
bool ExfatCopy(BlockDevice& device, std::vector<std::uint8_t>& out) {
  for (std::uint64_t shift = 9; shift <= 12; ++shift) {
    const std::uint64_t bps = std::uint64_t{1} << shift;
    std::vector<std::uint8_t> region(static_cast<std::size_t>(12 * bps));
    if (!ReadWhole(device, 12 * bps, region)) continue;
    if (std::memcmp(region.data() + 3, "EXFAT   ", 8) != 0 || region[0x6C] != shift) continue;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 11 * bps; ++i) {
      if (i == 106 || i == 107 || i == 112) continue;
      sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
    }
    if (le32(region, static_cast<std::size_t>(11 * bps)) != sum) continue;
    std::fill(out.begin(), out.end(), 0);
    std::copy_n(region.begin(), std::min<std::size_t>(out.size(), static_cast<std::size_t>(bps)), out.begin());
    return true;
  }
  return false;
}

}  // namespace

bool IsFat32BootCopy(std::span<const std::uint8_t> b) {
  return b.size() >= 512 && LooksLikeVolumeBootSector(b) && InferPartitionType(b) != 0x07 && le16(b, 0x16) == 0 &&
         le16(b, 0x32) == kFat32BackupSector;
}

bool IsNtfsBootCopy(std::span<const std::uint8_t> b, std::uint64_t deviceBytes) {
  if (b.size() < 512 || InferPartitionType(b) != 0x07) return false;
  const std::uint64_t bps = le16(b, 0x0B);
  const std::uint64_t total = le64(b, 0x28);
  return total != 0 && total <= deviceBytes / bps;
}

bool FatTableStartFits(std::span<const std::uint8_t> boot, std::span<const std::uint8_t> fat) {
  if (boot.size() < 512 || fat.size() < 4) return false;
  const std::uint32_t entry0 = le32(fat, 0) & 0x0FFFFFFFu;
  return (entry0 & 0x0FFFFF00u) == 0x0FFFFF00u && (entry0 & 0xFFu) == le8(boot, 0x15);
}

BootSectorRead ReadBootSector(BlockDevice& device, std::uint16_t sectorSize) {
  BootSectorRead r;
  const std::uint64_t ss = std::clamp<std::uint64_t>(sectorSize, 512, 4096);
  r.bytes.assign(static_cast<std::size_t>(ss), 0);
  if (device.ReadChecked(0, r.bytes) == 0) return r;
  r.unreadable = true;
  std::fill(r.bytes.begin(), r.bytes.end(), 0);
  r.fromBackup = Fat32Copy(device, ss, r.bytes) || NtfsCopy(device, r.bytes) || ExfatCopy(device, r.bytes);
  return r;
}

}  // namespace ambrelic::platform
