// The cluster scan: clusters that no directory reaches any more, read as
// directories of deleted entries.
#pragma once

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"

namespace ambrelic::fat {

// The vacant-cluster scan (and, with op.IncludeUsedClusters, the scan of all
// clusters): every cluster 2..lastCluster that is free in fatWork (or every
// one) is read as a directory whose entries are all candidates. The caller
// sets op.ClusterScanActive (and op.IncludeUsedClusters).
void ScanClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host);

}  // namespace ambrelic::fat
