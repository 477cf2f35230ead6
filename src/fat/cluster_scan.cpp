#include "fat/cluster_scan.h"

#include <algorithm>
#include <vector>

#include "disk/sector_device.h"
#include "fat/directory_walk.h"

namespace ambrelic::fat {

namespace {

// Consecutive qualifying clusters are read together, up to this many bytes,
// instead of one small read per cluster; each is then handled on its own
// exactly as if it had been read alone.
constexpr std::uint32_t kRunBytes = 1u << 20;

}  // namespace

void DirectoryWalker::HandleClusterAsDirectory(disk::Bytes cluster, const disk::ReadGaps* gaps) {
  SubdirList none;
  int longNameCount = 0;
  const std::size_t entries = std::min<std::size_t>(entriesPerCluster_, cluster.size() / kDirEntrySize);
  if (gaps && gaps->empty()) gaps = nullptr;
  for (std::size_t i = 0; i < entries; ++i) {
    if (gaps && gaps->Overlaps(i * kDirEntrySize, kDirEntrySize)) {
      // A sector that could not be read: no entries, and not the end.
      longNameCount = 0;
      continue;
    }
    const disk::Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
    if (e[0] == kEndOfDirectory) break;
    HandleDirEntry(e, longNameCount, &scanFolder_, none, 1);
    // Once cancelled, every further entry would return at once.
    if (op_.OperationMode == disk::OpSearch && op_.SearchCancelled == 1) break;
  }
}

void DirectoryWalker::ScanClusterAsDirectory(Cluster c) {
  ReadDirectoryCluster(c);
  HandleClusterAsDirectory(disk::Bytes(clusterBuffer_.data(), clusterBuffer_.size()), &gaps_);
}

void ScanClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host) {
  op.SearchCancelled = 0;
  DirectoryWalker walker(ctx, op, host);
  std::unique_ptr<disk::ProgressSink> progress = host.OpenProgress();
  op.ActiveProgress = progress.get();
  progress->BeginCount("Cluster:", ctx.lastCluster);
  progress->ShowFileLabel();

  if (walker.Usable()) {
    const std::uint32_t bytesPerCluster = static_cast<std::uint32_t>(ctx.bytesPerSector) * ctx.sectorsPerCluster;
    const std::uint32_t maxRun = std::max<std::uint32_t>(1, kRunBytes / bytesPerCluster);
    std::vector<std::uint8_t> run(static_cast<std::size_t>(maxRun) * bytesPerCluster);
    auto qualifies = [&](std::uint64_t c) {
      return op.IncludeUsedClusters == 1 ||
             FatGetEntry(ctx, ctx.fatWork, static_cast<Cluster>(c)) == kFreeCluster;
    };
    std::uint64_t runStart = 0;
    std::uint64_t runEnd = 0;  // clusters [runStart, runEnd) are in `run`
    disk::ReadGaps runGaps;    // sectors of `run` that could not be read
    disk::ReadGaps clusterGaps;
    for (std::uint64_t c = 2; c <= ctx.lastCluster; ++c) {
      if (c >= runEnd && qualifies(c)) {
        // Sectors of the run, in the same 32-bit numbering a cluster read uses.
        const std::uint64_t firstSector = ClusterToSector(ctx, static_cast<Cluster>(c));
        std::uint64_t n = 1;
        while (n < maxRun && c + n <= ctx.lastCluster && qualifies(c + n) &&
               firstSector + (n + 1) * ctx.sectorsPerCluster <= 0x100000000ull) {
          ++n;
        }
        runGaps.clear();
        disk::ReadSectors(ctx, firstSector, static_cast<std::uint32_t>(n * ctx.sectorsPerCluster), run.data(),
                          &runGaps);
        runStart = c;
        runEnd = c + n;
      }
      if (c >= runStart && c < runEnd) {
        const std::size_t at = static_cast<std::size_t>(c - runStart) * bytesPerCluster;
        const disk::ReadGaps* gaps = nullptr;
        if (!runGaps.empty() && runGaps.Overlaps(at, bytesPerCluster)) {
          clusterGaps.clear();
          for (const auto& g : runGaps.ranges()) {
            const std::size_t b = std::max(g.offset, at);
            const std::size_t e = std::min(g.offset + g.length, at + bytesPerCluster);
            if (e > b) clusterGaps.Add(b - at, e - b);
          }
          gaps = &clusterGaps;
        }
        walker.HandleClusterAsDirectory(disk::Bytes(run.data() + at, bytesPerCluster), gaps);
      }
      if (!progress->Advance(c)) break;
      // Once the user has cancelled, the remaining clusters could add
      // nothing; reading them would only keep the user waiting. The same
      // when the device stopped answering.
      if (op.SearchCancelled == 1 || disk::DeviceAbandoned(ctx)) break;
    }
  }

  op.ActiveProgress = nullptr;
  progress.reset();
}

}  // namespace ambrelic::fat
