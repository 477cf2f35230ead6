// The MFT walk: lists deleted NTFS records (search) and drives the folder
// restore.
#pragma once

#include <cstdint>
#include <string>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"

namespace ambrelic::ntfs {

// Reads the NTFS boot sector into ctx.ntfsBootSector, sets bytesPerSector and
// lastCluster and loads the MFT's own record. False for a boot sector or
// MFT record no NTFS volume can have (0 sectors per cluster, 0 or odd bytes
// per sector, a record size of 0 or above 64 KiB, an unreadable record 0).
bool PrepareNtfsVolume(disk::VolumeContext& ctx);

// The walk over every free MFT record: rows in OpSearch, the folder restore
// of folderRecord into targetFolder in OpRestore.
void ScanMft(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
             std::uint32_t folderRecord, const std::string& targetFolder);

}  // namespace ambrelic::ntfs
