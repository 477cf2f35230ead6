// The cluster scan: clusters that no folder reaches any more, read as
// directories, so that the entry sets of deleted folders whose parent is
// gone are found too.
#include <algorithm>
#include <ctime>
#include <memory>
#include <vector>

#include "exfat/directory_walk.h"

namespace ambrelic::exfat {
namespace {

// Consecutive qualifying clusters are read together, up to this many bytes;
// a set that begins in one of them may run on into the next, as it would in
// a folder stored contiguously.
constexpr std::uint64_t kRunBytes = 1u << 20;

}  // namespace

void ScanExfatClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host) {
  tzset();
  op.SearchCancelled = 0;
  DirectoryWalker walker(ctx, op, host);
  std::unique_ptr<disk::ProgressSink> progress = host.OpenProgress();
  op.ActiveProgress = progress.get();
  const disk::ExfatVolume& v = ctx.exfat;
  progress->BeginCount("Cluster:", v.lastCluster);
  progress->ShowFileLabel();

  if (walker.Usable()) {
    const std::uint32_t bpc = v.bytesPerCluster;
    const std::uint64_t entriesPerCluster = bpc / kEntrySize;
    // Never more than the volume has.
    const std::uint64_t maxRun =
        std::min<std::uint64_t>(std::max<std::uint64_t>(1, kRunBytes / bpc), v.lastCluster - 1ull);
    std::vector<std::uint8_t> run(static_cast<std::size_t>(maxRun) * bpc);
    auto qualifies = [&](std::uint64_t c) {
      const auto cluster = static_cast<Cluster>(c);
      return op.IncludeUsedClusters == 1 || (!BitmapInUse(v.bitmap, cluster) && !v.walked.count(cluster));
    };
    std::vector<PendingDirectory> found;
    std::uint64_t runStart = 0;
    std::uint64_t runEnd = 0;  // clusters [runStart, runEnd) are in `run`
    for (std::uint64_t c = kFirstCluster; c <= v.lastCluster; ++c) {
      if (c >= runEnd && qualifies(c)) {
        std::uint64_t n = 1;
        while (n < maxRun && c + n <= v.lastCluster && qualifies(c + n)) ++n;
        ReadClusters(ctx, static_cast<Cluster>(c), static_cast<std::uint32_t>(n), run.data());
        runStart = c;
        runEnd = c + n;
      }
      // A cluster walked since the run was read belongs to a folder found
      // on the way, whose entries were listed under its path.
      if (c >= runStart && c < runEnd && !v.walked.count(static_cast<Cluster>(c))) {
        const disk::Bytes entries(run.data(), static_cast<std::size_t>((runEnd - runStart) * bpc));
        const std::uint64_t first = (c - runStart) * entriesPerCluster;
        found.clear();
        walker.HandleEntries(entries, first, first + entriesPerCluster, walker.ScanFolder(), true, &found);
        // A deleted folder met here is walked as the search walks one, over
        // the clusters the scan has not passed yet: its files are listed
        // under "<unknown>\folder" rather than loose.
        walker.SkipClustersBelow(static_cast<Cluster>(c + 1));
        for (PendingDirectory& folder : found) walker.WalkTree(std::move(folder));
      }
      if (!progress->Advance(c)) break;
      // Once the user has cancelled, the remaining clusters could add nothing.
      if (op.SearchCancelled == 1) break;
    }
  }
  op.ActiveProgress = nullptr;
}

}  // namespace ambrelic::exfat
