// The exFAT directory walk: lists deleted files and folders (search), reads
// clusters as directories (the vacant-cluster scan and the scan of all
// clusters), and walks a deleted folder for its restore.
//
// A directory is read as one stream of 32-byte entries (an entry set may
// run on into the directory's next cluster). The tree is walked with a
// stack of its own, so that no volume, however deep its folders, can
// exhaust the program's stack, and each folder's rows come before those of
// its subfolders, as in the FAT walk.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "exfat/allocation.h"
#include "exfat/entry_set.h"

namespace ambrelic::exfat {

// A candidate entry of a folder being restored (OpRestore).
struct RestoreCandidate {
  std::string parentPath;  // the folder being restored into
  std::string name;        // the name as the volume holds it
  bool isFolder = false;
  disk::ExfatStream stream;
  disk::VolumeTime modified;  // the set's last-write time
};

struct WalkHooks {
  // OpRestore: each candidate entry (create the folder, restore the file).
  // For a folder, returns where it was made (empty: not made); the walk
  // enters it there.
  std::function<std::string(const RestoreCandidate&)> restoreEntry;
};

// A directory waiting to be walked.
struct PendingDirectory {
  disk::ExfatStream stream;
  std::string path;          // its own path: C:\A\B, or a target folder
  bool isRoot = false;
  bool deleted = false;      // walk it as deleted: every set a candidate
  bool onlyFree = true;      // read only its free clusters
  std::size_t rootIndex = 0;  // j + 1 for the root's j-th subdirectory
  // A deleted folder that goes on past other folders' data: its clusters
  // from this one on (the stream still names its first cluster).
  Cluster goesOnAt = 0;
};

class DirectoryWalker {
 public:
  DirectoryWalker(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                  const WalkHooks& hooks = {});

  // False when the volume was not prepared as exFAT.
  bool Usable() const { return usable_; }

  // Walks the tree from a directory: its entries, then its subdirectories.
  void WalkTree(PendingDirectory start);
  // After the whole tree was walked: deleted folders whose last cluster
  // ends with a whole set go on past other folders' data
  // (NextPastOtherFolders), when no other such folder could have grown
  // there; each new cluster is walked as the folder's.
  void GoOnPastOtherFolders();
  // The links made so far: a deleted folder's last cluster -> its next.
  const std::map<Cluster, Cluster>& FolderLinks() const { return links_; }

  // Handles the sets that begin at entries [from, to) of `entries`; a set
  // may run on past `to`, up to the end of `entries`. Subdirectories are
  // collected into subdirs when it is not null. False at an end-of-directory
  // entry. folder: the rows' parent fact (the walked folder's first
  // cluster; kNoFolder for the root and for what a cluster scan finds).
  bool HandleEntries(disk::Bytes entries, std::size_t from, std::size_t to, const std::string& path, bool deletedDir,
                     std::vector<PendingDirectory>* subdirs, std::uint64_t folder = disk::kNoFolder);

  // The In Folder text of what a cluster scan finds.
  const std::string& ScanFolder() const { return scanFolder_; }
  // Clusters below this count as read (the cluster scan has passed them):
  // a deleted folder found by the scan is walked over the rest.
  void SkipClustersBelow(Cluster c) { skipBelow_ = c; }

 private:
  bool CancelledNow();
  void HandleSet(const EntrySet& set, const std::string& path, bool deletedDir,
                 std::vector<PendingDirectory>* subdirs);
  // The folder a restore made for the set (empty for anything else).
  std::string ActOnCandidate(const EntrySet& set, const std::string& path, bool isFolder);
  bool MatchesFilter();
  std::vector<Cluster> ClustersOf(const PendingDirectory& d);
  // A deleted folder whose last cluster ends inside a set goes on in the
  // cluster that holds the rest of that set, wherever its writer put it:
  // the first free cluster ahead (not yet read by this walk) whose first
  // entries complete the set, its checksum and name hash holding. Repeated
  // while the folder's new last cluster ends the same way.
  // True when the folder's last cluster is full and ends with a whole set:
  // it may go on further (GoOnPastOtherFolders).
  bool FollowCutSets(std::vector<Cluster>& clusters);
  struct OpenFolder {
    PendingDirectory directory;
    Cluster last = 0;
    Cluster next = 0;  // NextPastOtherFolders, once looked
    bool looked = false;
  };
  // The cluster where the folder goes on: the first free cluster ahead of
  // its last one and of every file its last cluster lists, not read by
  // this walk, that begins with a whole set (checksum holding) whose file's
  // data lies right after it (or right before it), made no earlier than
  // the folder's last set. Clusters in use, read by the walk, or of data
  // are passed over; a cluster never written, or one that begins with the
  // rest of a set, ends the look. 0: none.
  Cluster NextPastOtherFolders(const OpenFolder& folder);
  // A restore walks one folder: the links come from a walk of the whole
  // volume, made when a folder of the restore first needs them.
  const std::map<Cluster, Cluster>& LinksOfWholeVolume();
  std::vector<OpenFolder> openFolders_;
  std::map<Cluster, Cluster> links_;
  bool linksOfVolumeKnown_ = false;
  // Clusters the looks of this walk may still read.
  static constexpr std::uint64_t kUnsetBudget = ~0ull;
  std::uint64_t lookBudget_ = kUnsetBudget;

  disk::VolumeContext& ctx_;
  disk::OperationState& op_;
  disk::EngineHost& host_;
  WalkHooks hooks_;
  bool usable_ = false;
  Cluster skipBelow_ = 0;
  std::uint64_t listingFolder_ = disk::kNoFolder;  // of the entries being handled
  std::string scanFolder_;
  // Reused per set, so that handling a set allocates little.
  std::string name_;
  std::string upperName_;
  std::vector<std::uint8_t> directory_;
};

// Front of an exFAT search: walks the root directory and every reachable
// live or deleted folder, listing each deleted file and folder that passes
// the filters.
void SearchExfat(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host);

// The vacant-cluster scan (every cluster free in the bitmap that the search
// walk did not read as a folder) and, with op.IncludeUsedClusters, the scan
// of all clusters: each read as a directory whose sets are all candidates.
void ScanExfatClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host);

// The walk of a deleted folder for its restore, into targetPath (an
// existing folder), every entry a candidate. No progress dialog, no cancel.
void RestoreFolderWalk(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                       const disk::ExfatStream& folder, const std::string& targetPath, const WalkHooks& hooks);

// A set's name (UTF-16) in the locale's text.
std::string SetName(const EntrySet& set);

}  // namespace ambrelic::exfat
