// The application's operation state that the engines read and write: which
// operation the shared walks serve, the cancel flag, the scan flags, the
// counters and the user's search options. One instance, owned by the
// application, handed to the engines by reference.
#pragma once

#include <cstdint>
#include <string>

#include "disk/sinks.h"

namespace ambrelic::disk {

enum OperationModeValue : std::uint8_t { OpSearch = 0, OpRestore = 1, OpReplaceInfo = 2 };

struct OperationState {
  std::uint8_t OperationMode = OpSearch;
  int SearchCancelled = 0;
  int ClusterScanActive = 0;
  // 1 while the cluster scan covers the clusters in use too (scan all
  // clusters); the search option of check box 1009 is the one below.
  int IncludeUsedClusters = 0;
  int FoundCount = 0;
  int NextRow = 0;
  ProgressSink* ActiveProgress = nullptr;
  // Files and folders the running restore could not write whole (a folder
  // that could not be made counts once, with what it held); the restore
  // command tells the count at its end.
  std::uint64_t IncompleteCount = 0;

  // The main dialog's members as the last command copied them.
  std::string nameFilter;     // already upper-cased, as the edit box keeps it
  // Check box 1009 (include clusters used by other files): deleted files
  // whose first cluster another file now holds are listed too.
  int listFilesOnUsedClusters = 0;
  int includeZeroSize = 0;      // check box 1008
};


}  // namespace ambrelic::disk
