// What the exFAT engine knows of the selected volume: the boot region's
// layout, the allocation bitmap and up-case table read by preparation, a
// cache of the FAT. Only this engine reads it: the context holds it for
// the engine (one pointer), filled by PrepareExfatVolume.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "disk/exfat_stream.h"
#include "disk/volume_context.h"

namespace ambrelic::exfat {

struct ExfatVolume {
  // Boot region (sector numbers relative to the volume's first sector).
  std::uint8_t bytesPerSectorShift = 0;
  std::uint8_t sectorsPerClusterShift = 0;
  std::uint64_t volumeLength = 0;     // sectors
  std::uint32_t fatOffset = 0;        // sectors, the active FAT
  std::uint32_t fatLength = 0;        // sectors
  std::uint32_t clusterHeapOffset = 0;
  std::uint32_t clusterCount = 0;     // as the boot sector says
  std::uint32_t rootCluster = 0;
  std::uint32_t volumeSerial = 0;
  std::uint16_t volumeFlags = 0;
  std::uint8_t numberOfFats = 0;
  std::uint32_t bytesPerCluster = 0;
  // Clusters 2 .. lastCluster lie inside what the device holds; the boot
  // sector may claim more (an image cut short), never fewer.
  std::uint32_t lastCluster = 0;
  bool bootChecksumOk = false;        // the boot region used passed its checksum

  // From the root directory: the allocation bitmap(s) and the up-case table.
  // A volume with two FATs has two bitmaps; bitmap is the active one.
  std::vector<std::uint8_t> bitmap;   // bit n-2 set: cluster n in use
  std::vector<std::uint8_t> otherBitmap;  // the inactive one, or empty
  struct Extent {
    std::uint32_t firstCluster = 0;
    std::uint64_t length = 0;
  };
  std::vector<Extent> bitmapExtents;  // every bitmap the root names, in order met
  Extent upcaseExtent;
  // The up-case table expanded to one entry per UTF-16 unit, or empty when
  // the volume's table is missing or fails its checksum.
  std::vector<std::uint16_t> upcase;

  // The FAT is read in blocks as chains need it: a volume may have far more
  // clusters than a table worth holding whole. Reading it changes nothing
  // the context describes, hence mutable.
  mutable std::unordered_map<std::uint32_t, std::vector<std::uint8_t>> fatBlocks;

  // Clusters the last search walk read as deleted folders: the vacant-cluster
  // scan after it does not read them again. Released with the walk marks.
  std::unordered_set<std::uint32_t> walked;
};

// The exFAT state of ctx. A context no exFAT preparation filled has an
// empty one: no clusters, no bitmap.
inline ExfatVolume& VolumeOf(disk::VolumeContext& ctx) {
  if (!ctx.exfatState) ctx.exfatState = std::make_shared<ExfatVolume>();
  return *ctx.exfatState;
}
inline const ExfatVolume& VolumeOf(const disk::VolumeContext& ctx) {
  static const ExfatVolume kNone;
  return ctx.exfatState ? *ctx.exfatState : kNone;
}

}  // namespace ambrelic::exfat
