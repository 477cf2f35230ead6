// Writing deleted exFAT files back out to an ordinary folder, and the
// actions of the folder restore's walk for each entry it meets. Nothing here
// writes to the searched volume.
#pragma once

#include <cstdint>
#include <string>

#include "disk/operation_state.h"
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
// cluster ends the file where its clusters end, silently, as the FAT
// restore does, and returns false.
bool RestoreExfatFile(const disk::VolumeContext& ctx, disk::EngineHost& host, const std::string& path,
                      const disk::ExfatStream& stream);

// One entry of a deleted folder being restored, with the FAT restore's rules:
// the name in its safe form (never leading out of the folder), the platform's
// path limits and the 255-byte name limit shown with the path-length message,
// a folder created (the walk enters it afterwards), a file written into its
// folder, and a file whose folder could not be created skipped silently.
void RestoreExfatEntry(const disk::VolumeContext& ctx, disk::EngineHost& host, const RestoreCandidate& entry);

// The folder restore: walks the deleted folder into targetFolder (which
// exists), restoring every entry the name filter lets through.
void RestoreExfatFolder(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        const disk::ExfatStream& folder, const std::string& targetFolder);

// The stream a row's restore works from: the one the search noted for the
// row (Name, In Folder, Size and Cluster texts), or, for a row it did not
// list, one made from the texts alone (the size as both lengths, the FAT
// chain tried first).
disk::ExfatStream RowStream(const disk::VolumeContext& ctx, const std::string& name, const std::string& folder,
                            const std::string& sizeText, std::uint64_t size, std::uint64_t number);

}  // namespace ambrelic::exfat
