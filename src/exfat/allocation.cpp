#include "exfat/allocation.h"

#include <algorithm>
#include <unordered_set>

#include "disk/byte_reader.h"
#include "disk/sector_device.h"

namespace ambrelic::exfat {
namespace {

// The FAT is cached in blocks of this many bytes; past kMaxFatBlocks blocks
// the cache starts afresh (a chain rarely spans many of them).
constexpr std::uint32_t kFatBlockBytes = 64 * 1024;
constexpr std::size_t kMaxFatBlocks = 1024;
constexpr std::uint64_t kMaxDirectoryBytes = 256ull << 20;

bool ClusterRange(const disk::ExfatVolume& v, Cluster c, std::uint32_t count) {
  return count != 0 && IsValidCluster(v, c) && v.lastCluster - c >= count - 1;
}

void AppendCluster(std::vector<ClusterRun>& runs, Cluster c) {
  if (!runs.empty() && runs.back().first + runs.back().count == c) {
    ++runs.back().count;
  } else {
    runs.push_back({c, 1});
  }
}

// Bits for clusters 0 .. lastCluster, allocated when first needed.
class ClusterSet {
 public:
  explicit ClusterSet(const disk::ExfatVolume& v) : size_(static_cast<std::uint64_t>(v.lastCluster) + 1) {}
  bool Contains(Cluster c) const { return !bits_.empty() && c < size_ && bits_[c]; }
  void Insert(Cluster c) {
    if (bits_.empty()) bits_.assign(size_, false);
    if (c < size_) bits_[c] = true;
  }

 private:
  std::uint64_t size_;
  std::vector<bool> bits_;
};

// Clusters a walk has taken: a few kept in a hash set, many in a bit per
// cluster of the volume (which a row's condition of one small file should
// not have to allocate).
class TakenClusters {
 public:
  TakenClusters(const disk::ExfatVolume& v, std::uint64_t expected) : bits_(v), many_(expected > kFewClusters) {}
  bool Contains(Cluster c) const { return many_ ? bits_.Contains(c) : few_.count(c) != 0; }
  void Insert(Cluster c) {
    if (many_) {
      bits_.Insert(c);
    } else {
      few_.insert(c);
    }
  }

 private:
  static constexpr std::uint64_t kFewClusters = 4096;
  ClusterSet bits_;
  std::unordered_set<Cluster> few_;
  bool many_;
};

}  // namespace

std::uint64_t ClusterSector(const disk::ExfatVolume& v, Cluster c) {
  return v.clusterHeapOffset + (static_cast<std::uint64_t>(c - kFirstCluster) << v.sectorsPerClusterShift);
}

bool ReadClusters(const disk::VolumeContext& ctx, Cluster c, std::uint32_t count, std::uint8_t* buffer) {
  const disk::ExfatVolume& v = ctx.exfat;
  const std::uint64_t sectors = static_cast<std::uint64_t>(count) << v.sectorsPerClusterShift;
  if (!ClusterRange(v, c, count) || sectors > 0xFFFFFFFFu) {
    std::fill_n(buffer, static_cast<std::size_t>(count) * v.bytesPerCluster, 0);
    return false;
  }
  return disk::ReadVolumeSectors(ctx, ClusterSector(v, c), static_cast<std::uint32_t>(sectors), buffer);
}

bool WriteClusters(const disk::VolumeContext& ctx, Cluster c, std::uint32_t count, const std::uint8_t* buffer) {
  const disk::ExfatVolume& v = ctx.exfat;
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
  const disk::ExfatVolume& v = ctx.exfat;
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
  return disk::le32(it->second, static_cast<std::size_t>(byte % kFatBlockBytes));
}

std::uint64_t ClustersFor(const disk::ExfatVolume& v, std::uint64_t dataLength) {
  if (v.bytesPerCluster == 0) return 0;
  const std::uint64_t n = dataLength / v.bytesPerCluster + (dataLength % v.bytesPerCluster != 0 ? 1 : 0);
  return std::min<std::uint64_t>(n, v.clusterCount);
}

std::vector<Cluster> ChainClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t maxCount) {
  const disk::ExfatVolume& v = ctx.exfat;
  std::vector<Cluster> out;
  // Chains are mostly short: a set of what was passed costs less here than
  // a bit per cluster of the volume.
  std::unordered_set<Cluster> seen;
  for (Cluster c = first; IsValidCluster(v, c) && out.size() < maxCount && seen.insert(c).second; c = FatEntry(ctx, c)) {
    out.push_back(c);
  }
  return out;
}

std::vector<Cluster> LiveDirectoryClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t dataLength,
                                           bool noFatChain) {
  const disk::ExfatVolume& v = ctx.exfat;
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
  const disk::ExfatVolume& v = ctx.exfat;
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
  ClusterSet taken(v);
  std::uint64_t got = 0;
  Cluster c = first;
  taken.Insert(c);
  AppendCluster(runs, c);
  ++got;
  while (got < need) {
    const std::uint32_t next = FatEntry(ctx, c);
    if (!IsValidCluster(v, next) || taken.Contains(next) || (onlyFree && BitmapInUse(v.bitmap, next))) break;
    c = next;
    taken.Insert(c);
    AppendCluster(runs, c);
    ++got;
  }
  // Where the chain ends early, the next clusters in ascending order.
  bool wrapped = false;
  std::uint64_t at = c;
  while (got < need) {
    ++at;
    if (at > v.lastCluster) {
      if (wrapped) break;
      at = kFirstCluster;
      wrapped = true;
    }
    if (wrapped && at >= first) break;
    const auto candidate = static_cast<Cluster>(at);
    if (taken.Contains(candidate) || (onlyFree && BitmapInUse(v.bitmap, candidate))) continue;
    taken.Insert(candidate);
    AppendCluster(runs, candidate);
    ++got;
  }
  if (got < need) complete = false;
  return runs;
}

disk::RowCondition ExfatRowCondition(const disk::VolumeContext& ctx, const disk::ExfatStream& stream) {
  const disk::ExfatVolume& v = ctx.exfat;
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
    taken.Insert(c);
    ++got;
    if (!BitmapInUse(v.bitmap, c)) ++condition.free;
    if (got >= need) return condition;
    const std::uint32_t next = FatEntry(ctx, c);
    if (!IsValidCluster(v, next) || taken.Contains(next)) break;
    c = next;
  }
  // Each cluster is offered at most once: wrapping once, never past first.
  bool wrapped = false;
  for (std::uint64_t at = c; got < need;) {
    ++at;
    if (at > v.lastCluster) {
      if (wrapped) break;
      at = kFirstCluster;
      wrapped = true;
    }
    if (wrapped && at >= first) break;
    const auto candidate = static_cast<Cluster>(at);
    if (taken.Contains(candidate)) continue;
    ++got;
    if (!BitmapInUse(v.bitmap, candidate)) ++condition.free;
  }
  return condition;
}

std::vector<Cluster> DeletedDirectoryClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t dataLength,
                                              bool noFatChain, bool onlyFree, Cluster skipBelow) {
  const disk::ExfatVolume& v = ctx.exfat;
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
  std::unordered_set<Cluster> seen;
  for (Cluster c = first; out.size() < limit && usable(c) && seen.insert(c).second;) {
    out.push_back(c);
    const Cluster next = FatEntry(ctx, c);
    c = IsValidCluster(v, next) ? next : c + 1;
  }
  return out;
}

}  // namespace ambrelic::exfat
