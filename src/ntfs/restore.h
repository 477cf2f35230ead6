// Restoring deleted NTFS files and folders to an ordinary folder: one
// file's data from its own run list, and the folder restore's step for each
// deleted record the MFT walk meets in OpRestore. Nothing here writes to the
// searched volume.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "ntfs/mft_record.h"

namespace ambrelic::ntfs {

// Writes the unnamed $DATA of record n into a new file at path: a resident
// value in one write, otherwise unit by unit, decompressed, never more than
// the real size nor the allocated size; units of zeros (sparse runs, the
// part past the initialized size) become holes. A name already taken gets
// " (2)", " (3)"... before its extension. A record that is no file record
// or has no unnamed $DATA creates nothing and says nothing; a file that
// cannot be created or written shows "File writing failure." and keeps what
// was written. Before every unit it reads it asks host.CancelRequested():
// on Cancel it stops, keeps what was written and says nothing. True when
// the whole file was written; sectors the medium could not give are written
// as zeros and the file is named to host.UnreadableIn, which alone leaves
// the result true.
bool RestoreNtfsFile(const disk::VolumeContext& ctx, disk::EngineHost& host, RecordNumber n,
                     const std::string& path);

// Where the folders of one folder restore went, by record number: made
// under the target (with the path they were made at, which carries a
// number when a file held the name first), outside the restored folder, or
// not made. Filled as the walk meets records, so that each folder is looked
// up on the volume and made once, and a folder's contents follow it
// whatever name it had to take.
struct FolderPlace {
  enum class Kind : std::uint8_t { Made, Outside, Failed };
  Kind kind = Kind::Outside;
  std::string path;  // Made: the folder on the target
};
struct ParentCache {
  std::unordered_map<RecordNumber, FolderPlace> folders;
  std::uint64_t maxSteps = 0;  // records of the MFT, once needed
};

// Finds where folder record `folder` belongs under targetFolder, the place
// of folderRecord, making the missing folders of its chain from the top
// down: each under its name in safe form (platform::FitName of
// platform::SafePathComponent), a name that a file holds getting " (2)"...
// The chain is followed through the low 32 bits of the parent references,
// for at most as many steps as the MFT has records. A folder that cannot be
// made (too long a path, after the path-length message; or refused by the
// target) is Failed, and adds one to op.IncompleteCount; so are the folders
// below it, which add nothing.
FolderPlace CreateRelativeFolders(const disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                                  RecordNumber folder, RecordNumber folderRecord, const std::string& targetFolder,
                                  ParentCache& cache);

// Restores record n (a deleted record, fixups applied) when its parent chain
// reaches folderRecord: its folders are made under targetFolder and a
// file's data is written there. A file not written whole adds one to
// op.IncompleteCount. False when the user cancelled the file's restore:
// the folder restore ends.
bool RestoreFolderEntry(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        RecordNumber n, std::span<const std::uint8_t> record, RecordNumber folderRecord,
                        const std::string& targetFolder, ParentCache& cache);

}  // namespace ambrelic::ntfs
