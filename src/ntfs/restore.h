// Writing deleted NTFS files back out to an ordinary folder, and the folder
// restore's step for one deleted record, called by the MFT walk while it
// runs in OpRestore. Nothing here writes to the searched volume.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "ntfs/mft_record.h"

namespace ambrelic::ntfs {

// The last parent reference seen (all 64 bits), the folder path built for
// it relative to the folder being restored, and whether that parent lies
// inside it. Rebuilt only when a record's parent reference changes.
struct ParentCache {
  bool valid = false;
  std::uint64_t parentReference = 0;
  std::string relativePath;
  bool insideFolder = false;
};

// Writes the unnamed $DATA of record n into a new file at path: its real
// size, decompressed, sparse runs and the part past the initialized size as
// zeros (left as holes in the new file). A name already taken gets " (2)",
// " (3)"... before its extension: nothing is appended to or replaced. No
// file is created for a record that is not a file record or has no unnamed
// $DATA. Returns true when every byte was written.
bool RestoreNtfsFile(const disk::VolumeContext& ctx, disk::EngineHost& host, RecordNumber n,
                     const std::string& path);

// Restores record n (a deleted record, fixups applied) when its parent chain
// reaches folderRecord: its folders are created under targetFolder and a
// file's data is written there.
void RestoreFolderEntry(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        RecordNumber n, std::span<const std::uint8_t> record, RecordNumber folderRecord,
                        const std::string& targetFolder, ParentCache& cache);

}  // namespace ambrelic::ntfs
