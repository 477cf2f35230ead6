#include "fat/cluster_scan.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "disk/sector_device.h"
#include "platform/text.h"
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

// The first look of a scan. Without a pending long name, the handler ends
// a short entry whose name bytes cannot spell the filter (or, without a
// usable filter, one the search would drop for its cluster or size) without
// a trace, and a "." entry only resets the count of long-name entries that
// is 0 already. Those entries are passed over; the handler sees the others:
// the end of the directory, long-name entries and the entries that follow
// them, and short entries that may be listed.
bool DirectoryWalker::NeedsHandler(disk::Bytes e) const {
  const std::uint8_t first = disk::le8(e, 0);
  if (first == kEndOfDirectory || IsLongNameEntry(e)) return true;
  if (first == kDotEntry) return false;
  if (quickReject_) return MayMatchFilter(e);
  if (!IsDirectoryEntry(e) && disk::le32(e, kOffSize) == 0) return op_.includeZeroSize != 0;
  return IsValidCluster(ctx_, EntryFirstCluster(e));
}

std::size_t DirectoryWalker::NextEntryToHandle(disk::Bytes cluster, std::size_t from) const {
  const std::size_t entries = cluster.size() / kDirEntrySize;
#if defined(__x86_64__)
  if (wordTest_ && hasAvx512_ && firstLookLimit_ >= FirstLook::Avx512) return NextEntryToHandleAvx512(cluster, from);
#endif
#if defined(__SSE2__)
  if (wordTest_ && firstLookLimit_ >= FirstLook::Sse2) return NextEntryToHandleSse2(cluster, from);
#endif
  for (std::size_t i = from; i < entries; ++i) {
    if (NeedsHandler(cluster.subspan(i * kDirEntrySize, kDirEntrySize))) return i;
  }
  return entries;
}

#if defined(__SSE2__)
std::size_t DirectoryWalker::NextEntryToHandleSse2(disk::Bytes cluster, std::size_t from) const {
  // NeedsHandler with the filter's anchors, from the first 16 bytes of each
  // entry: byte 0 (end, "."), the eleven name bytes and the attribute byte.
  // One test passes over most entries: those holding no first anchor among
  // their name bytes, no 0 in byte 0 and no long-name attribute.
  const __m128i zero = _mm_setzero_si128();
  const __m128i longName = _mm_set1_epi8(static_cast<char>(kAttrLongName));
  __m128i fold[3];
  __m128i anchor[3];
  for (std::size_t k = 0; k < anchorCount_; ++k) {
    fold[k] = _mm_set1_epi8(static_cast<char>(anchorFold_[k] & 0xFF));
    anchor[k] = _mm_set1_epi8(static_cast<char>(anchorByte_[k] & 0xFF));
  }
  const __m128i nameBytes = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0);
  const __m128i firstByte = _mm_setr_epi8(-1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i attrByte = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0);
  constexpr unsigned kNameBits = 0x7FF;  // bytes 0 to 10
  const std::size_t entries = cluster.size() / kDirEntrySize;
  for (std::size_t i = from; i < entries; ++i) {
    const std::size_t at = i * kDirEntrySize;
    // Sixteen bytes inside the entry, which lies inside the span.
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cluster.data() + at));
    const __m128i first = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(v, fold[0]), anchor[0]), nameBytes);
    const __m128i end = _mm_and_si128(_mm_cmpeq_epi8(v, zero), firstByte);
    const __m128i attr = _mm_and_si128(_mm_cmpeq_epi8(v, longName), attrByte);
    if (_mm_movemask_epi8(_mm_or_si128(first, _mm_or_si128(end, attr))) == 0) continue;
    const disk::Bytes e = cluster.subspan(at, kDirEntrySize);
    if (e[0] == kEndOfDirectory || IsLongNameEntry(e)) return i;
    if (e[0] == kDotEntry) continue;
    bool all = true;
    for (std::size_t k = 1; k < anchorCount_ && all; ++k) {
      const __m128i hit = _mm_cmpeq_epi8(_mm_or_si128(v, fold[k]), anchor[k]);
      all = (static_cast<unsigned>(_mm_movemask_epi8(hit)) & kNameBits) != 0;
    }
    // The first anchor may have been absent (the end or attribute bytes
    // brought the entry here).
    const bool firstAnchor = (static_cast<unsigned>(_mm_movemask_epi8(first)) & kNameBits) != 0;
    if (all && firstAnchor) return i;
  }
  return entries;
}
#endif

#if defined(__x86_64__)
[[gnu::target("avx512f,avx512bw")]] std::size_t DirectoryWalker::NextEntryToHandleAvx512(disk::Bytes cluster,
                                                                                     std::size_t from) const {
  // NextEntryToHandleSse2 two entries at a time: 64 bytes hold entries i
  // and i + 1 whole, and their bytes 0-11 are bits 0-11 and 32-43 of each
  // comparison's mask.
  const std::size_t entries = cluster.size() / kDirEntrySize;
  std::size_t i = from;
  if (i % 2 != 0 && i < entries) {
    if (NeedsHandler(cluster.subspan(i * kDirEntrySize, kDirEntrySize))) return i;
    ++i;
  }
  Avx512Look look;
  for (std::size_t k = 0; k < anchorCount_; ++k) {
    look.fold[k] = _mm512_set1_epi8(static_cast<char>(anchorFold_[k] & 0xFF));
    look.anchor[k] = _mm512_set1_epi8(static_cast<char>(anchorByte_[k] & 0xFF));
  }
  look.anchorCount = anchorCount_;
  look.longName = _mm512_set1_epi8(static_cast<char>(kAttrLongName));
  look.dot = _mm512_set1_epi8(static_cast<char>(kDotEntry));
  look.foldFirst = _mm512_loadu_si512(quickFold_.data());
  look.wantFirst = _mm512_loadu_si512(quickWant_.data());
  // The first of the two entries at `at` that needs the handler.
  auto resolve = [&](const __m512i& v, std::size_t at) {
    const std::uint64_t may = LookAvx512(look, v);
    for (std::size_t half = 0; half < 2; ++half) {
      if (((may >> (32 * half)) & kAttrs & 0xFFF) == 0) continue;
      // A long-name attribute still needs its cluster word of 0.
      if (NeedsHandler(cluster.subspan((at + half) * kDirEntrySize, kDirEntrySize))) return at + half;
    }
    return kNoEntry;
  };
  // Four entries per round, in two loads of 64 bytes that lie inside the
  // span; one branch passes over all four in the common case.
  for (; i + 4 <= entries; i += 4) {
    const __m512i v0 = _mm512_loadu_si512(cluster.data() + i * kDirEntrySize);
    const __m512i v1 = _mm512_loadu_si512(cluster.data() + (i + 2) * kDirEntrySize);
    const std::uint64_t quick0 = QuickLookAvx512(look, v0);
    const std::uint64_t quick1 = QuickLookAvx512(look, v1);
    if ((quick0 | quick1) == 0) continue;
    if (quick0 != 0) {
      if (const std::size_t at = resolve(v0, i); at != kNoEntry) return at;
    }
    if (quick1 != 0) {
      if (const std::size_t at = resolve(v1, i + 2); at != kNoEntry) return at;
    }
  }
  for (; i + 2 <= entries; i += 2) {
    const __m512i v = _mm512_loadu_si512(cluster.data() + i * kDirEntrySize);
    if (QuickLookAvx512(look, v) == 0) continue;
    if (const std::size_t at = resolve(v, i); at != kNoEntry) return at;
  }
  if (i < entries && NeedsHandler(cluster.subspan(i * kDirEntrySize, kDirEntrySize))) return i;
  return entries;
}
#endif

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
  bool judged = false;
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
    // The cluster is judged once, when it first offers an entry: most of
    // a volume's clusters never do.
    if (!judged) {
      judged = true;
      if (!ReadsAsFolder(whole)) return;
    }
    if (!PlausibleEntry(ctx_, e)) {
      longNameCount = 0;
      continue;
    }
    HandleEntry(e, longNameCount, &scanFolder_, none, 1);
  }
}

bool DirectoryWalker::ReadsAsFolder(disk::Bytes cluster) const {
  // File data read as entries gives mostly entries no file system writes
  // (attribute bits, names, clusters, sizes and dates out of reach); a
  // folder's cluster gives such entries only where it was damaged.
  const EntryTally tally = TallyEntries(ctx_, cluster);
  return tally.plausible > 0 && tally.implausible <= tally.plausible;
}

namespace {

bool HasForbiddenNameChar(std::string_view name) {
  return name.find_first_of("\\/:*?<>|") != std::string_view::npos;
}
bool IsNavigationName(std::string_view name) { return name.empty() || name == "." || name == ".."; }

// The cluster starts a folder: its first entry is "." naming the cluster
// itself, its second "..". parent: the first cluster ".." names.
bool StartsFolder(disk::Bytes cluster, Cluster c, Cluster& parent) {
  if (cluster.size() < 2 * kDirEntrySize) return false;
  const disk::Bytes dot = cluster.first(kDirEntrySize);
  const disk::Bytes dotDot = cluster.subspan(kDirEntrySize, kDirEntrySize);
  static constexpr std::uint8_t kDot[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  static constexpr std::uint8_t kDotDot[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  if (!std::equal(kDot, kDot + 11, dot.begin()) || !std::equal(kDotDot, kDotDot + 11, dotDot.begin())) return false;
  if (!IsDirectoryEntry(dot) || !IsDirectoryEntry(dotDot) || EntryFirstCluster(dot) != c) return false;
  parent = EntryFirstCluster(dotDot);
  return true;
}

}  // namespace

std::string DirectoryWalker::NameInFolder(Cluster parent, Cluster child) {
  // The folder's first cluster (or, for the root, the root's first cluster
  // or sectors): where a folder's entry usually lies, since entries are
  // added in order and a subfolder is made early.
  std::vector<std::uint8_t> bytes;
  if (parent == 0 || parent == ctx_.rootCluster) {
    if (ctx_.rootCluster == 0) {
      const std::uint32_t sectors = static_cast<std::uint32_t>(
          (static_cast<std::uint64_t>(ctx_.rootEntryCount) * kDirEntrySize + ctx_.bytesPerSector - 1) /
          ctx_.bytesPerSector);
      bytes.resize(static_cast<std::size_t>(sectors) * ctx_.bytesPerSector);
      disk::ReadSectors(ctx_, ctx_.rootDirSector, sectors, bytes.data());
    } else {
      // The live root's chain, up to a folder's largest size.
      std::vector<std::uint8_t> one(bytesPerCluster_);
      Cluster c = ctx_.rootCluster;
      for (std::size_t n = 0; IsValidCluster(ctx_, c) && n < 65536u * kDirEntrySize / bytesPerCluster_; ++n) {
        ReadCluster(ctx_, c, one.data());
        bytes.insert(bytes.end(), one.begin(), one.end());
        const FatEntry next = FatGetEntry(ctx_, ctx_.fatCopy, c);
        if (next <= 0) break;
        c = static_cast<Cluster>(next);
      }
    }
  } else {
    if (!IsValidCluster(ctx_, parent)) return {};
    bytes.resize(bytesPerCluster_);
    ReadCluster(ctx_, parent, bytes.data());
    Cluster grand = 0;
    if (!StartsFolder(bytes, parent, grand)) return {};
  }
  int longNameCount = 0;
  const disk::Bytes all(bytes.data(), bytes.size());
  for (std::size_t i = 0; i + kDirEntrySize <= all.size(); i += kDirEntrySize) {
    const disk::Bytes e = all.subspan(i, kDirEntrySize);
    if (e[0] == kEndOfDirectory) break;
    if (!PlausibleEntry(ctx_, e)) {
      longNameCount = 0;
      continue;
    }
    if (IsLongNameEntry(e)) {
      StoreLongNameEntry(e, longNameCount);
      continue;
    }
    if (e[0] != kDotEntry && IsDirectoryEntry(e) && EntryFirstCluster(e) == child) {
      if (longNameCount > 0) RebuildName(e, longNameCount);
      else BuildShortNameInto(e);
      std::string name = Name();
      if (IsNavigationName(name) || HasForbiddenNameChar(name)) return {};
      return name;
    }
    longNameCount = 0;
  }
  return {};
}

const std::string& DirectoryWalker::ScanFolderPath(Cluster c, int depth) {
  if (const auto known = scanPaths_.find(c); known != scanPaths_.end()) return known->second;
  // Taken as unknown while it is worked out: a damaged volume whose folders
  // name each other in a loop ends there.
  scanPaths_[c] = scanFolder_;
  std::vector<std::uint8_t> bytes(bytesPerCluster_);
  Cluster parent = 0;
  std::string path = scanFolder_;
  if (depth < 64 && IsValidCluster(ctx_, c) && ReadCluster(ctx_, c, bytes.data()) &&
      StartsFolder(bytes, c, parent) && parent != c) {
    const std::string name = NameInFolder(parent, c);
    const std::string parentPath =
        parent == 0 || parent == ctx_.rootCluster ? std::string() : ScanFolderPath(parent, depth + 1);
    const bool parentRoot = parent == 0 || parent == ctx_.rootCluster;
    if (!name.empty()) {
      // Under its parent as far as that could be linked; a root folder is
      // named only when the root still lists it.
      path = parentRoot ? ctx_.SearchedRoot + name : parentPath + "\\" + name;
    } else if (!parentRoot && parentPath != scanFolder_) {
      // Its entry is gone, its parent is known: it is a folder in there.
      path = parentPath + "\\<unknown>";
    }
  }
  if (platform::Utf16Units(path) > 518) path = scanFolder_;
  return scanPaths_[c] = path;
}

void DirectoryWalker::LinkScanRows() {
  for (auto& [cluster, row] : scanRows_) {
    if (cluster != 0) row.folder = ScanFolderPath(cluster, 0);
    host_.AddRow(std::move(row));
  }
  scanRows_.clear();
}

void DirectoryWalker::ScanClusterAsDirectory(Cluster c) {
  // The plain form: the handler over every entry, cancel read per entry;
  // entries in sectors that could not be read are passed over.
  ReadDirectoryCluster(c);
  SubdirList none;
  int longNameCount = 0;
  const disk::Bytes cluster(clusterBuffer_.data(), clusterBuffer_.size());
  Cluster parent = 0;
  scanCluster_ = StartsFolder(cluster, c, parent) ? c : 0;
  if (!ReadsAsFolder(cluster)) return;
  for (std::size_t i = 0; i < entriesPerCluster_; ++i) {
    if (!gaps_.empty() && gaps_.Overlaps(i * kDirEntrySize, kDirEntrySize)) {
      longNameCount = 0;
      continue;
    }
    const disk::Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
    if (e[0] == kEndOfDirectory) break;
    if (!PlausibleEntry(ctx_, e)) {
      longNameCount = 0;
      continue;
    }
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
  walker.BeginLinkedScan();
  std::unique_ptr<disk::ProgressSink> progress = host.OpenProgress();
  op.ActiveProgress = progress.get();
  progress->BeginCount("Cluster:", ctx.lastCluster);
  progress->ShowFileLabel();

  if (walker.Usable()) {
    const std::uint32_t bytesPerCluster = static_cast<std::uint32_t>(ctx.bytesPerSector) * ctx.sectorsPerCluster;
    // Never more than the volume has.
    const std::uint32_t maxRun = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::max<std::uint32_t>(1, kRunBytes / bytesPerCluster), std::max<std::uint64_t>(1, ctx.lastCluster - 1)));
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
        const disk::Bytes bytes(run.data() + at, bytesPerCluster);
        Cluster parent = 0;
        walker.SetScanCluster(StartsFolder(bytes, static_cast<Cluster>(c), parent) ? static_cast<Cluster>(c) : 0);
        walker.HandleClusterAsDirectory(bytes, gaps);
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

  // Rows found up to a cancel are kept, as before; each under the folder it
  // could be linked to.
  walker.LinkScanRows();
  op.ActiveProgress = nullptr;
  progress.reset();
}

}  // namespace ambrelic::fat
