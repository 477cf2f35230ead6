// Helpers of the FAT engine suites: a volume context over an image made by
// the fixture script, and small FAT volumes built in memory for the corner
// cases no tool writes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"
#include "disk/operation_state.h"
#include "disk/volume_context.h"
#include "fat/allocation_table.h"
#include "fat/dir_entry.h"
#include "platform/block_device.h"

namespace ambrelic::fat::test {

// Kind of a FAT volume by the usual cluster-count rule.
inline disk::FsKind KindOfImage(const std::vector<std::uint8_t>& boot) {
  disk::Bytes b(boot);
  const std::uint32_t bps = disk::le16(b, 0x0B);
  const std::uint32_t spc = disk::le8(b, 0x0D);
  const std::uint32_t reserved = disk::le16(b, 0x0E);
  const std::uint32_t fats = disk::le8(b, 0x10);
  const std::uint32_t rootEntries = disk::le16(b, 0x11);
  std::uint32_t total = disk::le16(b, 0x13);
  if (total == 0) total = disk::le32(b, 0x20);
  std::uint32_t spf = disk::le16(b, 0x16);
  if (spf == 0) spf = disk::le32(b, 0x24);
  if (bps == 0 || spc == 0) return disk::FsKind::None;
  const std::uint32_t data = reserved + fats * spf + (rootEntries * 32 + bps - 1) / bps;
  const std::uint32_t clusters = (total - data) / spc;
  if (clusters < 4085) return disk::FsKind::Fat12;
  if (clusters < 65525) return disk::FsKind::Fat16;
  return disk::FsKind::Fat32;
}

// Prepares ctx over an image file as volume preparation would: kind, boot
// sector, allocation table, SearchedRoot "C:\".
inline bool OpenFatImage(const std::string& path, disk::VolumeContext& ctx) {
  auto opened = platform::OpenFileDevice(path);
  if (!opened.device) return false;
  std::vector<std::uint8_t> boot(512);
  opened.device->ReadAt(0, boot);
  ctx = disk::VolumeContext{};
  ctx.fsKind = KindOfImage(boot);
  ctx.volumeHandle = opened.device;
  ctx.SearchedRoot = "C:\\";
  if (!disk::ParseFatBootSector(ctx, 0, opened.device->Size() / 512)) return false;
  LoadAllocationTable(ctx, 0);
  return true;
}

// A small FAT16 (or FAT32) volume in memory: 512-byte sectors, one sector
// per cluster unless told otherwise, one FAT of `fatSectors` sectors at
// sector 1, a 32-entry root at sector 1 + fatSectors (FAT16), data after it.
class MemFat {
 public:
  explicit MemFat(disk::FsKind kind = disk::FsKind::Fat16, std::uint32_t clusters = 60,
                  std::uint8_t sectorsPerCluster = 1, std::uint32_t fatSectors = 1) {
    ctx.fsKind = kind;
    ctx.bytesPerSector = 512;
    ctx.sectorsPerCluster = sectorsPerCluster;
    ctx.bytesPerCluster = 512u * sectorsPerCluster;
    ctx.reservedSectors = 1;
    ctx.numberOfFats = 1;
    ctx.sectorsPerFat = fatSectors;
    ctx.fatStartSector = 1;
    ctx.rootDirSector = 1 + fatSectors;
    if (kind == disk::FsKind::Fat32) {
      ctx.rootEntryCount = 0;
      ctx.rootCluster = 2;
      ctx.dataStartSector = ctx.rootDirSector;
    } else {
      ctx.rootEntryCount = 32;
      ctx.rootCluster = 0;
      ctx.dataStartSector = ctx.rootDirSector + 2;
    }
    ctx.lastCluster = clusters + 1;
    ctx.SearchedRoot = "C:\\";
    const std::size_t bytes =
        (static_cast<std::size_t>(ctx.dataStartSector) + static_cast<std::size_t>(clusters) * sectorsPerCluster) * 512;
    device = std::make_shared<platform::MemoryDevice>(std::vector<std::uint8_t>(bytes, 0));
    ctx.volumeHandle = device;
    ctx.fatCopy.assign(static_cast<std::size_t>(fatSectors) * 512, 0);
    // Media entries 0 and 1, as every formatted volume has them.
    SetFat(0, kind == disk::FsKind::Fat32 ? 0x0FFFFFF8 : 0xFFF8);
    SetFat(1, -1);
    if (kind == disk::FsKind::Fat32) SetFat(2, -1);
    ctx.fatWork = ctx.fatCopy;
  }

  // Sets an allocation entry in both loaded copies.
  void SetFat(Cluster c, FatEntry v) {
    ctx.fatWork = ctx.fatCopy;
    FatSetEntry(ctx, c, v);
    ctx.fatCopy = ctx.fatWork;
  }
  // Writes the loaded table to the device, where the wipe's own check reads
  // every copy.
  void StoreTables() {
    std::copy(ctx.fatCopy.begin(), ctx.fatCopy.end(),
              device->Bytes().begin() + static_cast<std::ptrdiff_t>(ctx.fatStartSector) * 512);
  }
  void Chain(std::initializer_list<Cluster> clusters) {
    std::vector<Cluster> v(clusters);
    for (std::size_t i = 0; i < v.size(); ++i) SetFat(v[i], i + 1 < v.size() ? static_cast<FatEntry>(v[i + 1]) : -1);
  }

  std::uint8_t* ClusterBytes(Cluster c) {
    return device->Bytes().data() + static_cast<std::size_t>(ClusterToSector(ctx, c)) * 512;
  }
  std::uint8_t* RootBytes() { return device->Bytes().data() + static_cast<std::size_t>(ctx.rootDirSector) * 512; }

  // The 32 bytes of entry `index` of cluster c (0 = the fixed root).
  std::uint8_t* Entry(Cluster c, std::size_t index) { return (c == 0 ? RootBytes() : ClusterBytes(c)) + 32 * index; }

  static std::array<std::uint8_t, 32> Short(const char (&name11)[12], std::uint8_t attr, std::uint32_t cluster,
                                            std::uint32_t size, std::uint16_t date = 0x3C21,
                                            std::uint16_t time = 0x6000) {
    std::array<std::uint8_t, 32> e{};
    std::memcpy(e.data(), name11, 11);
    e[0x0B] = attr;
    disk::put16(e, 0x14, static_cast<std::uint16_t>(cluster >> 16));
    disk::put16(e, 0x16, time);
    disk::put16(e, 0x18, date);
    disk::put16(e, 0x1A, static_cast<std::uint16_t>(cluster));
    disk::put32(e, 0x1C, size);
    return e;
  }
  // A long-name entry holding up to 13 units of `units` from `from`
  // (terminated and padded as Windows does).
  static std::array<std::uint8_t, 32> Long(std::uint8_t seq, const std::u16string& units, std::size_t from,
                                           std::uint8_t checksum) {
    std::array<std::uint8_t, 32> e{};
    e[0] = seq;
    e[0x0B] = 0x0F;
    e[0x0D] = checksum;
    static constexpr std::size_t kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t i = 0; i < 13; ++i) {
      std::uint16_t u;
      if (from + i < units.size()) u = units[from + i];
      else if (from + i == units.size()) u = 0;
      else u = 0xFFFF;
      disk::put16(e, kAt[i], u);
    }
    return e;
  }
  static std::uint8_t Checksum(const char (&name11)[12]) {
    std::array<std::uint8_t, 11> n;
    std::memcpy(n.data(), name11, 11);
    return ShortNameChecksum(n);
  }

  // Writes a long name (its entries, last part first) and its short entry
  // from position `index` of cluster c; returns the index after them.
  std::size_t PutNamed(Cluster c, std::size_t index, const std::u16string& longName, std::array<std::uint8_t, 32> shortEntry,
                       bool deleted) {
    char n11[12] = {};
    std::memcpy(n11, shortEntry.data(), 11);
    const std::uint8_t sum = Checksum(n11);
    const std::size_t parts = (longName.size() + 12) / 13;
    for (std::size_t p = parts; p > 0; --p) {
      auto lfn = Long(static_cast<std::uint8_t>(p | (p == parts ? 0x40 : 0)), longName, (p - 1) * 13, sum);
      if (deleted) lfn[0] = 0xE5;
      Put(c, index++, lfn);
    }
    if (deleted) shortEntry[0] = 0xE5;
    Put(c, index++, shortEntry);
    return index;
  }

  void Put(Cluster c, std::size_t index, const std::array<std::uint8_t, 32>& e) {
    std::memcpy(Entry(c, index), e.data(), 32);
  }
  // A directory cluster's "." and ".." entries.
  void Dots(Cluster c, Cluster parent) {
    Put(c, 0, Short(".          ", 0x10, c, 0));
    Put(c, 1, Short("..         ", 0x10, parent, 0));
  }

  disk::VolumeContext ctx;
  std::shared_ptr<platform::MemoryDevice> device;
};

}  // namespace ambrelic::fat::test
