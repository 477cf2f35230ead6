// Writing deleted exFAT files back out to an ordinary folder, and the
// actions of the folder restore's walk for each entry it meets. Nothing here
// writes to the searched volume.
#pragma once

#include <cstdint>
#include <string>

#include "disk/operation_state.h"
#include "disk/row_facts.h"
#include "disk/restored_file.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "exfat/directory_walk.h"

namespace ambrelic::exfat {

// Writes a deleted file into a new file at path: the data of the clusters
// SelectRestoreClusters chooses, never more than its data length, and zeros
// (holes) past its valid data length. A name already taken gets " (2)",
// " (3)"... before its extension. "File writing failure." when the file
// cannot be created or a write fails (what was written stays). Returns true
// when the whole file was written; a volume that could not give every
// cluster ends the file where its clusters end and returns false. The file
// made is told to host.Restored with `modified`.
bool RestoreExfatFile(const disk::VolumeContext& ctx, disk::EngineHost& host, const std::string& path,
                      const disk::ExfatStream& stream, const disk::VolumeTime& modified = {});

using disk::EntryRestore;

// One entry of a deleted folder being restored, with the FAT restore's rules:
// the name in its safe form (never leading out of the folder), shortened when
// longer than the target takes (platform::FitName); a path longer than the
// kernel takes shows the path-length message; a folder is made (under a
// numbered name when a file holds its own; the walk enters it afterwards), a
// file is written into its folder.
EntryRestore RestoreExfatEntry(const disk::VolumeContext& ctx, disk::EngineHost& host, const RestoreCandidate& entry);

// The folder restore: walks the deleted folder into targetFolder (which
// exists), restoring every entry the name filter lets through (and every
// subfolder, for them). Each entry not restored whole adds one to
// op.IncompleteCount.
void RestoreExfatFolder(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        const disk::ExfatStream& folder, const std::string& targetFolder);

// The stream a found row's restore works from, from its typed facts alone
// (first cluster, lengths, NoFatChain), whatever its texts show.
disk::ExfatStream RowStream(const disk::RowFacts& facts, bool isFolder);

}  // namespace ambrelic::exfat
