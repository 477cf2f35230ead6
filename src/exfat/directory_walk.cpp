#include "exfat/directory_walk.h"

#include <algorithm>
#include <ctime>
#include <memory>
#include <span>
#include <string_view>

#include "disk/open_folders.h"
#include "platform/files.h"
#include "platform/text.h"

namespace ambrelic::exfat {

using disk::OpReplaceInfo;
using disk::OpRestore;
using disk::OpSearch;

namespace {

// The search lists folders whose paths stay within what Linux can name
// (PATH_MAX); the bound also keeps a hostile volume's nesting from growing
// the walk's pending paths without end.
constexpr std::size_t kMaxListedPath = 4096;

// A name of exFAT holds none of these (nor a U+0000); one that does is damaged.
bool HasForbiddenNameChar(std::string_view name) {
  return name.find_first_of(std::string_view("\\/:*?<>|\0", 9)) != std::string_view::npos;
}
bool IsNavigationName(std::string_view name) { return name.empty() || name == "." || name == ".."; }

// A name that can stand as one component of a path without leading it
// somewhere else.
bool IsPlainName(std::string_view name) { return !IsNavigationName(name) && !HasForbiddenNameChar(name); }

void UpperInto(std::string_view text, std::string& out) {
  for (unsigned char ch : text) {
    if (ch >= 0x80) {
      out = platform::UpperCase(text);
      return;
    }
  }
  out.assign(text);
  for (char& ch : out) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  }
}

disk::ExfatStream StreamOf(const EntrySet& set) {
  disk::ExfatStream s;
  s.firstCluster = set.firstCluster;
  s.validDataLength = set.validDataLength;
  s.dataLength = set.dataLength;
  s.noFatChain = set.NoFatChain();
  s.isFolder = set.IsFolder();
  return s;
}

}  // namespace

std::string SetName(const EntrySet& set) {
  bool ascii = true;
  for (std::size_t i = 0; i < set.nameUnits && ascii; ++i) {
    ascii = set.name[2 * i + 1] == 0 && set.name[2 * i] < 0x80 && set.name[2 * i] != 0;
  }
  if (!ascii) return platform::Utf16ToLocale(std::span<const std::uint8_t>(set.name.data(), set.nameUnits * 2));
  std::string out(set.nameUnits, '\0');
  for (std::size_t i = 0; i < set.nameUnits; ++i) out[i] = static_cast<char>(set.name[2 * i]);
  return out;
}

DirectoryWalker::DirectoryWalker(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                                 const WalkHooks& hooks)
    : ctx_(ctx), op_(op), host_(host), hooks_(hooks) {
  usable_ = ctx.fsKind == disk::FsKind::Exfat && VolumeOf(ctx).bytesPerCluster >= kEntrySize &&
            VolumeOf(ctx).lastCluster >= kFirstCluster;
  scanFolder_ = ctx.SearchedRoot + "<unknown>";
}

bool DirectoryWalker::CancelledNow() {
  if (op_.SearchCancelled == 1) return true;
  if (op_.ActiveProgress && op_.ActiveProgress->TakeCancelRequest()) {
    op_.SearchCancelled = 1;
    return true;
  }
  return false;
}

bool DirectoryWalker::HandleEntries(disk::Bytes entries, std::size_t from, std::size_t to, const std::string& path,
                                    bool deletedDir, std::vector<PendingDirectory>* subdirs, std::uint64_t folder) {
  listingFolder_ = folder;
  const std::size_t count = entries.size() / kEntrySize;
  to = std::min(to, count);
  EntrySet set;
  for (std::size_t i = from; i < to;) {
    const std::uint8_t type = disk::le8(entries, i * kEntrySize);
    if (type == kEndOfDirectory) return false;
    // Only a file entry begins a set; anything else (the bitmap, up-case
    // and label entries, secondaries left over from an older set) is passed.
    if (LiveType(type) != kTypeFile || !ReadEntrySet(entries, i, VolumeOf(ctx_).upcase, set)) {
      ++i;
      continue;
    }
    i += set.entryCount;
    if (op_.OperationMode == OpSearch && CancelledNow()) return false;
    HandleSet(set, path, deletedDir, subdirs);
  }
  return true;
}

void DirectoryWalker::HandleSet(const EntrySet& set, const std::string& path, bool deletedDir,
                                std::vector<PendingDirectory>* subdirs) {
  const bool isFolder = set.IsFolder();
  const bool candidate = !set.inUse || deletedDir;
  // A live file in a live folder is neither walked nor listed.
  if (!candidate && !isFolder) return;
  name_ = SetName(set);
  const bool plain = IsPlainName(name_);
  const bool restoring = op_.OperationMode == OpRestore;
  const bool atRoot = path.empty();

  bool enter = false;
  if (isFolder && subdirs && plain && (!candidate || set.Listable())) {
    enter = true;
    const std::size_t childLength = atRoot ? ctx_.SearchedRoot.size() + name_.size() : path.size() + 1 + name_.size();
    if (!restoring && childLength > kMaxListedPath) enter = false;
    if (candidate) {
      // A deleted folder is entered only while its first cluster is free
      // (not reused since) and no other part of this walk read it.
      const Cluster c = set.firstCluster;
      if (!IsClusterFree(VolumeOf(ctx_), c) || VolumeOf(ctx_).walked.count(c)) enter = false;
    } else if (!IsValidCluster(VolumeOf(ctx_), set.firstCluster)) {
      enter = false;
    }
  }

  std::string made;
  // A folder restore makes every subfolder, matching the name or not: the
  // matching files inside need it.
  if (candidate && set.Listable() && plain) {
    bool matches = true;
    if (!op_.nameFilter.empty() && !(restoring && isFolder)) {
      UpperInto(name_, upperName_);
      matches = MatchesFilter();
    }
    if (matches) made = ActOnCandidate(set, path, isFolder);
  }

  if (!enter) return;
  PendingDirectory child;
  child.stream = StreamOf(set);
  child.deleted = candidate;
  if (restoring) {
    // Entered where the restore made it. A folder lies below its parent, so
    // each level adds to the path, and the kernel's path limit bounds the
    // depth.
    if (made.size() <= path.size() || made.size() > platform::kMaxPathBytes) return;
    child.path = std::move(made);
  } else {
    child.path = atRoot ? ctx_.SearchedRoot + name_ : path + '\\' + name_;
  }
  subdirs->push_back(std::move(child));
}

bool DirectoryWalker::MatchesFilter() { return upperName_.find(op_.nameFilter) != std::string::npos; }

std::string DirectoryWalker::ActOnCandidate(const EntrySet& set, const std::string& path, bool isFolder) {
  const std::string& folder = path.empty() ? ctx_.SearchedRoot : path;
  switch (op_.OperationMode) {
    case OpRestore: {
      if (!hooks_.restoreEntry) return {};
      RestoreCandidate candidate;
      candidate.parentPath = folder;
      candidate.name = name_;
      candidate.isFolder = isFolder;
      candidate.stream = StreamOf(set);
      candidate.modified = StampTime(set.modified, set.modified10ms, set.modifiedUtcOffset);
      return hooks_.restoreEntry(candidate);
    }
    case OpReplaceInfo:
      return {};
    default:
      break;
  }
  // The search filter: an empty file only with include zero (and then
  // whatever its cluster field holds); anything else needs a valid first
  // cluster, free unless include used is on.
  if (!isFolder && set.dataLength == 0) {
    if (op_.includeZeroSize == 0) return {};
  } else {
    if (!IsValidCluster(VolumeOf(ctx_), set.firstCluster)) return {};
    if (op_.listFilesOnUsedClusters == 0 && BitmapInUse(VolumeOf(ctx_).bitmap, set.firstCluster)) return {};
  }
  const disk::ExfatStream stream = StreamOf(set);
  disk::FoundRow row;
  row.name = name_;
  row.folder = folder;
  // The size shown is the data length: the file's size as its owner knew
  // it, and what the restore writes (zeros past the valid data length).
  if (!isFolder) row.size = std::to_string(set.dataLength);
  row.modified = FormatModified(set.modified, set.modified10ms, set.modifiedUtcOffset);
  row.number = std::to_string(set.firstCluster);
  row.isFolder = isFolder;
  row.facts.size = isFolder ? 0 : set.dataLength;
  row.facts.number = set.firstCluster;
  row.facts.parent = listingFolder_;
  row.facts.condition = ExfatRowCondition(ctx_, stream);
  // Where the restore finds the row's data: the texts do not say it.
  row.facts.dataLength = stream.dataLength;
  row.facts.validLength = stream.validDataLength;
  row.facts.noFatChain = stream.noFatChain;
  FillSetTimes(set, row.facts);
  host_.AddRow(std::move(row));
  return {};
}

std::vector<Cluster> DirectoryWalker::ClustersOf(const PendingDirectory& d) {
  if (d.isRoot) return LiveDirectoryClusters(ctx_, VolumeOf(ctx_).rootCluster, 0, false);
  if (!d.deleted) return LiveDirectoryClusters(ctx_, d.stream.firstCluster, d.stream.dataLength, d.stream.noFatChain);
  std::vector<Cluster> clusters =
      d.goesOnAt != 0 ? std::vector<Cluster>{d.goesOnAt}
                      : DeletedDirectoryClusters(ctx_, d.stream.firstCluster, d.stream.dataLength,
                                                 d.stream.noFatChain, d.onlyFree, skipBelow_);
  bool open = FollowCutSets(clusters);
  if (op_.OperationMode == OpRestore) {
    // The links past other folders' data are the search's, which saw every
    // folder.
    while (open) {
      const auto& links = LinksOfWholeVolume();
      const auto link = links.find(clusters.back());
      if (link == links.end() || !IsClusterFree(VolumeOf(ctx_), link->second) ||
          VolumeOf(ctx_).walked.count(link->second) ||
          std::find(clusters.begin(), clusters.end(), link->second) != clusters.end()) {
        break;
      }
      clusters.push_back(link->second);
      open = FollowCutSets(clusters);
    }
  } else if (open && !clusters.empty()) {
    openFolders_.push_back({d, clusters.back()});
  }
  // Marked, so that neither this walk nor the vacant-cluster scan after it
  // reads them again.
  for (Cluster c : clusters) VolumeOf(ctx_).walked.insert(c);
  return clusters;
}

bool DirectoryWalker::FollowCutSets(std::vector<Cluster>& clusters) {
  const ExfatVolume& v = VolumeOf(ctx_);
  const std::uint32_t bpc = v.bytesPerCluster;
  const std::size_t perCluster = bpc / kEntrySize;
  // A writer that deletes a folder's files may first shrink the folder to
  // its first cluster and clear its chain, and a quick format clears every
  // chain: the recorded length and the chain then tell nothing of where
  // the folder's clusters lie, apart when other folders grew in between
  // (the clusters taken as contiguous are a guess). A set cut by the end of
  // a cluster is the link: 32 bits of checksum and name hash, looked for
  // over a bounded stretch ahead, clusters of a bounded count at a time.
  constexpr std::uint64_t kLookAheadBytes = 64ull << 20;
  constexpr std::uint64_t kMaxFolderBytes = 256ull << 20;
  const std::uint64_t bound = std::max<std::uint64_t>(1, kLookAheadBytes / bpc);
  const std::size_t maxClusters = static_cast<std::size_t>(std::max<std::uint64_t>(1, kMaxFolderBytes / bpc));
  const std::uint32_t batch = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, (1u << 20) / bpc));
  std::vector<std::uint8_t> last(bpc);
  std::vector<std::uint8_t> ahead(static_cast<std::size_t>(batch) * bpc);
  std::vector<std::uint8_t> joined;
  EntrySet set;
  // Whether `start` holds the rest of the set whose head is in `joined`.
  auto Completes = [&](const std::uint8_t* start, std::size_t headBytes, std::size_t rest, std::size_t count) {
    if ((start[0] & kSecondaryBit) == 0 || LiveType(start[0]) < kTypeStream) return false;
    joined.resize(headBytes);
    joined.insert(joined.end(), start, start + rest * kEntrySize);
    return ReadEntrySet(disk::Bytes(joined), 0, v.upcase, set) && set.entryCount == count && set.checksumOk &&
           set.nameHashOk;
  };
  for (std::size_t at = 0; at < clusters.size() && at < maxClusters; ++at) {
    if (!ReadClusters(ctx_, clusters[at], 1, last.data())) return false;
    const bool isLast = at + 1 == clusters.size();
    const disk::Bytes one(last);
    // The last file entry, and whether its set runs past the cluster's end;
    // an end-of-directory entry ends the folder here.
    std::size_t head = perCluster;
    std::size_t count = 0;
    for (std::size_t i = 0; i < perCluster; ++i) {
      const std::uint8_t type = disk::le8(one, i * kEntrySize);
      if (type == kEndOfDirectory) return false;
      if (LiveType(type) != kTypeFile) continue;
      count = 1 + static_cast<std::size_t>(disk::le8(one, i * kEntrySize + 1));
      head = i;
    }
    if (head != perCluster && count >= 3 && head + count == perCluster) {
      if (!isLast) continue;
      EntrySet whole;
      return ReadEntrySet(one, head, v.upcase, whole) && whole.Listable();
    }
    const bool cut = head != perCluster && count >= 3 && head + count > perCluster &&
                     head + count - perCluster <= perCluster;
    if (!cut) {
      if (isLast) return false;
      continue;
    }
    const std::size_t rest = head + count - perCluster;
    joined.assign(last.begin() + static_cast<std::ptrdiff_t>(head * kEntrySize), last.end());
    const std::size_t headBytes = joined.size();
    if (!isLast) {
      // The chain, or the next cluster that holds the rest, is the folder's
      // next cluster.
      if (FatEntry(ctx_, clusters[at]) == clusters[at + 1]) continue;
      std::vector<std::uint8_t> next(bpc);
      if (ReadClusters(ctx_, clusters[at + 1], 1, next.data()) && Completes(next.data(), headBytes, rest, count)) {
        continue;
      }
    }
    Cluster found = 0;
    std::uint64_t c = static_cast<std::uint64_t>(clusters[at]) + 1;
    for (std::uint64_t k = 0; k < bound && found == 0 && IsValidCluster(v, c);) {
      const auto n = static_cast<std::uint32_t>(
          std::min<std::uint64_t>({batch, bound - k, static_cast<std::uint64_t>(v.lastCluster) - c + 1}));
      if (!ReadClusters(ctx_, static_cast<Cluster>(c), n, ahead.data())) return false;
      for (std::uint32_t j = 0; j < n; ++j) {
        const auto candidate = static_cast<Cluster>(c + j);
        const std::uint8_t* start = ahead.data() + static_cast<std::size_t>(j) * bpc;
        // The rest begins with a secondary entry; most clusters end here.
        if ((start[0] & kSecondaryBit) == 0 || LiveType(start[0]) < kTypeStream) continue;
        if (candidate < skipBelow_ || BitmapInUse(v.bitmap, candidate) || v.walked.count(candidate) ||
            std::find(clusters.begin(), clusters.begin() + static_cast<std::ptrdiff_t>(at) + 1, candidate) !=
                clusters.begin() + static_cast<std::ptrdiff_t>(at) + 1) {
          continue;
        }
        if (Completes(start, headBytes, rest, count)) {
          found = candidate;
          break;
        }
      }
      k += n;
      c += n;
    }
    if (found == 0) {
      // The clusters taken as contiguous stay the folder's guess: a damaged
      // set, or a rest overwritten since, tells nothing against them.
      if (isLast) return false;
      continue;
    }
    // The guessed clusters after this one are no clusters of the folder.
    clusters.resize(at + 1);
    clusters.push_back(found);
  }
  return false;
}

void DirectoryWalker::GoOnPastOtherFolders() {
  disk::LetFoldersGoOn(
      op_, openFolders_, [this](const OpenFolder& folder) { return NextPastOtherFolders(folder); },
      [this](OpenFolder& folder, Cluster next) {
        // Read meanwhile as the folder of one that went on before it.
        if (!IsClusterFree(VolumeOf(ctx_), next) || VolumeOf(ctx_).walked.count(next)) return false;
        links_[folder.last] = next;
        PendingDirectory d = std::move(folder.directory);
        d.goesOnAt = next;
        d.rootIndex = 0;
        WalkTree(std::move(d));
        return true;
      });
}

Cluster DirectoryWalker::NextPastOtherFolders(const OpenFolder& folder) {
  // Folders written in turn grow in turn: the allocator hands out the next
  // free cluster after the last one it gave, so a folder grows past the
  // data of every file it already lists, and past the other folders' files
  // and clusters written in between. exfat-fuse makes the file's set when
  // it creates the file, then gives its data the clusters right after.
  const ExfatVolume& v = VolumeOf(ctx_);
  const std::uint32_t bpc = v.bytesPerCluster;
  const std::size_t perCluster = bpc / kEntrySize;
  if (lookBudget_ == kUnsetBudget) lookBudget_ = std::max<std::uint64_t>(1, (512ull << 20) / bpc);
  std::vector<std::uint8_t> last(bpc);
  if (!ReadClusters(ctx_, folder.last, 1, last.data())) return 0;
  std::uint64_t from = folder.last;
  std::uint32_t lastMade = 0;  // the creation stamp of its last set
  EntrySet set;
  const disk::Bytes one(last);
  for (std::size_t i = 0; i < perCluster;) {
    if (LiveType(disk::le8(one, i * kEntrySize)) != kTypeFile || !ReadEntrySet(one, i, v.upcase, set)) {
      ++i;
      continue;
    }
    i += set.entryCount;
    if (IsValidCluster(v, set.firstCluster)) from = std::max<std::uint64_t>(from, set.firstCluster);
    lastMade = set.created;
  }
  constexpr std::uint64_t kLookAheadBytes = 64ull << 20;
  const std::uint64_t bound = std::max<std::uint64_t>(1, kLookAheadBytes / bpc);
  const std::uint32_t batch = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, (1u << 20) / bpc));
  std::vector<std::uint8_t> ahead(static_cast<std::size_t>(batch) * bpc);
  std::uint64_t c = from + 1;
  for (std::uint64_t k = 0; k < bound && IsValidCluster(v, c);) {
    const auto n = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({batch, bound - k, static_cast<std::uint64_t>(v.lastCluster) - c + 1}));
    // Many open folders with nothing ahead must not make the walk read the
    // volume over and over: the looks of one walk share a bound.
    if (lookBudget_ < n) return 0;
    lookBudget_ -= n;
    if (!ReadClusters(ctx_, static_cast<Cluster>(c), n, ahead.data())) return 0;
    for (std::uint32_t j = 0; j < n; ++j) {
      const auto at = static_cast<Cluster>(c + j);
      if (BitmapInUse(v.bitmap, at) || v.walked.count(at)) continue;
      const std::uint8_t* start = ahead.data() + static_cast<std::size_t>(j) * bpc;
      const disk::Bytes cluster(start, bpc);
      // A cluster never written: the allocator would have given it first.
      if (std::all_of(start, start + bpc, [](std::uint8_t b) { return b == 0; })) return 0;
      const std::uint8_t type = start[0];
      if ((LiveType(type) == kTypeStream || LiveType(type) == kTypeName) && start[1] == 0) {
        // The rest of a set begun elsewhere: a folder's cluster this walk
        // did not read.
        return 0;
      }
      if (LiveType(type) != kTypeFile || !ReadEntrySet(cluster, 0, v.upcase, set) || !set.checksumOk) continue;
      // The first cluster of entries no folder took: the only one this
      // folder may go on in.
      const std::uint64_t dataClusters = ClustersFor(v, set.dataLength);
      const bool after = set.firstCluster == static_cast<std::uint64_t>(at) + 1;
      const bool before = dataClusters != 0 && set.firstCluster + dataClusters == at;
      if (set.dataLength == 0 || (!after && !before)) return 0;
      if (lastMade != 0 && set.created != 0 && set.created < lastMade) return 0;
      return at;
    }
    k += n;
    c += n;
  }
  return 0;
}

const std::map<Cluster, Cluster>& DirectoryWalker::LinksOfWholeVolume() {
  if (linksOfVolumeKnown_) return links_;
  linksOfVolumeKnown_ = true;
  // That walk marks what it reads apart from the restore's marks.
  auto marks = std::move(VolumeOf(ctx_).walked);
  VolumeOf(ctx_).walked.clear();
  disk::LearnFolderLinks<DirectoryWalker>(ctx_, links_, [](DirectoryWalker& whole) {
    PendingDirectory root;
    root.isRoot = true;
    whole.WalkTree(std::move(root));
  });
  VolumeOf(ctx_).walked = std::move(marks);
  return links_;
}

void DirectoryWalker::WalkTree(PendingDirectory start) {
  const bool search = op_.OperationMode == OpSearch;
  const std::uint32_t bpc = VolumeOf(ctx_).bytesPerCluster;
  std::vector<PendingDirectory> stack;
  stack.push_back(std::move(start));
  while (!stack.empty()) {
    if (search && CancelledNow()) return;
    const PendingDirectory d = std::move(stack.back());
    stack.pop_back();
    if (d.rootIndex != 0 && op_.ActiveProgress && !op_.ActiveProgress->Advance(d.rootIndex)) {
      op_.SearchCancelled = 1;
      return;
    }
    const std::vector<Cluster> clusters = ClustersOf(d);
    if (clusters.empty()) continue;
    // A folder that lost its last clusters (a writer shrinks a folder whose
    // last entries are all deleted) may end in a set cut short. The free
    // cluster right after it is read too, for the rest of such a set only:
    // sets begin inside the folder, and the checksum tells whether the rest
    // fits. The vacant-cluster scan still reads that cluster on its own.
    const Cluster after = clusters.back() + 1;
    const bool tail = IsClusterFree(VolumeOf(ctx_), after) && !VolumeOf(ctx_).walked.count(after);
    directory_.assign((clusters.size() + (tail ? 1 : 0)) * static_cast<std::size_t>(bpc), 0);
    for (std::size_t k = 0; k < clusters.size();) {
      std::size_t n = 1;
      while (k + n < clusters.size() && clusters[k + n] == clusters[k] + n && n * bpc < (1u << 20)) ++n;
      ReadClusters(ctx_, clusters[k], static_cast<std::uint32_t>(n), directory_.data() + k * bpc);
      k += n;
    }
    if (tail) ReadClusters(ctx_, after, 1, directory_.data() + clusters.size() * bpc);
    std::vector<PendingDirectory> children;
    const disk::Bytes entries(directory_);
    HandleEntries(entries, 0, clusters.size() * (bpc / kEntrySize), d.isRoot ? std::string() : d.path, d.deleted,
                  &children, d.isRoot ? disk::kNoFolder : d.stream.firstCluster);
    if (search && op_.SearchCancelled == 1) return;
    if (d.isRoot && op_.ActiveProgress) {
      op_.ActiveProgress->BeginCount("", children.size() + 1);
      op_.ActiveProgress->ShowFileLabel();
      for (std::size_t j = 0; j < children.size(); ++j) children[j].rootIndex = j + 1;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      if (search) host_.FolderEntered(it->stream.firstCluster, d.isRoot ? disk::kNoFolder : d.stream.firstCluster);
      stack.push_back(std::move(*it));
    }
  }
}

void SearchExfat(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host) {
  // The Modified texts follow the current time zone.
  tzset();
  std::unique_ptr<disk::ProgressSink> progress = host.OpenProgress();
  op.ActiveProgress = progress.get();
  op.SearchCancelled = 0;
  {
    DirectoryWalker walker(ctx, op, host);
    if (walker.Usable()) {
      PendingDirectory root;
      root.isRoot = true;
      walker.WalkTree(std::move(root));
      walker.GoOnPastOtherFolders();
    }
  }
  op.ActiveProgress = nullptr;
}

void RestoreFolderWalk(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                       const disk::ExfatStream& folder, const std::string& targetPath, const WalkHooks& hooks) {
  op.OperationMode = OpRestore;
  op.ClusterScanActive = 0;
  // The restore's own marks: a search's marks would hide the folder itself.
  std::unordered_set<std::uint32_t> searchMarks;
  searchMarks.swap(VolumeOf(ctx).walked);
  {
    DirectoryWalker walker(ctx, op, host, hooks);
    if (walker.Usable()) {
      PendingDirectory start;
      start.stream = folder;
      start.path = targetPath;
      start.deleted = true;
      // A folder listed with include used is read as it stands, as the FAT
      // restore reads such a file's clusters.
      start.onlyFree = IsClusterFree(VolumeOf(ctx), folder.firstCluster);
      walker.WalkTree(std::move(start));
    }
  }
  searchMarks.swap(VolumeOf(ctx).walked);
}

}  // namespace ambrelic::exfat
