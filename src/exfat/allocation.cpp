#include "exfat/allocation.h"

#include <algorithm>
#include <unordered_set>

#include "disk/byte_reader.h"
#include "disk/cluster_walk.h"
#include "disk/cluster_set.h"
#include "disk/fat_entry.h"
#include "disk/sector_device.h"

namespace ambrelic::exfat {
namespace {

// The FAT is cached in blocks of this many bytes; past kMaxFatBlocks blocks
// the cache starts afresh (a chain rarely spans many of them).
constexpr std::uint32_t kFatBlockBytes = 64 * 1024;
constexpr std::size_t kMaxFatBlocks = 1024;
constexpr std::uint64_t kMaxDirectoryBytes = 256ull << 20;

bool ClusterRange(const ExfatVolume& v, Cluster c, std::uint32_t count) {
  return count != 0 && IsValidCluster(v, c) && v.lastCluster - c >= count - 1;
}

void AppendCluster(std::vector<ClusterRun>& runs, Cluster c) {
  if (!runs.empty() && runs.back().first + runs.back().count == c) {
    ++runs.back().count;
  } else {
    runs.push_back({c, 1});
  }
}

// Clusters a walk has taken: a few kept in a hash set, many in a bit per
// cluster of the volume (which a row's condition of one small file should
// not have to allocate).
class TakenClusters {
 public:
  TakenClusters(const ExfatVolume& v, std::uint64_t expected)
      : many_(expected > kFewClusters), bits_(many_ ? static_cast<std::uint64_t>(v.lastCluster) + 1 : 0) {}
  bool Test(Cluster c) const { return many_ ? bits_.Test(c) : few_.count(c) != 0; }
  void Set(Cluster c) {
    if (many_) {
      bits_.Set(c);
    } else {
      few_.insert(c);
    }
  }

 private:
  static constexpr std::uint64_t kFewClusters = 4096;
  bool many_;
  disk::ClusterSet bits_;
  std::unordered_set<Cluster> few_;
};

}  // namespace

std::uint64_t ClusterSector(const ExfatVolume& v, Cluster c) {
  return v.clusterHeapOffset + (static_cast<std::uint64_t>(c - kFirstCluster) << v.sectorsPerClusterShift);
}

bool ReadClusters(const disk::VolumeContext& ctx, Cluster c, std::uint32_t count, std::uint8_t* buffer) {
  const ExfatVolume& v = VolumeOf(ctx);
  const std::uint64_t sectors = static_cast<std::uint64_t>(count) << v.sectorsPerClusterShift;
  if (!ClusterRange(v, c, count) || sectors > 0xFFFFFFFFu) {
    std::fill_n(buffer, static_cast<std::size_t>(count) * v.bytesPerCluster, 0);
    return false;
  }
  return disk::ReadVolumeSectors(ctx, ClusterSector(v, c), static_cast<std::uint32_t>(sectors), buffer);
}

bool WriteClusters(const disk::VolumeContext& ctx, Cluster c, std::uint32_t count, const std::uint8_t* buffer) {
  const ExfatVolume& v = VolumeOf(ctx);
  const std::uint64_t sectors = static_cast<std::uint64_t>(count) << v.sectorsPerClusterShift;
  if (!ClusterRange(v, c, count) || sectors > 0xFFFFFFFFu) return false;
  return disk::WriteVolumeSectors(ctx, ClusterSector(v, c), static_cast<std::uint32_t>(sectors), buffer);
}

bool BitmapInUse(std::span<const std::uint8_t> bitmap, Cluster c) {
  if (c < kFirstCluster) return true;
  const std::uint64_t bit = c - kFirstCluster;
  if (bit / 8 >= bitmap.size()) return true;
  return (bitmap[bit / 8] >> (bit % 8)) & 1;
}

std::uint32_t FatEntry(const disk::VolumeContext& ctx, Cluster c) {
  const ExfatVolume& v = VolumeOf(ctx);
  const std::uint64_t byte = static_cast<std::uint64_t>(c) * 4;
  const std::uint64_t fatBytes = static_cast<std::uint64_t>(v.fatLength) << v.bytesPerSectorShift;
  if (v.bytesPerSectorShift == 0 || byte >= fatBytes) return 0;
  const auto block = static_cast<std::uint32_t>(byte / kFatBlockBytes);
  auto it = v.fatBlocks.find(block);
  if (it == v.fatBlocks.end()) {
    if (v.fatBlocks.size() >= kMaxFatBlocks) v.fatBlocks.clear();
    const std::uint64_t start = static_cast<std::uint64_t>(block) * kFatBlockBytes;
    const std::uint64_t bytes = std::min<std::uint64_t>(kFatBlockBytes, fatBytes - start);
    std::vector<std::uint8_t> data(bytes);
    // bytes is whole sectors: the FAT and the block size both are.
    disk::ReadVolumeSectors(ctx, v.fatOffset + (start >> v.bytesPerSectorShift),
                            static_cast<std::uint32_t>(bytes >> v.bytesPerSectorShift), data.data());
    it = v.fatBlocks.emplace(block, std::move(data)).first;
  }
  return disk::FatEntryValue(disk::FsKind::Exfat, it->second, byte % kFatBlockBytes / 4).value_or(0);
}

std::uint64_t ClustersFor(const ExfatVolume& v, std::uint64_t dataLength) {
  if (v.bytesPerCluster == 0) return 0;
  const std::uint64_t n = dataLength / v.bytesPerCluster + (dataLength % v.bytesPerCluster != 0 ? 1 : 0);
  return std::min<std::uint64_t>(n, v.clusterCount);
}

std::vector<Cluster> ChainClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t maxCount) {
  const ExfatVolume& v = VolumeOf(ctx);
  std::vector<Cluster> out;
  // Chains are mostly short: what was passed costs less to keep here than
  // a bit per cluster of the volume.
  disk::PassedClusters passed;
  for (Cluster c = first; IsValidCluster(v, c) && out.size() < maxCount && passed.Pass(c); c = FatEntry(ctx, c)) {
    out.push_back(c);
  }
  return out;
}

std::vector<Cluster> LiveDirectoryClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t dataLength,
                                           bool noFatChain) {
  const ExfatVolume& v = VolumeOf(ctx);
  std::vector<Cluster> out;
  if (!IsValidCluster(v, first) || v.bytesPerCluster == 0) return out;
  std::uint64_t limit = std::max<std::uint64_t>(1, kMaxDirectoryBytes / v.bytesPerCluster);
  if (dataLength != 0) limit = std::min(limit, std::max<std::uint64_t>(1, ClustersFor(v, dataLength)));
  if (noFatChain) {
    for (std::uint64_t c = first; c <= v.lastCluster && out.size() < limit; ++c) out.push_back(static_cast<Cluster>(c));
    return out;
  }
  return ChainClusters(ctx, first, limit);
}

std::vector<ClusterRun> SelectRestoreClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t dataLength,
                                              bool noFatChain, bool& complete) {
  const ExfatVolume& v = VolumeOf(ctx);
  std::vector<ClusterRun> runs;
  const std::uint64_t need = ClustersFor(v, dataLength);
  // A length the volume could not hold gets what the volume has, and is
  // told incomplete.
  complete = v.bytesPerCluster != 0 && (dataLength - 1) / v.bytesPerCluster < need;
  if (dataLength == 0) complete = true;
  if (need == 0) return runs;
  if (!IsValidCluster(v, first)) {
    complete = false;
    return runs;
  }
  if (noFatChain) {
    const std::uint64_t available = static_cast<std::uint64_t>(v.lastCluster) - first + 1;
    const std::uint64_t n = std::min(need, available);
    if (n < need) complete = false;
    runs.push_back({first, static_cast<std::uint32_t>(n)});
    return runs;
  }
  // When the first cluster is in use (a row listed with include used), the
  // rest is taken as it comes, as the FAT restore does.
  const bool onlyFree = !BitmapInUse(v.bitmap, first);
  disk::ClusterSet taken(static_cast<std::uint64_t>(v.lastCluster) + 1);
  std::uint64_t got = 0;
  Cluster c = first;
  taken.Set(c);
  AppendCluster(runs, c);
  ++got;
  while (got < need) {
    const std::uint32_t next = FatEntry(ctx, c);
    if (!IsValidCluster(v, next) || taken.Test(next) || (onlyFree && BitmapInUse(v.bitmap, next))) break;
    c = next;
    taken.Set(c);
    AppendCluster(runs, c);
    ++got;
  }
  // Where the chain ends early, the next clusters in ascending order.
  disk::WrappingClusterOrder order(first, c, v.lastCluster);
  while (got < need && order.Next()) {
    const auto candidate = static_cast<Cluster>(order.at());
    if (taken.Test(candidate) || (onlyFree && BitmapInUse(v.bitmap, candidate))) continue;
    taken.Set(candidate);
    AppendCluster(runs, candidate);
    ++got;
  }
  if (got < need) complete = false;
  return runs;
}

disk::RowCondition ExfatRowCondition(const disk::VolumeContext& ctx, const disk::ExfatStream& stream) {
  const ExfatVolume& v = VolumeOf(ctx);
  disk::RowCondition condition;
  if (!stream.isFolder && stream.dataLength == 0) return condition;
  const Cluster first = stream.firstCluster;
  if (v.bytesPerCluster == 0 || !IsValidCluster(v, first)) {
    condition.total = 1;
    condition.firstInUse = true;
    return condition;
  }
  condition.firstInUse = BitmapInUse(v.bitmap, first);
  if (stream.isFolder) {
    condition.total = 1;
    condition.free = condition.firstInUse ? 0 : 1;
    return condition;
  }
  // The length as stored, even past what the volume holds: the clusters
  // the volume cannot give are lost parts too.
  const std::uint64_t need = stream.dataLength / v.bytesPerCluster + (stream.dataLength % v.bytesPerCluster != 0);
  condition.total = need;
  const std::uint64_t available = static_cast<std::uint64_t>(v.lastCluster) - first + 1;
  if (stream.noFatChain) {
    condition.free = disk::CountClearBits(v.bitmap, first - kFirstCluster, std::min(need, available));
    return condition;
  }
  TakenClusters taken(v, need);
  std::uint64_t got = 0;
  Cluster c = first;
  for (;;) {
    taken.Set(c);
    ++got;
    if (!BitmapInUse(v.bitmap, c)) ++condition.free;
    if (got >= need) return condition;
    const std::uint32_t next = FatEntry(ctx, c);
    if (!IsValidCluster(v, next) || taken.Test(next)) break;
    c = next;
  }
  // Each cluster is offered at most once: wrapping once, never past first.
  disk::WrappingClusterOrder order(first, c, v.lastCluster);
  while (got < need && order.Next()) {
    const auto candidate = static_cast<Cluster>(order.at());
    if (taken.Test(candidate)) continue;
    ++got;
    if (!BitmapInUse(v.bitmap, candidate)) ++condition.free;
  }
  return condition;
}

std::vector<Cluster> DeletedDirectoryClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t dataLength,
                                              bool noFatChain, bool onlyFree, Cluster skipBelow) {
  const ExfatVolume& v = VolumeOf(ctx);
  std::vector<Cluster> out;
  if (v.bytesPerCluster == 0) return out;
  const std::uint64_t limit = std::min<std::uint64_t>(std::max<std::uint64_t>(1, ClustersFor(v, dataLength)),
                                                      std::max<std::uint64_t>(1, kMaxDirectoryBytes / v.bytesPerCluster));
  auto usable = [&](std::uint64_t c) {
    return IsValidCluster(v, c) && c >= skipBelow && !(onlyFree && BitmapInUse(v.bitmap, static_cast<Cluster>(c))) &&
           !v.walked.count(static_cast<Cluster>(c));
  };
  if (noFatChain) {
    for (std::uint64_t c = first; out.size() < limit && usable(c); ++c) out.push_back(static_cast<Cluster>(c));
    return out;
  }
  // A chain that ends before the recorded length (a writer that clears the
  // allocation entries of what it deletes) goes on contiguously, as the
  // restore reads a file whose chain is gone.
  disk::PassedClusters passed;
  for (Cluster c = first; out.size() < limit && usable(c) && passed.Pass(c);) {
    out.push_back(c);
    const Cluster next = FatEntry(ctx, c);
    c = IsValidCluster(v, next) ? next : c + 1;
  }
  return out;
}

}  // namespace ambrelic::exfat
