// Clusters of an exFAT volume: where they lie, reading and writing them,
// the allocation bitmap (what is in use), the FAT (how a fragmented file's
// clusters follow each other), and the choice of the clusters a file's data
// is taken from.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "disk/row_facts.h"
#include "disk/volume_context.h"
#include "exfat/volume_state.h"

namespace ambrelic::exfat {

using Cluster = std::uint32_t;

constexpr Cluster kFirstCluster = 2;
constexpr std::uint32_t kFatEndOfChain = 0xFFFFFFFFu;
constexpr std::uint32_t kFatBad = 0xFFFFFFF7u;

// A run of consecutive clusters.
struct ClusterRun {
  Cluster first = 0;
  std::uint32_t count = 0;
};

inline bool IsValidCluster(const ExfatVolume& v, std::uint64_t c) {
  return c >= kFirstCluster && c <= v.lastCluster;
}

// Sector (volume-relative, of the volume's own sector size) where cluster c
// begins.
std::uint64_t ClusterSector(const ExfatVolume& v, Cluster c);

// Reads or writes count clusters from c (count * bytesPerCluster bytes).
// False when any of them lies outside the volume or the transfer failed
// (a failed read leaves zeros).
bool ReadClusters(const disk::VolumeContext& ctx, Cluster c, std::uint32_t count, std::uint8_t* buffer);
bool WriteClusters(const disk::VolumeContext& ctx, Cluster c, std::uint32_t count, const std::uint8_t* buffer);

// True when the bitmap marks cluster c in use. Clusters the bitmap does not
// cover count as in use: their allocation is unknown.
bool BitmapInUse(std::span<const std::uint8_t> bitmap, Cluster c);
inline bool IsClusterFree(const ExfatVolume& v, Cluster c) {
  return IsValidCluster(v, c) && !BitmapInUse(v.bitmap, c);
}

// Entry c of the active FAT, read through the volume's block cache; a FAT
// that cannot be read gives 0 (no next cluster).
std::uint32_t FatEntry(const disk::VolumeContext& ctx, Cluster c);

// The FAT chain from first, at most maxCount clusters; it ends at a cluster
// that is not valid or that it already passed.
std::vector<Cluster> ChainClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t maxCount);

// The clusters of a directory in use: contiguous when its stream says no FAT
// chain, else its chain; at most as many as dataLength covers (dataLength 0:
// the root, which has no length of its own, as far as its chain goes) and
// never more than a directory may hold (256 MiB). A chain that comes back to
// a cluster it passed ends there.
std::vector<Cluster> LiveDirectoryClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t dataLength,
                                           bool noFatChain);

// How many clusters hold dataLength bytes, never more than the volume has.
std::uint64_t ClustersFor(const ExfatVolume& v, std::uint64_t dataLength);

// The clusters a deleted file's data is taken from, in file order, for
// dataLength bytes. The one place that chooses them (the restore reads
// exactly these):
// - no FAT chain: the contiguous run from first, as it stands;
// - otherwise the FAT chain from first, as far as each next cluster is a
//   valid cluster not taken yet and, when first itself is free, free in the
//   bitmap; then, as the FAT restore does, the next clusters in ascending
//   order (only free ones when first is free), wrapping once from the last
//   cluster to cluster 2 and never passing first again.
// complete is false when the volume could not give every cluster.
std::vector<ClusterRun> SelectRestoreClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t dataLength,
                                              bool noFatChain, bool& complete);

// How much of what the restore of a deleted file or folder reads is still
// free, as the restore would take it had nothing been reused since: a
// folder its first cluster; a file without FAT chain its contiguous run; a
// file with one its chain as far as it goes (valid clusters not passed
// yet, in use or not), then the next clusters in ascending order as
// SelectRestoreClusters takes them. A cluster in use there holds something
// else now: a lost part of the file. Clusters past the volume's end count
// as lost.
disk::RowCondition ExfatRowCondition(const disk::VolumeContext& ctx, const disk::ExfatStream& stream);

// The clusters of a deleted folder to read as its directory: like the
// restore's choice, but only clusters that no earlier part of this walk
// read as a folder and (with onlyFree, what the walk asks when the first
// cluster is free) free ones, and without the ascending guess: a guessed
// cluster would put other folders' entries in this one.
// Clusters below skipBelow count as read already (a cluster scan passed them).
std::vector<Cluster> DeletedDirectoryClusters(const disk::VolumeContext& ctx, Cluster first, std::uint64_t dataLength,
                                              bool noFatChain, bool onlyFree, Cluster skipBelow = 0);

}  // namespace ambrelic::exfat
