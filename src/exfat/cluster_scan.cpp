// The cluster scan: clusters that no folder reaches any more, read as
// directories, so that the entry sets of deleted folders whose parent is
// gone are found too.
#include <algorithm>
#include <ctime>
#include <memory>
#include <vector>

#include "exfat/directory_walk.h"
#include "exfat/entry_set.h"

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
  const ExfatVolume& v = VolumeOf(ctx);
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
    // Sets cut at the end of a cluster whose folder goes on elsewhere (not
    // in the next cluster), and the clusters that begin with secondary
    // entries: where the rest of such a set may lie.
    struct CutSet {
      Cluster cluster;
      std::vector<std::uint8_t> head;  // the set's entries in its first cluster
      std::size_t count;               // entries of the whole set
    };
    std::vector<CutSet> cuts;
    std::vector<Cluster> continuations;
    // Notes the cluster at entry `first` of entries: a start of secondary
    // entries, or a set cut at its end.
    auto NoteCut = [&](disk::Bytes entries, std::uint64_t first, Cluster c) {
      const disk::Bytes one = disk::ByteReader(entries).slice(static_cast<std::size_t>(first) * kEntrySize, bpc);
      const std::uint8_t head = disk::le8(one, 0);
      if ((head & kSecondaryBit) != 0 && (LiveType(head) == kTypeStream || LiveType(head) == kTypeName)) {
        continuations.push_back(c);
      }
      // The last file entry whose set runs past this cluster.
      for (std::size_t i = entriesPerCluster; i-- > 0;) {
        const disk::Bytes e = disk::ByteReader(one).slice(i * kEntrySize, kEntrySize);
        if (LiveType(disk::le8(e, 0)) != kTypeFile) continue;
        const std::size_t count = 1 + static_cast<std::size_t>(disk::le8(e, 1));
        if (count < 3 || i + count <= entriesPerCluster) break;
        // Read whole from the clusters after it already, when they hold it.
        const std::size_t at = static_cast<std::size_t>(first) + i;
        if (at + count <= entries.size() / kEntrySize &&
            SetChecksum(entries, at, count) == disk::le16(e, 2)) {
          break;
        }
        cuts.push_back({c, std::vector<std::uint8_t>(e.begin(), one.end()), count});
        break;
      }
    };
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
        NoteCut(entries, first, static_cast<Cluster>(c));
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
    // Each cluster a folder walk read: a set cut at its end was read only as
    // far as the walk's clusters went. That is the last cluster of a run, or
    // any other: a deleted folder whose chain is gone is read as contiguous
    // clusters, and the one after may hold another file's data while the
    // folder went on elsewhere.
    {
      std::vector<Cluster> walked(v.walked.begin(), v.walked.end());
      std::sort(walked.begin(), walked.end());
      // With the cluster after it, which the walk read too for such a set:
      // a set the two hold whole is no cut.
      std::vector<std::uint8_t> two(2 * static_cast<std::size_t>(bpc));
      for (std::size_t k = 0; k < walked.size() && op.SearchCancelled != 1; ++k) {
        const std::uint32_t count = IsValidCluster(v, walked[k] + 1ull) ? 2 : 1;
        ReadClusters(ctx, walked[k], count, two.data());
        NoteCut(disk::Bytes(two.data(), static_cast<std::size_t>(count) * bpc), 0, walked[k]);
      }
      std::sort(continuations.begin(), continuations.end());
    }
    // A set cut at the end of a cluster goes on at the start of a later
    // cluster of its folder: the one, within a bounded distance, whose
    // first entries complete it with the checksum its file entry records.
    // Each such start completes one set at most.
    constexpr std::uint64_t kSearchBytes = 64ull << 20;
    const std::uint64_t bound = std::max<std::uint64_t>(1, kSearchBytes / bpc);
    std::vector<std::uint8_t> joined;
    std::vector<std::uint8_t> candidate(bpc);
    std::vector<bool> used(continuations.size(), false);
    for (const CutSet& cut : cuts) {
      if (op.SearchCancelled == 1) break;
      const std::size_t have = cut.head.size() / kEntrySize;
      const std::size_t missing = cut.count - have;
      if (missing * kEntrySize > bpc) continue;
      // Ahead first, where a growing folder usually takes its next cluster,
      // then behind (a cluster freed earlier and taken again).
      const auto split = static_cast<std::size_t>(
          std::upper_bound(continuations.begin(), continuations.end(), cut.cluster) - continuations.begin());
      std::vector<std::size_t> order;
      for (std::size_t k = split; k < continuations.size() && continuations[k] - cut.cluster <= bound; ++k) {
        order.push_back(k);
      }
      for (std::size_t k = split; k-- > 0 && cut.cluster - continuations[k] <= bound;) {
        if (continuations[k] != cut.cluster) order.push_back(k);
      }
      for (const std::size_t k : order) {
        if (used[k] || v.walked.count(continuations[k])) continue;
        ReadClusters(ctx, continuations[k], 1, candidate.data());
        joined.assign(cut.head.begin(), cut.head.end());
        joined.insert(joined.end(), candidate.begin(), candidate.begin() + static_cast<std::ptrdiff_t>(missing * kEntrySize));
        const disk::Bytes set(joined.data(), joined.size());
        if (SetChecksum(set, 0, cut.count) != disk::le16(set, 2)) continue;
        used[k] = true;
        walker.HandleEntries(set, 0, 1, walker.ScanFolder(), true, nullptr);
        break;
      }
    }
  }
  op.ActiveProgress = nullptr;
}

}  // namespace ambrelic::exfat
