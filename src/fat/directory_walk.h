// The FAT directory walk: lists deleted files and folders (search), and
// serves the folder restore and the wipe of deleted entries through hooks.
//
// One walk (a search, a wipe of file information, a folder restore, a
// cluster scan) is one DirectoryWalker: the cluster buffer, the long-name
// slots and the other state of the walk live in it, not in globals.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "fat/allocation_table.h"
#include "fat/cluster_scan.h"
#include "fat/dir_entry.h"

namespace ambrelic::fat {

// A candidate entry of a folder being restored (OpRestore), after the walk's
// own path-length test.
struct RestoreCandidate {
  std::string fullPath;    // parentPath + "/" + name
  std::string parentPath;  // the folder being restored into
  std::string name;        // rebuilt name (long name, or short name with '$')
  bool isFolder = false;
  Cluster firstCluster = 0;
  std::uint32_t size = 0;
  disk::VolumeTime modified;  // the entry's last write
};

// Where the restore and the wipe plug into the walk. Empty members do
// nothing.
struct WalkHooks {
  // OpRestore: each candidate entry (create the folder, restore the file).
  // For a folder it returns the path the walk enters the folder at (the
  // folder as made, under another name when its own was taken); empty text:
  // the folder is not entered. The result for a file is not used.
  std::function<std::string(const RestoreCandidate&)> restoreEntry;
  // OpReplaceInfo: each directory region after its entries were handled:
  // a directory cluster (sectorCount = sectorsPerCluster) or a FAT12/16 root
  // sector (sectorCount 1). region holds sectorCount * bytesPerSector bytes
  // read from firstSector; the hook may change and write them.
  std::function<void(std::uint32_t firstSector, std::span<std::uint8_t> region, std::uint32_t sectorCount)>
      replaceRegion;
};

// Front of a FAT search (OpSearch) and of the wipe of deleted entries
// (OpReplaceInfo): walks the root directory and every reachable live or
// deleted subdirectory.
void SearchFat(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host);
void SearchFat(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
               const WalkHooks& hooks);

// The walk of a deleted folder for its restore: sets OpRestore, makes fatWork
// a fresh copy of fatCopy, walks the folder whose first cluster is given into
// targetPath (an existing folder) with the deleted flag 1, and frees fatWork.
// No progress dialog and no cancel.
void RestoreFolderWalk(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                       Cluster firstCluster, const std::string& targetPath, const WalkHooks& hooks);

// One collected subdirectory of the directory being handled.
struct SubdirItem {
  Cluster cluster = 0;        // 0: not to be entered
  std::uint8_t deleted = 0;   // 0xE5: walk it as deleted
  std::string name;
  std::string restorePath;    // OpRestore: where the folder was made
};
using SubdirList = std::vector<SubdirItem>;

class DirectoryWalker {
 public:
  DirectoryWalker(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                  const WalkHooks& hooks = {});

  // False when the volume description cannot be walked (no FAT kind, no
  // allocation table, zero sizes): the fronts then do nothing.
  bool Usable() const { return usable_; }

  // The FAT12/16 root directory.
  void WalkRootDirectory();
  // One directory and, recursively, its subdirectories. path null: the root.
  // owner: 0, or the deleted folder whose clusters go on at `start` (no "."
  // entry is looked for there).
  void WalkDirectory(Cluster start, const std::string* path, std::uint8_t deleted, Cluster owner = 0);
  // After the whole tree was walked: deleted folders whose last cluster
  // found is full of entries go on past other folders' data
  // (NextPastOtherFolders), when no other such folder could have grown
  // there; each new cluster is walked as the folder's.
  void GoOnPastOtherFolders();
  // The links made so far: a deleted folder's last cluster -> its next.
  const std::map<Cluster, Cluster>& FolderLinks() const { return links_; }
  // One 32-byte entry of the directory being read. The cheap tests that end
  // most entries are here, inline, since a cluster scan runs them for every
  // entry of the volume; the rest is HandleShortEntry.
  [[gnu::always_inline]] void HandleDirEntry(disk::Bytes entry, int& longNameCount, const std::string* path,
                                             SubdirList& subdirs, std::uint8_t deleted) {
    if (op_.OperationMode == disk::OpSearch && CancelledNow()) return;
    HandleEntry(entry, longNameCount, path, subdirs, deleted);
  }
  // The handler after its cancel check. The cluster scan checks once per
  // cluster instead: a cluster's entries take less time than a look at the
  // event queue.
  [[gnu::always_inline]] void HandleEntry(disk::Bytes entry, int& longNameCount, const std::string* path,
                                          SubdirList& subdirs, std::uint8_t deleted) {
    if (disk::le8(entry, 0) == kDotEntry) {
      longNameCount = 0;
      return;
    }
    if (IsLongNameEntry(entry)) {
      StoreLongNameEntry(entry, longNameCount);
      return;
    }
    firstCharLost_ = false;
    if (quickReject_ && longNameCount == 0 && (op_.ClusterScanActive != 0 || !IsDirectoryEntry(entry))) {
      // Without a long name and without being collected, an entry whose bytes
      // cannot spell the filter ends exactly as a non-matching one would
      // (whether or not it is a real entry).
      if (!MayMatchFilter(entry)) return;
    }
    HandleShortEntry(entry, longNameCount, path, subdirs, deleted);
  }
  // Reads cluster c and handles it as a directory of deleted entries, every
  // entry through HandleDirEntry.
  void ScanClusterAsDirectory(Cluster c);
  // The same over a cluster already read, as the scan does it: the cancel
  // request is the scan's to read, clusters whose entries cannot give a row
  // are passed over after a first look (the rows are the same), and entries
  // that lie in gaps (sectors that could not be read) are passed over.
  void HandleClusterAsDirectory(disk::Bytes cluster, const disk::ReadGaps* gaps = nullptr);

  // The scan's rows are held until the scan ends (LinkScanRows): a
  // cluster read at `c` that starts a folder ("." naming c) has its rows
  // put under that folder's path when the folder's entry can be found.
  void BeginLinkedScan() { linkScan_ = true; }
  void SetScanCluster(Cluster c) { scanCluster_ = c; }
  void LinkScanRows();

  // A cluster of a scan is read as a folder only when its entries are
  // mostly entries a file system could have written (TallyEntries).
  bool ReadsAsFolder(disk::Bytes cluster) const;

  // The forms the first look of a scan takes, from the plain loop to two
  // entries at a time; it takes the widest the processor runs, up to this
  // limit (tests compare them).
  enum class FirstLook : std::uint8_t { Plain, Sse2, Avx512 };
  void LimitFirstLook(FirstLook widest) { firstLookLimit_ = widest; }

  // The short name of an entry in locale text; sets FirstCharLost.
  std::string BuildShortName(disk::Bytes entry);
  bool FirstCharLost() const { return firstCharLost_; }
  void SetExpectDotEntry(bool on) { expectDotEntry_ = on; }

 private:
  // The first look of the cluster scan: whether an entry must go through
  // the handler (when no long name is pending), and the index of the next
  // such entry from `from` on (the number of entries when none is left).
  bool NeedsHandler(disk::Bytes entry) const;
  std::size_t NextEntryToHandle(disk::Bytes cluster, std::size_t from) const;
  FirstLook firstLookLimit_ = FirstLook::Avx512;
#if defined(__SSE2__)
  std::size_t NextEntryToHandleSse2(disk::Bytes cluster, std::size_t from) const;
#endif
#if defined(__x86_64__)
  std::size_t NextEntryToHandleAvx512(disk::Bytes cluster, std::size_t from) const;
  // The processor runs AVX-512BW: the first look takes two entries at a time.
  bool hasAvx512_ = __builtin_cpu_supports("avx512bw") != 0;
  // Per byte of two entries: the first anchor's fold and byte at the name
  // bytes, the long-name attribute at byte 11.
  std::array<std::uint8_t, 64> quickFold_{};
  std::array<std::uint8_t, 64> quickWant_{};
#endif
  bool CancelledNow() {
    if (op_.SearchCancelled == 1) return true;
    // A device that stopped answering ends the walk as a cancel does.
    if (ctx_.media && ctx_.media->Abandoned()) {
      op_.SearchCancelled = 1;
      return true;
    }
    if (op_.ActiveProgress && op_.ActiveProgress->TakeCancelRequest()) {
      op_.SearchCancelled = 1;
      return true;
    }
    return false;
  }
  const std::string& Name();
  void StoreLongNameEntry(disk::Bytes entry, int& longNameCount);
  // The rest of the handler for a short entry (steps after the cheap tests);
  // kept out of line so that the common early returns stay small.
  [[gnu::noinline]] void HandleShortEntry(disk::Bytes entry, int& longNameCount, const std::string* path,
                                          SubdirList& subdirs, std::uint8_t deleted);
  void RebuildName(disk::Bytes entry, int longNameCount);
  void BuildShortNameInto(disk::Bytes entry);
  bool FollowDirectoryChain(Cluster start, const std::string* path, std::uint8_t deleted, Cluster owner,
                            std::vector<Cluster>& chain, std::size_t& subdirCount);
  // A deleted folder's chain is gone from the allocation table: after the
  // cluster `last` it goes on in the next cluster that none of its own
  // files takes (covered), when that cluster is free in every table copy,
  // not yet taken by this walk, no folder's first cluster and reads as
  // entries. 0: the folder ends at `last`.
  Cluster NextDeletedFolderCluster(Cluster last, const std::map<Cluster, Cluster>& covered);
  // Adds to covered the clusters the files and folders listed in one
  // cluster of a deleted folder take (as their restore would read them).
  void CoverListedClusters(disk::Bytes cluster, std::map<Cluster, Cluster>& covered);
  // A deleted folder whose last cluster found is full of entries: it may go
  // on further than the rules above look.
  struct OpenFolder {
    Cluster self = 0;  // its first cluster
    Cluster last = 0;
    std::string path;
    std::uint8_t deleted = 0;
    Cluster next = 0;     // NextPastOtherFolders, once looked
    bool looked = false;
  };
  // The cluster where the folder goes on, past the data of files any folder
  // of the walk lists, other folders' clusters and clusters in use: the
  // first free cluster ahead that reads as entries and that no folder of
  // the walk took, when its first entry names a file whose data lies right
  // before it (or right after it) and was not written before the folder's
  // last entry. 0: none.
  Cluster NextPastOtherFolders(const OpenFolder& folder);
  // A restore walks one folder: the links come from a walk of the whole
  // volume, made when a folder of the restore first needs them.
  const std::map<Cluster, Cluster>& LinksOfWholeVolume();
  std::vector<OpenFolder> openFolders_;
  Cluster openLast_ = 0;  // set by FollowDirectoryChain
  std::map<Cluster, Cluster> listedRuns_;  // clusters of the files every folder walked lists
  std::map<Cluster, Cluster> links_;
  bool linksOfVolumeKnown_ = false;
  std::uint64_t lookBudget_ = 0;  // clusters the looks of this walk may still read

  // Free in every copy of the allocation table (copies that cannot be read
  // free nothing).
  bool FreeInEveryTable(Cluster c);
  void BeginRootProgress(std::size_t subdirCount);
  // collected: the entry's SubdirItem when it was collected just now.
  void ActOnCandidate(disk::Bytes entry, const std::string* path, bool isFolder, SubdirItem* collected);
  void EnterSubdirectories(const SubdirList& subdirs, const std::string* path, std::uint8_t deleted);
  bool MatchesFilter();
  void HandRegion(std::uint32_t firstSector, std::uint32_t sectorCount);
  // Reads cluster c (or one root sector) into clusterBuffer_, noting in
  // gaps_ the sectors that could not be read.
  void ReadDirectoryCluster(Cluster c);
  void ReadRootSector(std::uint32_t sector);
  // Entry i of clusterBuffer_ lies in a sector that could not be read: it is
  // neither an entry nor the end of the directory.
  bool EntryLost(std::uint32_t i) const {
    return !gaps_.empty() && gaps_.Overlaps(static_cast<std::size_t>(i) * kDirEntrySize, kDirEntrySize);
  }

  disk::VolumeContext& ctx_;
  disk::OperationState& op_;
  disk::EngineHost& host_;
  WalkHooks hooks_;  // a copy: the walker may outlive a temporary set of hooks
  bool usable_ = false;
  std::uint32_t bytesPerCluster_ = 0;
  std::uint32_t entriesPerCluster_ = 0;
  std::uint32_t entriesPerSector_ = 0;

  std::vector<std::uint8_t> clusterBuffer_;
  disk::ReadGaps gaps_;  // of the last read into clusterBuffer_
  bool expectDotEntry_ = false;
  bool firstCharLost_ = false;
  struct LongNameSlot {
    std::array<std::uint8_t, kLongNameBytesPerEntry> bytes;
    std::uint8_t checksum;
  };
  std::array<LongNameSlot, kMaxLongNameEntries> longNameSlots_{};
  std::array<std::uint8_t, kMaxLongNameEntries * kLongNameBytesPerEntry> longNameBuffer_{};

  // The allocation table copies after the first, read when a deleted
  // folder first needs them.
  std::vector<std::vector<std::uint8_t>> otherTables_;
  bool otherTablesRead_ = false;
  bool otherTablesUsable_ = false;
  Cluster chainStart_ = 0;  // the deleted folder whose clusters are looked for
  // The folder whose entries are being handled, as its rows' parent fact:
  // its first cluster, or kNoFolder for the root.
  std::uint64_t listingFolder_ = disk::kNoFolder;

  // Directories already entered in this walk, by first cluster: a damaged
  // volume whose directories name themselves or an ancestor is walked once.
  std::unordered_set<Cluster> enteredDirectories_;

  NameConverter names_;
  std::string filterDollar_;  // the filter with its first character replaced by '$'
  // Per OEM byte: bit 0 when it makes 11 name bytes no real entry (0 or one
  // of ".\/:;,*?<>|"), bit k (k = 1..3) when its upper-cased text holds the
  // k-th anchor, an ASCII byte the filter needs after its first character.
  // A short entry whose bytes miss an anchor cannot match the filter and is
  // passed over without rebuilding its name.
  bool quickReject_ = false;
  std::uint8_t anchorBits_ = 0;
  std::array<std::uint8_t, 256> byteClass_{};
  // The same test eight bytes at a time, when each anchor is produced only
  // by itself (and, for a letter, its other case): a name byte b produces
  // anchor k exactly when (b | anchorFold_[k]) == anchorByte_[k].
  bool wordTest_ = false;
  std::size_t anchorCount_ = 0;
  std::array<std::uint64_t, 3> anchorFold_{};
  std::array<std::uint64_t, 3> anchorByte_{};

  bool MayMatchFilter(disk::Bytes entry) const {
    if (wordTest_) {
      const std::uint64_t low = disk::le64(entry, 0);
      const std::uint64_t high = disk::le16(entry, 8) | (static_cast<std::uint64_t>(disk::le8(entry, 10)) << 16);
      for (std::size_t k = 0; k < anchorCount_; ++k) {
        if (!HasByte(low | anchorFold_[k], anchorByte_[k]) && !HasByte(high | anchorFold_[k], anchorByte_[k])) {
          return false;
        }
      }
      return true;
    }
    std::uint8_t seen = 0;
    for (std::size_t i = 0; i < 11; ++i) seen |= byteClass_[disk::le8(entry, i)];
    return (seen & anchorBits_) == anchorBits_;
  }
  // True when one of the eight bytes of `word` equals the byte repeated in
  // `pattern` (the usual zero-byte test on their difference).
  static bool HasByte(std::uint64_t word, std::uint64_t pattern) {
    const std::uint64_t x = word ^ pattern;
    return ((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) != 0;
  }
  std::string scanFolder_;    // SearchedRoot + "<unknown>"
  // The linked scan: rows held with the cluster they were read from.
  bool linkScan_ = false;
  Cluster scanCluster_ = 0;
  std::vector<std::pair<Cluster, disk::FoundRow>> scanRows_;
  std::unordered_map<Cluster, std::string> scanPaths_;
  // The path of the folder whose first cluster is c, as far as it can be
  // linked (SearchedRoot + "<unknown>" for what cannot).
  const std::string& ScanFolderPath(Cluster c, int depth);
  // The name the entry of folder `child` has in the folder starting at
  // `parent` (0: the root); empty when none is found there.
  std::string NameInFolder(Cluster parent, Cluster child);
  // Reused per entry, so that handling an entry allocates nothing.
  std::string name_;
  std::string oemName_;      // the short name's OEM bytes, when name_ is a short name
  bool nameIsShort_ = false;
  bool nameReady_ = false;   // name_ holds the current entry's name
  std::string upperName_;
};

// ScanClusters with the first look held to a form (tests).
void ScanClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                  DirectoryWalker::FirstLook widest);

}  // namespace ambrelic::fat
