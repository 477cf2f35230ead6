// The folder restore's step for one deleted record, called by the MFT walk
// while it runs in OpRestore. The walk owns the ParentCache for the length
// of one folder restore.
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

// Restores record n (a deleted record, fixups applied) when its parent chain
// reaches folderRecord: its folders are created under targetFolder and a
// file's data is written there.
void RestoreFolderEntry(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        RecordNumber n, std::span<const std::uint8_t> record, RecordNumber folderRecord,
                        const std::string& targetFolder, ParentCache& cache);

}  // namespace ambrelic::ntfs
