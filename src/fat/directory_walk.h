// The FAT directory walk: lists deleted files and folders (search), and
// serves the folder restore and the wipe of deleted entries through hooks.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"

namespace ambrelic::fat {

// Front of a FAT search (OpSearch) and of the wipe of deleted entries
// (OpReplaceInfo): walks the root directory and every reachable live or
// deleted subdirectory.
void SearchFat(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host);

// The vacant-cluster scan (and, with op.IncludeUsedClusters, the scan of all
// clusters): every cluster read as a directory of deleted entries.
void ScanClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host);

}  // namespace ambrelic::fat
