// Writing deleted FAT files back out to an ordinary folder, and the actions
// of the folder restore's walk (OpRestore) for each entry it meets. Nothing
// here writes to the searched volume.
#pragma once

#include <cstdint>
#include <string>

#include "disk/operation_state.h"
#include "disk/restored_file.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "fat/directory_walk.h"

namespace ambrelic::fat {

// Writes `size` bytes taken from `firstCluster` and the clusters after it
// (only the free ones when the first is free, wrapping once from the last
// cluster to cluster 2) into a new file at path. A name already taken gets
// " (2)", " (3)"... before its extension: nothing is ever appended to or
// replaced. "File writing failure." when the file cannot be created or a
// write fails (what was written stays). Returns true when every byte was
// written; sectors the medium could not give are written as zeros and the
// file is named to host.UnreadableIn, which alone leaves the result true.
// The file made is told to host.Restored with `modified`.
bool RestoreFatFile(const disk::VolumeContext& ctx, disk::EngineHost& host, const std::string& path,
                    std::uint32_t firstCluster, std::uint32_t size, const disk::VolumeTime& modified = {});

using disk::EntryRestore;

// One entry of a deleted folder being restored: a folder is made (the walk
// enters it afterwards), a file is written into its folder. The name is used
// in its safe form (it never leads out of the folder), shortened when it is
// longer than the target takes (platform::FitName). A folder whose name a
// file already holds takes a numbered name, as a file would. A path longer
// than the kernel takes shows the path-length message.
EntryRestore RestoreFatEntry(const disk::VolumeContext& ctx, disk::EngineHost& host, const RestoreCandidate& entry);

// The FAT side of the folder restore: walks the deleted folder starting at
// firstCluster into targetFolder (which exists), restoring every entry the
// name filter lets through (and every subfolder, for them). No progress
// dialog, no cancel. Each entry not restored whole adds one to
// op.IncompleteCount (a folder not made counts once, with what it held).
void RestoreFatFolder(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                      Cluster firstCluster, const std::string& targetFolder);

}  // namespace ambrelic::fat
