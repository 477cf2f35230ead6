#include "fat/directory_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>

#include "disk/cluster_walk.h"
#include "disk/open_folders.h"
#include "disk/sector_device.h"
#include "platform/files.h"
#include "platform/text.h"
#include "fat/condition.h"

namespace ambrelic::fat {

using disk::Bytes;
using disk::OpReplaceInfo;
using disk::OpRestore;
using disk::OpSearch;

namespace {

constexpr const char* kReplacingInfo = "Replacing file information.";

// The paths of a search are held to 520 characters with their terminator: a
// subdirectory is entered only while parent + "\" + name stays within 518.
// Characters are UTF-16 units, so that a name takes as much of the bound in
// one script as in another. A folder restore is bounded by its target
// instead (the restore hook makes the folders).
constexpr std::size_t kPathBuffer = 520;
constexpr std::size_t kMaxPath = 518;

// Characters that make 11 short-name bytes something other than a real entry.
bool ForbiddenInShortEntry(std::uint8_t b) {
  switch (b) {
    case '.': case '\\': case '/': case ':': case ';': case ',':
    case '*': case '?': case '<': case '>': case '|':
      return true;
    default:
      return false;
  }
}

bool HasForbiddenNameChar(std::string_view name) {
  return name.find_first_of("\\/:*?<>|") != std::string_view::npos;
}

// Names that would lead a path somewhere else than into a child folder.
bool IsNavigationName(std::string_view name) { return name.empty() || name == "." || name == ".."; }

std::size_t FirstCharLength(std::string_view text) {
  if (text.empty()) return 0;
  std::mbstate_t st{};
  std::size_t len = std::mbrlen(text.data(), text.size(), &st);
  if (len == static_cast<std::size_t>(-1) || len == static_cast<std::size_t>(-2) || len == 0) return 1;
  return len;
}

// A short entry that ends the long name whose last written entry (the one
// that holds the name's first characters, firstUnit the first of them) had
// this checksum. A deleted entry's first byte is the deleted mark: the
// name's first character, upper-cased, stands in for it, as it does when
// the name is rebuilt.
bool ShortEntryEndsName(Bytes e, std::uint16_t firstUnit, std::uint8_t checksum) {
  if (IsLongNameEntry(e) || e[0] == kEndOfDirectory || e[0] == kDotEntry) return false;
  std::array<std::uint8_t, 11> name;
  for (std::size_t i = 0; i < name.size(); ++i) name[i] = disk::le8(e, i);
  if (name[0] == kDeletedMark) {
    if (firstUnit == 0 || firstUnit >= 0x80) return false;
    name[0] = static_cast<std::uint8_t>(firstUnit >= 'a' && firstUnit <= 'z' ? firstUnit - 32 : firstUnit);
  }
  return ShortNameChecksum(name) == checksum;
}

}  // namespace

DirectoryWalker::DirectoryWalker(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                                 const WalkHooks& hooks)
    : ctx_(ctx), op_(op), host_(host), hooks_(hooks) {
  usable_ = disk::IsFat(ctx.fsKind) && ctx.sectorsPerCluster > 0 && ctx.bytesPerSector >= kDirEntrySize &&
            !ctx.fatCopy.empty() && !ctx.fatWork.empty();
  if (!usable_) return;
  bytesPerCluster_ = static_cast<std::uint32_t>(ctx.bytesPerSector) * ctx.sectorsPerCluster;
  entriesPerSector_ = ctx.bytesPerSector / kDirEntrySize;
  entriesPerCluster_ = entriesPerSector_ * ctx.sectorsPerCluster;
  clusterBuffer_.assign(bytesPerCluster_, 0);
  lookBudget_ = std::max<std::uint64_t>(1, (512ull << 20) / bytesPerCluster_);
  if (!op.nameFilter.empty()) {
    const std::size_t firstLength = FirstCharLength(op.nameFilter);
    filterDollar_ = "$" + op.nameFilter.substr(firstLength);
    // Both ways of matching need every character after the first; up to
    // three of its ASCII bytes (not the '$' and '.' the walk adds itself)
    // serve as anchors.
    std::string anchors;
    for (std::size_t i = firstLength; i < op.nameFilter.size() && anchors.size() < 3; ++i) {
      const char ch = op.nameFilter[i];
      if (static_cast<unsigned char>(ch) >= 0x80 || ch == '$' || ch == '.') continue;
      if (anchors.find(ch) == std::string::npos) anchors += ch;
    }
    std::array<bool, 256> produces{};
    for (std::size_t k = 0; k < anchors.size(); ++k) {
      if (!names_.OemBytesProducing(anchors[k], produces)) {
        anchorBits_ = 0;
        break;
      }
      const std::uint8_t bit = static_cast<std::uint8_t>(2u << k);
      anchorBits_ |= bit;
      for (int b = 0; b < 256; ++b) {
        if (produces[b]) byteClass_[b] |= bit;
      }
    }
    quickReject_ = anchorBits_ != 0;
    anchorCount_ = quickReject_ ? anchors.size() : 0;
    wordTest_ = quickReject_;
    for (std::size_t k = 0; k < anchorCount_; ++k) {
      const std::uint8_t bit = static_cast<std::uint8_t>(2u << k);
      const auto a = static_cast<std::uint8_t>(anchors[k]);
      const bool letter = (a | 0x20) >= 'a' && (a | 0x20) <= 'z';
      const std::uint8_t fold = letter ? 0x20 : 0x00;
      for (int b = 0; b < 256; ++b) {
        const bool byFold = (b | fold) == (a | fold);
        if (((byteClass_[b] & bit) != 0) != byFold) wordTest_ = false;
      }
      anchorFold_[k] = 0x0101010101010101ull * fold;
      anchorByte_[k] = 0x0101010101010101ull * static_cast<std::uint8_t>(a | fold);
    }
    // The three bytes above the extension read as 0, which never equals an
    // anchor (nor, folded, 0x20 a folded letter).
#if defined(__x86_64__)
    if (anchorCount_ > 0) {
      for (std::size_t half = 0; half < 2; ++half) {
        for (std::size_t b = 0; b < 11; ++b) {
          quickFold_[half * kDirEntrySize + b] = static_cast<std::uint8_t>(anchorFold_[0] & 0xFF);
          quickWant_[half * kDirEntrySize + b] = static_cast<std::uint8_t>(anchorByte_[0] & 0xFF);
        }
        quickWant_[half * kDirEntrySize + kOffAttributes] = kAttrLongName;
      }
    }
#endif
  }
  scanFolder_ = ctx.SearchedRoot + "<unknown>";
}

std::string DirectoryWalker::BuildShortName(Bytes entry) {
  BuildShortNameInto(entry);
  return Name();
}

void DirectoryWalker::BuildShortNameInto(Bytes entry) {
  // The OEM bytes only: most entries a scan meets are dropped before their
  // name is shown, so the conversion waits until it is needed.
  oemName_ = BuildShortNameBytes(entry, firstCharLost_);
  nameIsShort_ = true;
  nameReady_ = false;
}

const std::string& DirectoryWalker::Name() {
  if (!nameReady_) {
    names_.Oem(oemName_, name_);
    nameReady_ = true;
  }
  return name_;
}

void DirectoryWalker::RebuildName(Bytes entry, int longNameCount) {
  // Slots arrive last part first: the last one met starts the name. The name
  // ends at its first 0 unit (0xFFFF padding follows it) or when the slots do.
  std::size_t units = 0;
  bool ended = false;
  for (int s = longNameCount - 1; s >= 0 && !ended; --s) {
    const auto& slot = longNameSlots_[static_cast<std::size_t>(s)].bytes;
    for (std::size_t u = 0; u < kLongNameUnitsPerEntry; ++u) {
      const std::uint8_t lo = slot[2 * u];
      const std::uint8_t hi = slot[2 * u + 1];
      if (lo == 0 && hi == 0) {
        ended = true;
        break;
      }
      longNameBuffer_[2 * units] = lo;
      longNameBuffer_[2 * units + 1] = hi;
      ++units;
    }
  }
  names_.Utf16(longNameBuffer_.data(), units, name_);
  nameIsShort_ = false;
  nameReady_ = true;
  firstCharLost_ = false;

  std::array<std::uint8_t, 11> shortName;
  for (std::size_t i = 0; i < shortName.size(); ++i) shortName[i] = disk::le8(entry, i);
  if (shortName[0] == kDeletedMark) {
    // The deleted mark hides the short name's first character; the long
    // name's first character, upper-cased, stands in for it.
    std::uint8_t first = name_.empty() ? 0 : static_cast<std::uint8_t>(name_[0]);
    if (first >= 'a' && first <= 'z') first = static_cast<std::uint8_t>(first - 32);
    shortName[0] = first;
  }
  bool matches = !name_.empty() && ShortNameChecksum(shortName) == longNameSlots_[0].checksum;
  if (!matches && disk::le8(entry, 0) == kDeletedMark && !name_.empty() &&
      static_cast<std::uint8_t>(name_[0]) >= 0x80) {
    // A first character outside ASCII: the short name held it as an OEM
    // byte, while the name's first byte is now a UTF-8 lead byte. Try the
    // OEM byte of the upper-cased character as well.
    names_.Upper(std::string_view(name_).substr(0, FirstCharLength(name_)), upperName_);
    std::uint8_t oem = 0;
    if (names_.OemByteOf(upperName_, oem)) {
      shortName[0] = oem;
      matches = ShortNameChecksum(shortName) == longNameSlots_[0].checksum;
    }
  }
  // A long name that is no plain name (".", "..", or holding one of
  // \ / : * ? < > |) is set aside as a failed checksum is: the entry is
  // still a file or folder with its size and clusters, under its short name.
  if (matches && (HasForbiddenNameChar(name_) || IsNavigationName(name_))) matches = false;
  if (!matches) BuildShortNameInto(entry);
}

void DirectoryWalker::StoreLongNameEntry(Bytes entry, int& longNameCount) {
  if (longNameCount > kMaxLongNameEntries - 1) longNameCount = 0;
  const std::uint8_t checksum = disk::le8(entry, kOffLongChecksum);
  if (longNameCount > 0 && checksum != longNameSlots_[static_cast<std::size_t>(longNameCount - 1)].checksum) {
    longNameCount = 0;
  }
  auto& slot = longNameSlots_[static_cast<std::size_t>(longNameCount)];
  CopyLongNameBytes(entry, slot.bytes.data());
  slot.checksum = checksum;
  ++longNameCount;
}

void DirectoryWalker::HandleShortEntry(Bytes entry, int& longNameCount, const std::string* path,
                                       SubdirList& subdirs, std::uint8_t deleted) {
  const std::uint8_t first = disk::le8(entry, 0);
  for (std::size_t i = 0; i < 11; ++i) {
    const std::uint8_t b = disk::le8(entry, i);
    if (b == 0 || ForbiddenInShortEntry(b)) {
      longNameCount = 0;
      return;
    }
  }
  const bool isFolder = IsDirectoryEntry(entry);
  const bool deletedEntry = first == kDeletedMark;
  // A live file in a live directory is neither collected nor a candidate:
  // its name is never used, so it is not rebuilt.
  if (!isFolder && !deletedEntry && deleted != 1) {
    longNameCount = 0;
    return;
  }
  if (longNameCount > 0) RebuildName(entry, longNameCount);
  else BuildShortNameInto(entry);

  if (isFolder && op_.ClusterScanActive == 0) {
    SubdirItem item;
    const Cluster c = EntryFirstCluster(entry);
    if (IsValidCluster(ctx_, c)) {
      item.cluster = c;
      const std::string& name = Name();
      if (path && op_.OperationMode != OpRestore &&
          platform::Utf16Units(*path) + platform::Utf16Units(name) >= kPathBuffer) {
        item.cluster = 0;
      }
      // A name that is no plain folder name would lead the child path out of
      // its parent (a restore must stay inside its target).
      if (IsNavigationName(name) || HasForbiddenNameChar(name)) item.cluster = 0;
      item.name = name;
      if (deletedEntry || deleted == 1) {
        item.deleted = kDeletedMark;
        if (FatGetEntry(ctx_, ctx_.fatCopy, item.cluster) != kFreeCluster) item.cluster = 0;
      }
    }
    subdirs.push_back(std::move(item));
  }
  longNameCount = 0;
  SubdirItem* collected = isFolder && op_.ClusterScanActive == 0 ? &subdirs.back() : nullptr;

  if (!deletedEntry && deleted == 0) return;
  if (nameIsShort_) {
    // Upper-casing neither makes nor removes any of the forbidden
    // characters, so the upper-cased text the filter needs serves this test.
    if (oemName_.empty()) return;
    names_.OemUpper(oemName_, upperName_);
    if (HasForbiddenNameChar(upperName_)) return;
  } else {
    if (HasForbiddenNameChar(name_) || IsNavigationName(name_)) return;
    if (!op_.nameFilter.empty()) names_.Upper(name_, upperName_);
  }
  // A folder restore makes every subfolder, matching or not: the matching
  // files inside need it.
  const bool restoreFolder = isFolder && op_.OperationMode == OpRestore;
  if (!op_.nameFilter.empty() && !restoreFolder && !MatchesFilter()) return;
  ActOnCandidate(entry, path, isFolder, collected);
}

bool DirectoryWalker::MatchesFilter() {
  if (firstCharLost_ && upperName_.compare(0, filterDollar_.size(), filterDollar_) == 0) return true;
  return upperName_.find(op_.nameFilter) != std::string::npos;
}

void DirectoryWalker::ActOnCandidate(Bytes entry, const std::string* path, bool isFolder,
                                     SubdirItem* collected) {
  const std::uint32_t size = disk::le32(entry, kOffSize);
  const Cluster c = EntryFirstCluster(entry);
  switch (op_.OperationMode) {
    case OpRestore: {
      if (!hooks_.restoreEntry) return;
      const std::string& parent = path ? *path : ctx_.SearchedRoot;
      const std::string& name = Name();
      RestoreCandidate candidate;
      candidate.parentPath = parent;
      candidate.fullPath = parent + "/" + name;
      candidate.name = name;
      candidate.isFolder = isFolder;
      candidate.firstCluster = c;
      candidate.size = size;
      candidate.modified = EntryWriteTime(entry);
      std::string made = hooks_.restoreEntry(candidate);
      if (collected) collected->restorePath = std::move(made);
      return;
    }
    case OpReplaceInfo:
      return;
    default:
      break;
  }
  if (!isFolder && size == 0) {
    if (op_.includeZeroSize == 0) return;
  } else {
    if (!IsValidCluster(ctx_, c)) return;
    if (op_.listFilesOnUsedClusters == 0 && FatGetEntry(ctx_, ctx_.fatCopy, c) != kFreeCluster) return;
  }
  disk::FoundRow row;
  row.name = Name();
  row.folder = path ? *path : ctx_.SearchedRoot;
  if (!isFolder) row.size = std::to_string(size);
  row.modified = FormatModified(disk::le16(entry, kOffWriteDate), disk::le16(entry, kOffWriteTime));
  row.number = std::to_string(c);
  row.isFolder = isFolder;
  row.facts.size = isFolder ? 0 : size;
  row.facts.number = c;
  // A scan's row lies in the folder whose first cluster it was read from,
  // when that cluster starts one: that folder's restore reads it there.
  if (op_.ClusterScanActive == 0) row.facts.parent = listingFolder_;
  else if (scanCluster_ != 0) row.facts.parent = scanCluster_;
  row.facts.condition = FatRowCondition(ctx_, c, size, isFolder);
  FillEntryTimes(entry, row.facts);
  if (linkScan_ && op_.ClusterScanActive != 0) {
    scanRows_.emplace_back(scanCluster_, std::move(row));
    return;
  }
  host_.AddRow(std::move(row));
}

void DirectoryWalker::ReadDirectoryCluster(Cluster c) {
  gaps_.clear();
  disk::ReadSectors(ctx_, ClusterToSector(ctx_, c), ctx_.sectorsPerCluster, clusterBuffer_.data(), &gaps_);
}

void DirectoryWalker::ReadRootSector(std::uint32_t sector) {
  gaps_.clear();
  disk::ReadSectors(ctx_, sector, 1, clusterBuffer_.data(), &gaps_);
}

void DirectoryWalker::HandRegion(std::uint32_t firstSector, std::uint32_t sectorCount) {
  if (op_.OperationMode != OpReplaceInfo || !hooks_.replaceRegion) return;
  const std::size_t bps = ctx_.bytesPerSector;
  if (gaps_.empty()) {
    hooks_.replaceRegion(firstSector, std::span<std::uint8_t>(clusterBuffer_.data(), sectorCount * bps), sectorCount);
    return;
  }
  // Sectors that could not be read are never handed on (writing them back
  // would put zeros where the volume's own entries may still be); the runs
  // of sectors around them are, each on its own.
  std::uint32_t s = 0;
  while (s < sectorCount) {
    if (gaps_.Overlaps(s * bps, bps)) {
      ++s;
      continue;
    }
    std::uint32_t n = 1;
    while (s + n < sectorCount && !gaps_.Overlaps((s + n) * bps, bps)) ++n;
    hooks_.replaceRegion(firstSector + s, std::span<std::uint8_t>(clusterBuffer_.data() + s * bps, n * bps), n);
    s += n;
  }
}

void DirectoryWalker::BeginRootProgress(std::size_t subdirCount) {
  disk::ProgressSink* progress = op_.ActiveProgress;
  if (!progress) return;
  progress->BeginCount("", static_cast<std::uint64_t>(subdirCount) + 1);
  progress->ShowFileLabel();
  if (op_.OperationMode == OpReplaceInfo) progress->SetFileName(kReplacingInfo);
}

void DirectoryWalker::WalkRootDirectory() {
  // The fixed root holds rootEntryCount entries, bytesPerSector / 32 of them
  // in each sector (16 in a 512-byte sector).
  const std::uint32_t sectors =
      static_cast<std::uint32_t>((static_cast<std::uint64_t>(ctx_.rootEntryCount) + entriesPerSector_ - 1) /
                                 entriesPerSector_);
  const Bytes sector(clusterBuffer_.data(), ctx_.bytesPerSector);

  std::size_t subdirCount = 0;
  bool ended = false;
  for (std::uint32_t s = 0; s < sectors && !ended; ++s) {
    ReadRootSector(ctx_.rootDirSector + s);
    // An unreadable sector holds no entries, and does not end the root.
    if (!gaps_.empty()) continue;
    for (std::uint32_t i = 0; i < entriesPerSector_; ++i) {
      const Bytes e = sector.subspan(i * kDirEntrySize, kDirEntrySize);
      if (e[0] == kEndOfDirectory) {
        ended = true;
        break;
      }
      if (IsDirectoryEntry(e)) ++subdirCount;
    }
  }

  SubdirList subdirs;
  subdirs.reserve(subdirCount);
  int longNameCount = 0;
  ended = false;
  listingFolder_ = disk::kNoFolder;
  for (std::uint32_t s = 0; s < sectors && !ended; ++s) {
    if (op_.OperationMode == OpSearch && op_.SearchCancelled == 1) break;
    const std::uint32_t at = ctx_.rootDirSector + s;
    ReadRootSector(at);
    if (!gaps_.empty()) {
      longNameCount = 0;
      continue;
    }
    for (std::uint32_t i = 0; i < entriesPerSector_; ++i) {
      const Bytes e = sector.subspan(i * kDirEntrySize, kDirEntrySize);
      if (e[0] == kEndOfDirectory) {
        ended = true;
        break;
      }
      HandleDirEntry(e, longNameCount, nullptr, subdirs, 0);
    }
    if (op_.OperationMode != OpRestore) CoverListedClusters(sector, listedRuns_);
    HandRegion(at, 1);
  }

  BeginRootProgress(subdirCount);
  EnterSubdirectories(subdirs, nullptr, 0);
}

bool DirectoryWalker::FollowDirectoryChain(Cluster start, const std::string* path, std::uint8_t deleted,
                                           Cluster owner, std::vector<Cluster>& chain, std::size_t& subdirCount) {
  // A chain has at most as many clusters as the volume, and one that comes
  // back to a cluster it already passed ends there.
  const std::uint64_t maxClusters = ctx_.lastCluster > 1 ? ctx_.lastCluster - 1 : 0;
  disk::PassedClusters passed;
  const Bytes cluster(clusterBuffer_.data(), clusterBuffer_.size());
  // Deleting a folder frees its chain: past its first cluster, the folder is
  // looked for in the clusters that follow (NextDeletedFolderCluster), up to
  // the most entries a folder holds (65,536). A live folder keeps its chain.
  const bool deletedFolder =
      deleted == 1 && IsValidCluster(ctx_, start) && FatGetEntry(ctx_, ctx_.fatCopy, start) == kFreeCluster;
  constexpr std::uint64_t kMaxFolderBytes = 65536ull * kDirEntrySize;
  const std::uint64_t maxFolderClusters = std::max<std::uint64_t>(1, kMaxFolderBytes / bytesPerCluster_);
  std::map<Cluster, Cluster> covered;
  chainStart_ = owner != 0 ? owner : start;
  openLast_ = 0;
  // A cluster that ends inside a long name (its last entries are long-name
  // entries) is certainly followed by more of the folder: the cluster that
  // goes on with that name (its first entry a long-name entry of the same
  // checksum, or the name's short entry, whose 11 bytes give that checksum)
  // is looked for ahead, past the data of other files written in between
  // (and past clusters in use: the name's checksum is the link), up to a
  // bound.
  auto NextAfterSplitName = [&](Cluster last, const std::map<Cluster, Cluster>& own) -> Cluster {
    const Bytes lastCluster(clusterBuffer_.data(), clusterBuffer_.size());
    ReadDirectoryCluster(last);
    const Bytes tail = lastCluster.subspan((entriesPerCluster_ - 1) * kDirEntrySize, kDirEntrySize);
    if (!gaps_.empty() || !IsLongNameEntry(tail)) return 0;
    const std::uint8_t checksum = disk::le8(tail, kOffLongChecksum);
    // The short entry comes next only after the name's first long-name
    // entry (number 1; a deleted one no longer tells its number).
    const bool mayEndName = tail[0] == kDeletedMark || (tail[0] & 0x1F) == 1;
    const std::uint16_t firstUnit = disk::le16(tail, 1);
    constexpr std::uint64_t kSearchBytes = 64ull << 20;
    const std::uint64_t bound = std::max<std::uint64_t>(1, kSearchBytes / bytesPerCluster_);
    for (std::uint64_t k = 1, at = static_cast<std::uint64_t>(last) + 1; k <= bound && IsValidCluster(ctx_, at);
         ++k, ++at) {
      auto run = own.upper_bound(static_cast<Cluster>(at));
      if (run != own.begin() && (--run)->second >= at) continue;
      const auto c2 = static_cast<Cluster>(at);
      if (FatGetEntry(ctx_, ctx_.fatWork, c2) != kFreeCluster || !FreeInEveryTable(c2)) continue;
      ReadDirectoryCluster(c2);
      if (!gaps_.empty()) continue;
      const Bytes head = lastCluster.first(kDirEntrySize);
      const bool goesOn = IsLongNameEntry(head) ? disk::le8(head, kOffLongChecksum) == checksum
                                                : mayEndName && ShortEntryEndsName(head, firstUnit, checksum);
      if (!goesOn) continue;
      const EntryTally tally = TallyEntries(ctx_, lastCluster);
      if (tally.implausible == 0 && tally.plausible > 0) return c2;
    }
    return 0;
  };
  Cluster c = start;
  while (IsValidCluster(ctx_, c) && chain.size() < maxClusters) {
    if (!passed.Pass(c)) break;
    ReadDirectoryCluster(c);
    const std::uint8_t first = clusterBuffer_[0];
    // A first sector that could not be read cannot show the "." entry; the
    // entry that named the directory is taken at its word.
    const bool dotKnown = !EntryLost(0);
    if (expectDotEntry_) {
      // The cluster no longer holds the directory that named it.
      if (dotKnown && first != kDotEntry) return false;
      expectDotEntry_ = false;
    }
    if (path && c == start && owner == 0 && dotKnown && first != kDotEntry) return false;
    chain.push_back(c);
    for (std::uint32_t i = 0; i < entriesPerCluster_; ++i) {
      if (EntryLost(i)) continue;
      const Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
      if (e[0] == kEndOfDirectory) return true;
      if (IsDirectoryEntry(e) && e[0] != kDotEntry) ++subdirCount;
    }
    Cluster next = NextInChain(ctx_, c);
    if (next == 0 && deletedFolder && chain.size() < maxFolderClusters) {
      CoverListedClusters(cluster, covered);
      next = NextDeletedFolderCluster(c, covered);
      if (next == 0) next = NextAfterSplitName(c, covered);
      if (next == 0 && op_.OperationMode == OpRestore) {
        // The links past other folders' data are the search's, which saw
        // every folder.
        const auto& links = LinksOfWholeVolume();
        const auto link = links.find(c);
        if (link != links.end() && FatGetEntry(ctx_, ctx_.fatWork, link->second) == kFreeCluster) next = link->second;
      }
      // Full of entries and no end in sight: the folder may go on where
      // GoOnPastOtherFolders finds, once the whole tree is known.
      if (next == 0) openLast_ = c;
      // Taken: no other folder of this walk, and no cluster scan after it,
      // reads it again.
      if (next != 0) FatSetEntry(ctx_, next, kEndOfChain);
    }
    c = next;
  }
  return true;
}

void DirectoryWalker::CoverListedClusters(Bytes cluster, std::map<Cluster, Cluster>& covered) {
  for (std::size_t i = 0; i < cluster.size() / kDirEntrySize; ++i) {
    const Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
    if (e[0] == kEndOfDirectory) break;
    if (e[0] == kDotEntry || IsLongNameEntry(e) || !PlausibleEntry(ctx_, e)) continue;
    const Cluster c = EntryFirstCluster(e);
    if (!IsValidCluster(ctx_, c) || FatGetEntry(ctx_, ctx_.fatCopy, c) != kFreeCluster) continue;
    // A file's clusters as its restore reads them (ahead from the first; a
    // run the table calls in use ends the folder's search anyway); a
    // subfolder's first cluster.
    std::uint64_t count = 1;
    if (!IsDirectoryEntry(e)) {
      count = (static_cast<std::uint64_t>(disk::le32(e, kOffSize)) + bytesPerCluster_ - 1) / bytesPerCluster_;
      if (count == 0) continue;
    }
    Cluster a = c;
    Cluster b = static_cast<Cluster>(std::min<std::uint64_t>(ctx_.lastCluster, c + count - 1));
    // Kept as disjoint runs, first cluster -> last cluster.
    auto it = covered.upper_bound(a);
    if (it != covered.begin()) {
      auto before = std::prev(it);
      if (static_cast<std::uint64_t>(before->second) + 1 >= a) {
        a = before->first;
        b = std::max(b, before->second);
        it = covered.erase(before);
      }
    }
    while (it != covered.end() && it->first <= static_cast<std::uint64_t>(b) + 1) {
      b = std::max(b, it->second);
      it = covered.erase(it);
    }
    covered[a] = b;
  }
}

Cluster DirectoryWalker::NextDeletedFolderCluster(Cluster last, const std::map<Cluster, Cluster>& covered) {
  // Allocators give a growing folder the next free cluster after what was
  // written last: the folder's next cluster lies past the files whose
  // entries it already holds, and past folders made meanwhile elsewhere
  // (their first cluster, "." then a ".." that is not this folder). Some
  // writers put a file's data down before its entry and grow the folder
  // only for the entry: the folder may then go on past that one file's
  // data, in a cluster whose entries name the data's first cluster as a
  // file's, with a size that spans exactly the data passed. Anything else
  // ends the folder: a cluster in use (or taken by this walk, or not free
  // in every table copy), one that cannot be read, a "." cluster of a
  // folder inside this one that it does not list, entries that do not
  // account for the data passed, or data beyond a bounded look ahead.
  const Cluster self = chainStart_;
  constexpr std::uint64_t kLookAheadBytes = 16ull << 20;
  const std::uint64_t lookAhead = std::max<std::uint64_t>(1, kLookAheadBytes / bytesPerCluster_);
  std::uint64_t gapStart = 0;     // first data cluster passed
  std::uint64_t dataClusters = 0; // data clusters passed
  const Bytes cluster(clusterBuffer_.data(), clusterBuffer_.size());
  std::uint64_t c = static_cast<std::uint64_t>(last) + 1;
  while (IsValidCluster(ctx_, c)) {
    // Each step passes a whole run of the folder's own files.
    auto it = covered.upper_bound(static_cast<Cluster>(c));
    if (it != covered.begin() && (--it)->second >= c) {
      if (dataClusters != 0) return 0;
      c = static_cast<std::uint64_t>(it->second) + 1;
      continue;
    }
    const auto at = static_cast<Cluster>(c);
    if (FatGetEntry(ctx_, ctx_.fatWork, at) != kFreeCluster || !FreeInEveryTable(at)) return 0;
    ReadDirectoryCluster(at);
    if (!gaps_.empty()) return 0;
    const EntryTally tally = TallyEntries(ctx_, cluster);
    if (tally.startsWithDot) {
      // Another folder's first cluster; one inside this folder ends it.
      const Bytes dotDot = cluster.subspan(kDirEntrySize, kDirEntrySize);
      if (dotDot[0] != kDotEntry || EntryFirstCluster(dotDot) == self) return 0;
      ++c;
      continue;
    }
    if (tally.emptyAtStart || tally.implausible != 0 || tally.plausible == 0) {
      if (dataClusters == 0) gapStart = c;
      if (++dataClusters > lookAhead) return 0;
      ++c;
      continue;
    }
    if (dataClusters == 0) return at;
    for (std::uint32_t i = 0; i < entriesPerCluster_; ++i) {
      const Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
      if (e[0] == kEndOfDirectory) break;
      if (IsLongNameEntry(e) || IsDirectoryEntry(e) || EntryFirstCluster(e) != gapStart) continue;
      const std::uint64_t clusters =
          (static_cast<std::uint64_t>(disk::le32(e, kOffSize)) + bytesPerCluster_ - 1) / bytesPerCluster_;
      if (clusters == dataClusters) return at;
    }
    return 0;
  }
  return 0;
}

void DirectoryWalker::GoOnPastOtherFolders() {
  disk::LetFoldersGoOn(
      op_, openFolders_, [this](const OpenFolder& folder) { return NextPastOtherFolders(folder); },
      [this](const OpenFolder& folder, Cluster next) {
        // Taken meanwhile by a folder that went on before it.
        if (FatGetEntry(ctx_, ctx_.fatWork, next) != kFreeCluster) return false;
        links_[folder.last] = next;
        FatSetEntry(ctx_, next, kEndOfChain);
        expectDotEntry_ = false;
        // Walked as the folder's: it may end open again, or name subfolders.
        WalkDirectory(next, &folder.path, folder.deleted, folder.self);
        return true;
      });
}

Cluster DirectoryWalker::NextPastOtherFolders(const OpenFolder& folder) {
  // Folders written in turn grow in turn: the allocator hands out the next
  // free cluster after the last one it gave (the free-cluster hint), so a
  // folder grows past the data of every file it already lists, and past
  // the other folders' files and clusters written in between. Those are
  // passed over: clusters in use or taken by this walk, and data (that of
  // files the walk lists, or of no entry it knows). The first cluster of
  // entries that no folder took is the only one the folder may go on in;
  // a "." cluster of a folder the walk does not know, a cluster that cannot
  // be read, or entries inside a listed file's clusters end the look.
  const Bytes cluster(clusterBuffer_.data(), clusterBuffer_.size());
  ReadDirectoryCluster(folder.last);
  if (!gaps_.empty()) return 0;
  std::uint64_t from = folder.last;
  std::uint32_t lastMade = 0;  // the creation stamp of its last entry
  for (std::uint32_t i = 0; i < entriesPerCluster_; ++i) {
    const Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
    if (IsLongNameEntry(e) || e[0] == kDotEntry || !PlausibleEntry(ctx_, e)) continue;
    if (IsValidCluster(ctx_, EntryFirstCluster(e))) from = std::max<std::uint64_t>(from, EntryFirstCluster(e));
    lastMade = (static_cast<std::uint32_t>(disk::le16(e, kOffCreateDate)) << 16) | disk::le16(e, kOffCreateTime);
  }
  constexpr std::uint64_t kLookAheadBytes = 64ull << 20;
  const std::uint64_t bound = std::max<std::uint64_t>(1, kLookAheadBytes / bytesPerCluster_);
  std::uint64_t dataStart = 0;  // where the unlisted data just before starts, when there is some
  for (std::uint64_t k = 1, c = from + 1; k <= bound && IsValidCluster(ctx_, c); ++k, ++c) {
    const auto at = static_cast<Cluster>(c);
    if (FatGetEntry(ctx_, ctx_.fatWork, at) != kFreeCluster || !FreeInEveryTable(at)) {
      dataStart = 0;
      continue;
    }
    // Many open folders with nothing ahead must not make the walk read the
    // volume over and over: the looks of one walk share a bound.
    if (lookBudget_ == 0) return 0;
    --lookBudget_;
    auto run = listedRuns_.upper_bound(at);
    const bool listed = run != listedRuns_.begin() && std::prev(run)->second >= at;
    ReadDirectoryCluster(at);
    if (!gaps_.empty()) return 0;
    const EntryTally tally = TallyEntries(ctx_, cluster);
    if (tally.startsWithDot) return 0;
    // A cluster never written: the allocator would have given it before
    // any cluster past it.
    if (std::all_of(clusterBuffer_.begin(), clusterBuffer_.end(), [](std::uint8_t b) { return b == 0; })) return 0;
    if (tally.emptyAtStart || tally.implausible != 0 || tally.plausible == 0) {
      if (listed) dataStart = 0;
      else if (dataStart == 0) dataStart = c;
      continue;
    }
    if (listed) return 0;
    // The folder grew for the entry of the file written then: that entry
    // comes first, and the file's data lies right before the cluster
    // (written first) or right after it. Nor was that file made before
    // the folder's last entry.
    std::uint32_t i = 0;
    while (i < entriesPerCluster_ && IsLongNameEntry(cluster.subspan(i * kDirEntrySize, kDirEntrySize))) ++i;
    if (i == entriesPerCluster_) return 0;
    const Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
    if (e[0] == kEndOfDirectory || e[0] == kDotEntry || IsDirectoryEntry(e) || !PlausibleEntry(ctx_, e)) return 0;
    const std::uint64_t first = EntryFirstCluster(e);
    const std::uint64_t count =
        (static_cast<std::uint64_t>(disk::le32(e, kOffSize)) + bytesPerCluster_ - 1) / bytesPerCluster_;
    const bool before = dataStart != 0 && first >= dataStart && first + count == c;
    if (count == 0 || (!before && first != c + 1)) return 0;
    const std::uint32_t made =
        (static_cast<std::uint32_t>(disk::le16(e, kOffCreateDate)) << 16) | disk::le16(e, kOffCreateTime);
    if (lastMade != 0 && made != 0 && made < lastMade) return 0;
    return at;
  }
  return 0;
}

const std::map<Cluster, Cluster>& DirectoryWalker::LinksOfWholeVolume() {
  if (linksOfVolumeKnown_) return links_;
  linksOfVolumeKnown_ = true;
  // That walk takes clusters in a table of its own; the restore's marks
  // stay as they are.
  std::vector<std::uint8_t> own;
  own.swap(ctx_.fatWork);
  try {
    ctx_.fatWork = ctx_.fatCopy;
  } catch (const std::bad_alloc&) {
    ctx_.fatWork.swap(own);
    return links_;
  }
  disk::LearnFolderLinks<DirectoryWalker>(ctx_, links_, [this](DirectoryWalker& whole) {
    if (ctx_.rootCluster == 0) whole.WalkRootDirectory();
    else whole.WalkDirectory(ctx_.rootCluster, nullptr, 0);
  });
  ctx_.fatWork.swap(own);
  return links_;
}

bool DirectoryWalker::FreeInEveryTable(Cluster c) {
  if (FatGetEntry(ctx_, ctx_.fatCopy, c) != kFreeCluster) return false;
  if (!otherTablesRead_) {
    otherTablesRead_ = true;
    otherTablesUsable_ = true;
    const std::uint32_t sectors = LoadedTableSectors(ctx_);
    for (std::uint32_t k = 1; k < ctx_.numberOfFats && otherTablesUsable_; ++k) {
      std::vector<std::uint8_t> table(static_cast<std::size_t>(sectors) * ctx_.bytesPerSector);
      disk::ReadGaps gaps;
      const std::uint64_t first = ctx_.fatStartSector + static_cast<std::uint64_t>(k) * ctx_.sectorsPerFat;
      if (!disk::ReadSectors(ctx_, first, sectors, table.data(), &gaps) || !gaps.empty()) {
        otherTablesUsable_ = false;
      }
      otherTables_.push_back(std::move(table));
    }
  }
  if (!otherTablesUsable_) return false;
  for (const auto& table : otherTables_) {
    if (FatGetEntry(ctx_, table, c) != kFreeCluster) return false;
  }
  return true;
}

void DirectoryWalker::WalkDirectory(Cluster start, const std::string* path, std::uint8_t deleted, Cluster owner) {
  const bool search = op_.OperationMode == OpSearch;
  if (search && CancelledNow()) return;
  if (search && IsValidCluster(ctx_, start) && FatGetEntry(ctx_, ctx_.fatWork, start) == kFreeCluster) {
    FatSetEntry(ctx_, start, kEndOfChain);
  }
  // A damaged volume may name a directory (or an ancestor) as its own
  // subdirectory; each directory is walked once.
  if (!enteredDirectories_.insert(start).second) return;

  std::vector<Cluster> chain;
  std::size_t subdirCount = 0;
  if (!FollowDirectoryChain(start, path, deleted, owner, chain, subdirCount)) return;
  // Rows of a folder's later clusters, walked on their own once the whole
  // tree is known, are still the folder's.
  listingFolder_ = path ? (owner != 0 ? owner : start) : disk::kNoFolder;
  // A restore takes the search's links instead (LinksOfWholeVolume).
  const bool tree = op_.OperationMode != OpRestore;
  if (tree && openLast_ != 0 && path) openFolders_.push_back({owner != 0 ? owner : start, openLast_, *path, deleted});

  SubdirList subdirs;
  subdirs.reserve(subdirCount);
  int longNameCount = 0;
  const Bytes cluster(clusterBuffer_.data(), clusterBuffer_.size());
  // The end-of-directory entry ends the directory here as it did in the
  // first pass, so that both passes see the same entries.
  bool ended = false;
  for (std::size_t k = 0; k < chain.size() && !ended; ++k) {
    if (search && op_.SearchCancelled == 1) break;
    ReadDirectoryCluster(chain[k]);
    for (std::uint32_t i = 0; i < entriesPerCluster_; ++i) {
      if (EntryLost(i)) {
        // A long name cut by a lost sector names nothing.
        longNameCount = 0;
        continue;
      }
      const Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
      if (e[0] == kEndOfDirectory) {
        ended = true;
        break;
      }
      HandleDirEntry(e, longNameCount, path, subdirs, deleted);
    }
    if (tree) CoverListedClusters(cluster, listedRuns_);
    HandRegion(ClusterToSector(ctx_, chain[k]), ctx_.sectorsPerCluster);
  }

  if (!path) BeginRootProgress(subdirCount);
  EnterSubdirectories(subdirs, path, deleted);
}

void DirectoryWalker::EnterSubdirectories(const SubdirList& subdirs, const std::string* path,
                                          std::uint8_t deleted) {
  // Each child walked below changes it.
  const std::uint64_t parent = listingFolder_;
  for (std::size_t j = 0; j < subdirs.size(); ++j) {
    const SubdirItem& item = subdirs[j];
    if (item.cluster < 2) continue;
    std::string child;
    if (!path) {
      if (op_.ActiveProgress && !op_.ActiveProgress->Advance(j + 1)) {
        op_.SearchCancelled = 1;
        break;
      }
      if (platform::Utf16Units(ctx_.SearchedRoot) + platform::Utf16Units(item.name) > kMaxPath) continue;
      child = ctx_.SearchedRoot + item.name;
    } else if (op_.OperationMode == OpRestore) {
      // Entered where the restore made it. A folder lies below its parent,
      // so each level adds to the path, and the kernel's path limit bounds
      // the depth.
      if (item.restorePath.size() <= path->size() || item.restorePath.size() > platform::kMaxPathBytes) continue;
      child = item.restorePath;
    } else {
      if (platform::Utf16Units(*path) + platform::Utf16Units(item.name) + 2 >= kPathBuffer) continue;
      child = *path + '\\' + item.name;
    }
    std::uint8_t flag = deleted;
    if (item.deleted == kDeletedMark) {
      // Reused since, or already walked in this run.
      if (FatGetEntry(ctx_, ctx_.fatWork, item.cluster) != kFreeCluster) continue;
      FatSetEntry(ctx_, item.cluster, kEndOfChain);
      flag = 1;
    }
    expectDotEntry_ = true;
    if (op_.OperationMode == OpSearch) host_.FolderEntered(item.cluster, parent);
    WalkDirectory(item.cluster, &child, flag);
  }
}

void SearchFat(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host) {
  SearchFat(ctx, op, host, WalkHooks{});
}

void SearchFat(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
               const WalkHooks& hooks) {
  std::unique_ptr<disk::ProgressSink> progress = host.OpenProgress();
  op.ActiveProgress = progress.get();
  op.SearchCancelled = 0;
  {
    DirectoryWalker walker(ctx, op, host, hooks);
    if (walker.Usable()) {
      walker.SetExpectDotEntry(false);
      if (ctx.rootCluster == 0) walker.WalkRootDirectory();
      else walker.WalkDirectory(ctx.rootCluster, nullptr, 0);
      walker.GoOnPastOtherFolders();
    }
  }
  op.ActiveProgress = nullptr;
  progress.reset();
}

void RestoreFolderWalk(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                       Cluster firstCluster, const std::string& targetPath, const WalkHooks& hooks) {
  op.OperationMode = OpRestore;
  op.ClusterScanActive = 0;
  // The search held this much and more; should memory still run short, the
  // walker finds no working table and walks nothing.
  try {
    ctx.fatWork = ctx.fatCopy;
  } catch (const std::bad_alloc&) {
    std::vector<std::uint8_t>().swap(ctx.fatWork);
  }
  {
    DirectoryWalker walker(ctx, op, host, hooks);
    if (walker.Usable()) walker.WalkDirectory(firstCluster, &targetPath, 1);
  }
  std::vector<std::uint8_t>().swap(ctx.fatWork);
}

}  // namespace ambrelic::fat
