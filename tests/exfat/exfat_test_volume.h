// A volume formatted by mkfs.exfat, held in memory, on which a test writes
// by hand what no tool writes (damaged sets, loops, hostile lengths): entry
// sets with their checksums, FAT entries and bitmap bits.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/volume_context.h"
#include "exfat/entry_set.h"
#include "exfat/volume.h"
#include "platform/block_device.h"
#include "support/test_support.h"

namespace ambrelic::exfat::test {

// An entry set to write.
struct SetSpec {
  std::u16string name;
  std::uint16_t attributes = 0x20;
  std::uint32_t firstCluster = 0;
  std::uint64_t validDataLength = 0;
  std::uint64_t dataLength = 0;
  std::uint8_t streamFlags = 0x01;  // allocation possible, FAT chain
  bool deleted = true;
  std::uint32_t modified = (30u << 25) | (6u << 21) | (15u << 16) | (10u << 11) | (30u << 5);  // 2010-06-15 10:30
  std::uint8_t utcOffset = 0x80;
};

class TestVolume {
 public:
  // mkfs.exfat over a fresh image of `bytes` bytes (at least 4 MiB).
  static TestVolume Format(std::uint32_t clusterSize, std::uint64_t bytes = 4u << 20) {
    const std::string dir = ambrelic::test::MakeTempDir("exfat-volume");
    const std::string path = dir + "/v.img";
    int status = 0;
    ambrelic::test::RunCommand("truncate -s " + std::to_string(bytes) + " '" + path + "' && mkfs.exfat -c " +
                                   std::to_string(clusterSize) + " -L TEST '" + path + "' >/dev/null 2>&1",
                               &status);
    EXPECT_EQ(status, 0) << "mkfs.exfat";
    TestVolume v;
    v.image = ambrelic::test::ReadFileBytes(path);
    const disk::Bytes b(v.image);
    v.bytesPerSector = 1u << disk::le8(b, 0x6C);
    v.bytesPerCluster = v.bytesPerSector << disk::le8(b, 0x6D);
    v.fatOffset = disk::le32(b, 0x50);
    v.heapOffset = disk::le32(b, 0x58);
    v.clusterCount = disk::le32(b, 0x5C);
    v.rootCluster = disk::le32(b, 0x60);
    // The root's entries name the bitmap's cluster.
    for (std::size_t at = 0; at < v.bytesPerCluster; at += 32) {
      if (v.Cluster(v.rootCluster)[at] == kTypeBitmap) v.bitmapCluster = disk::le32(v.Cluster(v.rootCluster), at + 0x14);
    }
    // The root grows to kRootClusters clusters (chained, in use), so that a
    // test has room for many sets in it.
    for (std::uint32_t k = 1; k < kRootClusters; ++k) {
      v.SetFat(v.rootCluster + k - 1, v.rootCluster + k);
      v.SetUsed(v.rootCluster + k, true);
    }
    v.SetFat(v.rootCluster + kRootClusters - 1, 0xFFFFFFFF);
    return v;
  }

  std::span<std::uint8_t> Cluster(std::uint32_t c) {
    const std::size_t at = (static_cast<std::size_t>(heapOffset) * bytesPerSector) +
                           static_cast<std::size_t>(c - 2) * bytesPerCluster;
    return std::span<std::uint8_t>(image.data() + at, bytesPerCluster);
  }
  void SetFat(std::uint32_t c, std::uint32_t value) {
    disk::put32(image, static_cast<std::size_t>(fatOffset) * bytesPerSector + 4u * c, value);
  }
  void SetUsed(std::uint32_t c, bool used) {
    std::uint8_t& byte = Cluster(bitmapCluster)[(c - 2) / 8];
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << ((c - 2) % 8));
    byte = used ? static_cast<std::uint8_t>(byte | bit) : static_cast<std::uint8_t>(byte & ~bit);
  }
  // The first cluster a test may use for its own data (past the root).
  std::uint32_t FreeCluster(std::uint32_t k = 0) const { return rootCluster + kRootClusters + k; }
  static constexpr std::uint32_t kRootClusters = 4;

  // Writes a set at entry `index` of cluster dir (it may run on into the
  // next cluster number); returns how many entries it took.
  std::size_t WriteSet(std::uint32_t dir, std::size_t index, const SetSpec& s) {
    const std::size_t nameEntries = (s.name.size() + 14) / 15;
    const std::size_t count = 2 + nameEntries;
    std::vector<std::uint8_t> e(count * 32, 0);
    e[0] = kTypeFile;
    e[1] = static_cast<std::uint8_t>(count - 1);
    disk::put16(e, 4, s.attributes);
    disk::put32(e, 8, s.modified);
    disk::put32(e, 0x0C, s.modified);
    disk::put32(e, 0x10, s.modified);
    e[0x16] = e[0x17] = e[0x18] = s.utcOffset;
    e[32] = kTypeStream;
    e[33] = s.streamFlags;
    e[35] = static_cast<std::uint8_t>(s.name.size());
    std::vector<std::uint8_t> units;
    for (char16_t u : s.name) {
      units.push_back(static_cast<std::uint8_t>(u));
      units.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    disk::put16(e, 36, NameHash(units.data(), s.name.size(), {}));
    disk::put64(e, 40, s.validDataLength);
    disk::put32(e, 52, s.firstCluster);
    disk::put64(e, 56, s.dataLength);
    for (std::size_t k = 0; k < nameEntries; ++k) {
      e[(2 + k) * 32] = kTypeName;
      for (std::size_t u = 0; u < 15 && k * 15 + u < s.name.size(); ++u) {
        disk::put16(e, (2 + k) * 32 + 2 + 2 * u, s.name[k * 15 + u]);
      }
    }
    disk::put16(e, 2, SetChecksum(e, 0, count));
    if (s.deleted) {
      for (std::size_t k = 0; k < count; ++k) e[k * 32] &= 0x7F;
    }
    for (std::size_t k = 0; k < e.size(); ++k) At(dir, index * 32 + k) = e[k];
    return count;
  }
  // Byte `offset` of the directory stored contiguously from cluster dir.
  std::uint8_t& At(std::uint32_t dir, std::size_t offset) {
    return Cluster(dir + static_cast<std::uint32_t>(offset / bytesPerCluster))[offset % bytesPerCluster];
  }

  // A context over the bytes as they stand, prepared as the application
  // prepares a volume; device stays with the test (writable).
  disk::VolumeContext Context() {
    device = std::make_shared<platform::MemoryDevice>(image, true);
    disk::VolumeContext ctx;
    ctx.volumeHandle = device;
    ctx.SearchedRoot = "C:\\";
    ctx.fsKind = disk::FsKind::Exfat;
    EXPECT_TRUE(PrepareExfatVolume(ctx));
    return ctx;
  }

  std::vector<std::uint8_t> image;
  std::shared_ptr<platform::MemoryDevice> device;
  std::uint32_t bytesPerSector = 0, bytesPerCluster = 0, fatOffset = 0, heapOffset = 0, clusterCount = 0;
  std::uint32_t rootCluster = 0, bitmapCluster = 0;
};

}  // namespace ambrelic::exfat::test
