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
#include <memory>
#include <span>
#include <string>
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
};

// Where the restore and the wipe plug into the walk. Empty members do
// nothing.
struct WalkHooks {
  // OpRestore: each candidate entry (create the folder, restore the file).
  std::function<void(const RestoreCandidate&)> restoreEntry;
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
  void WalkDirectory(Cluster start, const std::string* path, std::uint8_t deleted);
  // One 32-byte entry of the directory being read.
  void HandleDirEntry(disk::Bytes entry, int& longNameCount, const std::string* path, SubdirList& subdirs,
                      std::uint8_t deleted);
  // Reads cluster c and handles it as a directory of deleted entries.
  void ScanClusterAsDirectory(Cluster c);
  // The same over a cluster already read.
  void HandleClusterAsDirectory(disk::Bytes cluster);

  // The short name of an entry in locale text; sets FirstCharLost.
  std::string BuildShortName(disk::Bytes entry);
  bool FirstCharLost() const { return firstCharLost_; }
  void SetExpectDotEntry(bool on) { expectDotEntry_ = on; }

 private:
  bool CancelledNow();
  void RebuildName(disk::Bytes entry, int longNameCount);
  void BuildShortNameInto(disk::Bytes entry);
  bool FollowDirectoryChain(Cluster start, const std::string* path, std::vector<Cluster>& chain,
                            std::size_t& subdirCount);
  void BeginRootProgress(std::size_t subdirCount);
  void ActOnCandidate(disk::Bytes entry, const std::string* path, bool isFolder);
  void EnterSubdirectories(const SubdirList& subdirs, const std::string* path, std::uint8_t deleted);
  bool MatchesFilter();
  void HandRegion(std::uint32_t firstSector, std::uint32_t sectorCount);

  disk::VolumeContext& ctx_;
  disk::OperationState& op_;
  disk::EngineHost& host_;
  WalkHooks hooks_;  // a copy: the walker may outlive a temporary set of hooks
  bool usable_ = false;
  std::uint32_t bytesPerCluster_ = 0;
  std::uint32_t entriesPerCluster_ = 0;
  std::uint32_t entriesPerSector_ = 0;

  std::vector<std::uint8_t> clusterBuffer_;
  bool expectDotEntry_ = false;
  bool firstCharLost_ = false;
  struct LongNameSlot {
    std::array<std::uint8_t, kLongNameBytesPerEntry> bytes;
    std::uint8_t checksum;
  };
  std::array<LongNameSlot, kMaxLongNameEntries> longNameSlots_{};
  std::array<std::uint8_t, kMaxLongNameEntries * kLongNameBytesPerEntry> longNameBuffer_{};

  // Directories already entered in this walk, by first cluster: a damaged
  // volume whose directories name themselves or an ancestor is walked once.
  std::unordered_set<Cluster> enteredDirectories_;

  NameConverter names_;
  std::string filterDollar_;  // the filter with its first character replaced by '$'
  std::string scanFolder_;    // SearchedRoot + "<unknown>"
  // Reused per entry, so that handling an entry allocates nothing.
  std::string name_;
  std::string oemName_;      // the short name's OEM bytes, when name_ is a short name
  bool nameIsShort_ = false;
  std::string upperName_;
};

}  // namespace ambrelic::fat
