#include "exfat/volume.h"

#include <algorithm>

#include "exfat/allocation.h"
#include "exfat/boot_region.h"
#include "exfat/entry_set.h"

namespace ambrelic::exfat {
namespace {

constexpr std::size_t kOffBitmapFlags = 0x01;
constexpr std::size_t kOffUpcaseChecksum = 0x04;
// A compressed up-case table holds far less; a longer one is damaged.
constexpr std::uint64_t kMaxUpcaseBytes = 2 * 0x10000 * 2;

// Reads extent.length bytes of a metadata file along its chain. False when
// the chain is shorter or a read failed.
bool ReadChainedFile(const disk::VolumeContext& ctx, const ExfatVolume::Extent& extent,
                     std::vector<std::uint8_t>& out) {
  const ExfatVolume& v = VolumeOf(ctx);
  const std::uint64_t need = ClustersFor(v, extent.length);
  if (need == 0 || v.bytesPerCluster == 0 || (extent.length - 1) / v.bytesPerCluster >= need) return false;
  const std::vector<Cluster> chain = ChainClusters(ctx, extent.firstCluster, need);
  if (chain.size() < need) return false;
  std::vector<std::uint8_t> data(need * v.bytesPerCluster);
  bool ok = true;
  // Consecutive clusters are read together.
  for (std::size_t i = 0; i < chain.size();) {
    std::size_t n = 1;
    while (i + n < chain.size() && chain[i + n] == chain[i] + n && n < 4096) ++n;
    ok = ReadClusters(ctx, chain[i], static_cast<std::uint32_t>(n), data.data() + i * v.bytesPerCluster) && ok;
    i += n;
  }
  if (!ok) return false;
  data.resize(extent.length);
  out.swap(data);
  return true;
}

}  // namespace

bool ReadBitmap(const disk::VolumeContext& ctx, const ExfatVolume::Extent& extent,
                std::vector<std::uint8_t>& bits) {
  const ExfatVolume& v = VolumeOf(ctx);
  const std::uint64_t needBytes = (static_cast<std::uint64_t>(v.clusterCount) + 7) / 8;
  if (extent.length < needBytes) return false;
  ExfatVolume::Extent cut = extent;
  cut.length = needBytes;
  std::vector<std::uint8_t> fresh;
  if (!ReadChainedFile(ctx, cut, fresh)) return false;
  bits.swap(fresh);
  return true;
}

bool PrepareExfatVolume(disk::VolumeContext& ctx) {
  ExfatVolume v;
  if (!ReadBootRegion(ctx, v)) return false;
  ctx.exfatState = std::make_shared<ExfatVolume>(std::move(v));
  ExfatVolume& x = VolumeOf(ctx);
  ctx.bytesPerSector = static_cast<std::uint16_t>(1u << x.bytesPerSectorShift);
  ctx.sectorsPerCluster = 1u << x.sectorsPerClusterShift;
  ctx.bytesPerCluster = x.bytesPerCluster;
  ctx.lastCluster = x.lastCluster;
  ctx.volumeSerial = x.volumeSerial;

  // The bitmap and up-case entries lie in the root directory, in practice
  // among its first entries; the walk over it ends once they are found.
  const std::vector<Cluster> root = LiveDirectoryClusters(ctx, x.rootCluster, 0, false);
  std::vector<std::uint8_t> cluster(root.empty() ? 0 : x.bytesPerCluster);
  const disk::Bytes entries(cluster);
  bool upcaseFound = false;
  bool ended = false;
  for (std::size_t k = 0; k < root.size() && !ended; ++k) {
    if (upcaseFound && x.bitmapExtents.size() >= x.numberOfFats) break;
    ReadClusters(ctx, root[k], 1, cluster.data());
    for (std::size_t at = 0; disk::Fits(at, kEntrySize, cluster.size()); at += kEntrySize) {
      const std::uint8_t type = entries[at];
      if (type == kEndOfDirectory) {
        ended = true;
        break;
      }
      const ExfatVolume::Extent extent{disk::le32(entries, at + kOffFirstCluster),
                                             disk::le64(entries, at + kOffDataLength)};
      if (type == kTypeBitmap && x.bitmapExtents.size() < 2) {
        // Bit 0 of the flags tells which FAT the bitmap goes with.
        const bool second = (disk::le8(entries, at + kOffBitmapFlags) & 1) != 0;
        if (second) x.bitmapExtents.push_back(extent);
        else x.bitmapExtents.insert(x.bitmapExtents.begin(), extent);
      } else if (type == kTypeUpcase && !upcaseFound) {
        upcaseFound = true;
        x.upcaseExtent = extent;
        std::vector<std::uint8_t> table;
        if (extent.length <= kMaxUpcaseBytes && ReadChainedFile(ctx, extent, table)) {
          x.upcase = ExpandUpcaseTable(table, disk::le32(entries, at + kOffUpcaseChecksum));
        }
      }
    }
  }
  if (!x.bitmapExtents.empty()) {
    const bool secondActive = x.numberOfFats == 2 && (x.volumeFlags & 1) && x.bitmapExtents.size() == 2;
    ReadBitmap(ctx, x.bitmapExtents[secondActive ? 1 : 0], x.bitmap);
    if (x.bitmapExtents.size() == 2) ReadBitmap(ctx, x.bitmapExtents[secondActive ? 0 : 1], x.otherBitmap);
  }
  return true;
}

void ReleaseWalkMarks(disk::VolumeContext& ctx) { std::unordered_set<std::uint32_t>().swap(VolumeOf(ctx).walked); }

}  // namespace ambrelic::exfat
