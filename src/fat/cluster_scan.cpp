#include "fat/cluster_scan.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "disk/sector_device.h"
#include "fat/directory_walk.h"

namespace ambrelic::fat {

namespace {

// Consecutive qualifying clusters are read together, up to this many bytes,
// instead of one small read per cluster; each is then handled on its own
// exactly as if it had been read alone.
constexpr std::uint32_t kRunBytes = 1u << 20;

#if defined(__x86_64__)
constexpr std::size_t kNoEntry = ~std::size_t{0};
// Bits of a comparison over 64 bytes (two entries): bytes 0-10 (the name),
// byte 0 and byte 11 (the attribute) of each entry.
constexpr std::uint64_t kNames = 0x000007FF000007FFull;
constexpr std::uint64_t kFirsts = 0x0000000100000001ull;
constexpr std::uint64_t kAttrs = 0x0000080000000800ull;

// What the look at two entries compares with.
struct Avx512Look {
  __m512i fold[3];
  __m512i anchor[3];
  std::size_t anchorCount;
  __m512i longName;
  __m512i dot;
  // Per byte: the first anchor's fold and byte at the name bytes, nothing
  // and the long-name attribute at byte 11, so that one comparison looks
  // for both.
  __m512i foldFirst;
  __m512i wantFirst;
};

// Non-zero when one of the two entries in the 64 bytes v holds the first
// anchor among its name bytes, a 0 in byte 0 or the long-name attribute:
// only those can need the handler.
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline std::uint64_t QuickLookAvx512(const Avx512Look& l,
                                                                                            const __m512i& v) {
  return _mm512_mask_cmpeq_epi8_mask(kNames | kAttrs, _mm512_or_si512(v, l.foldFirst), l.wantFirst) |
         _mm512_mask_testn_epi8_mask(kFirsts, v, v);
}

// Of the two entries in the 64 bytes v, those that need the handler, as bit
// 11 (the first) and bit 43 (the second): the end of the directory, a
// long-name attribute, or a name holding every anchor that is no "." entry.
[[gnu::target("avx512f,avx512bw")]] std::uint64_t LookAvx512(const Avx512Look& l, const __m512i& v) {
  // Bit 11 (43) of a sum is set when the entry had a hit among bytes 0-10:
  // the eleven mask bits carry into it.
  std::uint64_t all = kAttrs;
  for (std::size_t k = 0; k < l.anchorCount; ++k) {
    const std::uint64_t hit = _mm512_mask_cmpeq_epi8_mask(kNames, _mm512_or_si512(v, l.fold[k]), l.anchor[k]);
    all &= hit + kNames;
  }
  const std::uint64_t ends = _mm512_mask_testn_epi8_mask(kFirsts, v, v);
  const std::uint64_t attrs = _mm512_mask_cmpeq_epi8_mask(kAttrs, v, l.longName);
  const std::uint64_t dots = _mm512_mask_cmpeq_epi8_mask(kFirsts, v, l.dot);
  return (ends << 11) | attrs | (all & ~(dots << 11));
}
#endif

}  // namespace

void DirectoryWalker::HandleClusterAsDirectory(disk::Bytes cluster, const disk::ReadGaps* gaps) {
  // The cancel request is read once per cluster (by the scan's Advance);
  // once cancelled, the rest would add nothing.
  if (op_.OperationMode == disk::OpSearch && op_.SearchCancelled == 1) return;
  const std::size_t entries = std::min<std::size_t>(entriesPerCluster_, cluster.size() / kDirEntrySize);
  const disk::Bytes whole = cluster.first(entries * kDirEntrySize);
  if (gaps && gaps->empty()) gaps = nullptr;
  // Most clusters of a volume hold file data, zeros or entries that cannot
  // be listed: a first look at their first bytes passes over those entries
  // at a fraction of the handler's cost. It applies to the search's scans
  // (the handler's other modes act on every entry), over clusters read
  // whole (one with unreadable sectors goes entry by entry).
  const bool firstLook = op_.OperationMode == disk::OpSearch && op_.ClusterScanActive != 0 && !gaps;
  SubdirList none;
  int longNameCount = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    if (firstLook && longNameCount == 0) {
      i = NextEntryToHandle(whole, i);
      if (i >= entries) break;
    }
    if (gaps && gaps->Overlaps(i * kDirEntrySize, kDirEntrySize)) {
      // A sector that could not be read: no entries, and not the end.
      longNameCount = 0;
      continue;
    }
    const disk::Bytes e = whole.subspan(i * kDirEntrySize, kDirEntrySize);
    if (e[0] == kEndOfDirectory) break;
    HandleEntry(e, longNameCount, &scanFolder_, none, 1);
  }
}

void DirectoryWalker::ScanClusterAsDirectory(Cluster c) {
  // The plain form: the handler over every entry, cancel read per entry;
  // entries in sectors that could not be read are passed over.
  ReadDirectoryCluster(c);
  SubdirList none;
  int longNameCount = 0;
  const disk::Bytes cluster(clusterBuffer_.data(), clusterBuffer_.size());
  for (std::size_t i = 0; i < entriesPerCluster_; ++i) {
    if (!gaps_.empty() && gaps_.Overlaps(i * kDirEntrySize, kDirEntrySize)) {
      longNameCount = 0;
      continue;
    }
    const disk::Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
    if (e[0] == kEndOfDirectory) break;
    HandleDirEntry(e, longNameCount, &scanFolder_, none, 1);
  }
}

void ScanClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host) {
  ScanClusters(ctx, op, host, DirectoryWalker::FirstLook::Avx512);
}

void ScanClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                  DirectoryWalker::FirstLook widest) {
  op.SearchCancelled = 0;
  DirectoryWalker walker(ctx, op, host);
  walker.LimitFirstLook(widest);
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
      // The cancel request is read here, once per cluster: the scan's
      // entries are handled without looking at it. Once the user has
      // cancelled, the remaining clusters could add nothing; reading them
      // would only keep the user waiting. The same when the device stopped
      // answering.
      if (!progress->Advance(c)) {
        op.SearchCancelled = 1;
        break;
      }
      if (op.SearchCancelled == 1 || disk::DeviceAbandoned(ctx)) break;
    }
  }

  op.ActiveProgress = nullptr;
  progress.reset();
}

}  // namespace ambrelic::fat
