#include "platform/volume_info.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/bytes.h"
#include "platform/boot_sector.h"
#include "platform/text.h"

namespace ambrelic::platform {
namespace {

bool PowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool IsNtfsBootSector(std::span<const std::uint8_t> b) {
  static const char kOem[] = "NTFS    ";
  if (b.size() < 512 || std::memcmp(b.data() + 3, kOem, 8) != 0) return false;
  const std::uint16_t bps = le16(b, 0x0B);
  return bps >= 512 && bps <= 4096 && PowerOfTwo(bps) && le8(b, 0x0D) != 0;
}

// An exFAT boot sector: its name, and zeros where FAT keeps its parameter
// block (a FAT or NTFS sector never has them).
bool IsExfatBootSector(std::span<const std::uint8_t> b) {
  static const char kName[] = "EXFAT   ";
  if (b.size() < 512 || std::memcmp(b.data() + 3, kName, 8) != 0) return false;
  for (std::size_t i = 0x0B; i < 0x40; ++i) {
    if (b[i] != 0) return false;
  }
  const std::uint8_t bpsShift = le8(b, 0x6C);
  return bpsShift >= 9 && bpsShift <= 12 && bpsShift + le8(b, 0x6D) <= 25;
}

// FAT geometry as the cluster-count rule needs it; nullopt when the BPB is
// not one a formatter writes.
struct FatGeometry {
  std::uint64_t clusters = 0;
  bool fat32Layout = false;  // 16-bit sectors-per-FAT field is 0
};

std::optional<FatGeometry> FatGeometryOf(std::span<const std::uint8_t> b) {
  if (b.size() < 512) return std::nullopt;
  // Every FAT boot sector starts with a jump; an MBR's code does not carry a
  // BPB behind its first bytes, which the field checks below then refuse.
  if (b[0] != 0xEB && b[0] != 0xE9) return std::nullopt;
  const std::uint32_t bps = le16(b, 0x0B);
  const std::uint32_t spc = le8(b, 0x0D);
  const std::uint32_t reserved = le16(b, 0x0E);
  const std::uint32_t fats = le8(b, 0x10);
  const std::uint32_t rootEntries = le16(b, 0x11);
  std::uint64_t total = le16(b, 0x13);
  if (total == 0) total = le32(b, 0x20);
  std::uint32_t fatSize = le16(b, 0x16);
  const bool fat32Layout = fatSize == 0;
  if (fat32Layout) fatSize = le32(b, 0x24);
  if (bps < 512 || bps > 4096 || !PowerOfTwo(bps) || !PowerOfTwo(spc) || reserved == 0 ||
      fats == 0 || fatSize == 0 || total == 0) {
    return std::nullopt;
  }
  const std::uint64_t rootSectors = (static_cast<std::uint64_t>(rootEntries) * 32 + bps - 1) / bps;
  const std::uint64_t meta = reserved + static_cast<std::uint64_t>(fats) * fatSize + rootSectors;
  if (meta >= total) return std::nullopt;
  FatGeometry g;
  g.clusters = (total - meta) / spc;
  g.fat32Layout = fat32Layout;
  return g;
}

std::string TrimmedLabel(std::span<const std::uint8_t> b, std::size_t offset) {
  std::string label;
  for (std::size_t i = 0; i < 11; ++i) {
    const std::uint8_t c = le8(b, offset + i);
    if (c == 0) break;
    label.push_back(static_cast<char>(c));
  }
  while (!label.empty() && label.back() == ' ') label.pop_back();
  // mkfs.fat and Windows write this when the volume has no label.
  if (label == "NO NAME") label.clear();
  return label;
}

}  // namespace

std::uint8_t InferPartitionType(std::span<const std::uint8_t> b) {
  // exFAT partitions carry NTFS's type byte; the boot sector tells them apart.
  if (IsNtfsBootSector(b) || IsExfatBootSector(b)) return 0x07;
  const auto g = FatGeometryOf(b);
  if (!g) return 0;
  // As the systems that mount FAT decide: a 16-bit sectors-per-FAT of 0
  // is the FAT32 layout whatever the count of clusters; otherwise the count
  // tells FAT12 from FAT16.
  if (g->fat32Layout) return 0x0C;
  return g->clusters < 4085 ? 0x01 : 0x06;
}

bool LooksLikeVolumeBootSector(std::span<const std::uint8_t> b) {
  return IsNtfsBootSector(b) || IsExfatBootSector(b) || FatGeometryOf(b).has_value();
}

std::string ReadExfatLabel(BlockDevice& device, std::span<const std::uint8_t> b) {
  if (!IsExfatBootSector(b)) return {};
  const unsigned bpsShift = le8(b, 0x6C);
  const unsigned clusterShift = bpsShift + le8(b, 0x6D);
  const std::uint64_t heap = static_cast<std::uint64_t>(le32(b, 0x58)) << bpsShift;
  const std::uint32_t root = le32(b, 0x60);
  if (root < 2 || root - 2 >= le32(b, 0x5C)) return {};
  // The label entry is among the root's first entries (formatters put it
  // first); the first cluster, or its first 64 KiB, is looked at.
  std::vector<std::uint8_t> entries(std::min<std::uint64_t>(std::uint64_t{1} << clusterShift, 64 * 1024));
  device.ReadAt(heap + (static_cast<std::uint64_t>(root - 2) << clusterShift), entries);
  for (std::size_t at = 0; at + 32 <= entries.size(); at += 32) {
    const std::uint8_t type = entries[at];
    if (type == 0x00) break;
    if (type != 0x83) continue;
    const std::size_t units = std::min<std::size_t>(entries[at + 1], 11);
    return Utf16ToLocale(std::span<const std::uint8_t>(entries.data() + at + 2, units * 2));
  }
  return {};
}

std::optional<VolumeInformation> VolumeInformationFromBootSector(std::span<const std::uint8_t> b) {
  VolumeInformation info;
  if (IsExfatBootSector(b)) {
    // The label lives in the root directory (ReadExfatLabel).
    info.serial = le32(b, 0x64);
    info.fileSystem = "exFAT";
    return info;
  }
  if (IsNtfsBootSector(b)) {
    // The label of an NTFS volume lives in its $Volume record, not here.
    info.serial = le32(b, 0x48);
    info.fileSystem = "NTFS";
    return info;
  }
  const auto g = FatGeometryOf(b);
  if (!g) return std::nullopt;
  if (g->fat32Layout) {
    info.serial = le32(b, 0x43);
    info.label = TrimmedLabel(b, 0x47);
  } else {
    info.serial = le32(b, 0x27);
    info.label = TrimmedLabel(b, 0x2B);
  }
  const std::uint8_t type = InferPartitionType(b);
  info.fileSystem = type == 0x01 ? "FAT12" : type == 0x06 ? "FAT16" : "FAT32";
  return info;
}

VolumeQuery QueryVolumeInformation(const std::string& path, std::uint64_t offset, std::uint64_t length) {
  VolumeQuery q;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    q.errnoValue = errno;
    q.error = (errno == ENOENT || errno == ENOTDIR || errno == ENOMEDIUM) ? kErrorNotReady
                                                                          : 1000 + errno;
    return q;
  }
  OpenResult opened = OpenFileDevice(path, offset, length, false);
  if (!opened.device) {
    q.errnoValue = opened.error;
    q.error = opened.error == ENOMEDIUM ? kErrorNotReady : 1000 + opened.error;
    return q;
  }
  // A boot sector that cannot be read is taken from its copy, when the
  // volume keeps a consistent one.
  const BootSectorRead boot = ReadBootSector(*opened.device);
  const bool read = !boot.unreadable || boot.fromBackup;
  const auto info = read ? VolumeInformationFromBootSector(boot.bytes) : std::nullopt;
  if (!info) {
    q.error = kErrorGenFailure;
    return q;
  }
  q.ok = true;
  q.info = *info;
  if (q.info.fileSystem == "exFAT") q.info.label = ReadExfatLabel(*opened.device, boot.bytes);
  return q;
}

std::string ErrorText(int errnoValue) { return std::strerror(errnoValue); }

}  // namespace ambrelic::platform
