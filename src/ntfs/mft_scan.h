// The MFT walk: lists deleted NTFS records (search) and drives the folder
// restore.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "ntfs/mft_record.h"

namespace ambrelic::ntfs {

// Reads the NTFS boot sector into ctx.ntfsBootSector, sets bytesPerSector and
// lastCluster (the boot sector's clusters, never more than the device
// holds) and loads the MFT's own record. False for a boot sector or
// MFT record no NTFS volume can have (sectors other than a power of two
// from 256 to 4096 bytes, no sectors per cluster or clusters above 2 MiB, a
// total of sectors that makes no whole cluster (0 among them), a record
// size of 0 or above 64 KiB, an unreadable record 0).
bool PrepareNtfsVolume(disk::VolumeContext& ctx);

// The walk over every free MFT record: rows in OpSearch, the folder restore
// of folderRecord into targetFolder in OpRestore.
void ScanMft(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
             std::uint32_t folderRecord, const std::string& targetFolder);

// Records the MFT holds: the low 32 bits of its $DATA size over the record
// size, never more than fit in the volume.
std::uint64_t MftRecordCount(const disk::VolumeContext& ctx);

// Folder paths already built during one search, by parent record number.
using FolderPathCache = std::unordered_map<RecordNumber, std::string>;

// Examines one deleted record (fixups applied) and adds its row when it has
// a name and a standard-information time and passes the filters. The row's
// condition is read against clusterBitmap (the volume's $Bitmap); without
// one a file's condition is unknown.
void AddNtfsRow(const disk::VolumeContext& ctx, const disk::OperationState& op, disk::EngineHost& host,
                RecordNumber n, std::span<const std::uint8_t> record, FolderPathCache* cache = nullptr,
                const std::vector<std::uint8_t>* clusterBitmap = nullptr);

// Prepends the names of the folders from parent up to stop (or the root,
// record 5) to path. True when the chain reached stop; the search passes
// stop = 5, which is never reported as reached. A chain through a record
// that now holds a file, or that runs longer than 520 UTF-16 units or than
// maxSteps records (0: as many as the MFT has), ends with the lost-folder
// mark. steps, when given, gets each folder climbed with the folder above
// it: {folder, its parent}.
using FolderSteps = std::vector<std::pair<RecordNumber, RecordNumber>>;
bool BuildFolderPath(const disk::VolumeContext& ctx, std::string& path, RecordNumber parent,
                     RecordNumber stop, std::uint64_t maxSteps = 0, FolderSteps* steps = nullptr);

// "<不明>\" in the locale's character set: put before a path whose folders
// above could not be found.
std::string LostFolderMark();

// The "Modified" text of a Windows file time, in the local time zone:
// MM/DD/YYYY HH:MM. Empty when the time cannot be converted.
std::string FormatFileTime(std::uint64_t fileTime);

}  // namespace ambrelic::ntfs
