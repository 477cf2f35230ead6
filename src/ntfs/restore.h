// Restoring deleted NTFS files and folders to an ordinary folder: one
// file's data from its own run list, and the folder restore's step for each
// deleted record the MFT walk meets in OpRestore. Nothing here writes to the
// searched volume.
#pragma once

#include <cstdint>
#include <span>
#include <string>

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
// the whole file was written.
bool RestoreNtfsFile(const disk::VolumeContext& ctx, disk::EngineHost& host, RecordNumber n,
                     const std::string& path);

// The last parent reference seen (all 64 bits), the folder path built for
// it relative to the folder being restored, and whether that parent lies
// inside it. Rebuilt only when a record's parent reference changes.
struct ParentCache {
  bool valid = false;
  std::uint64_t parentReference = 0;
  std::string relativePath;
  bool insideFolder = false;
};

// Makes target + "/" + relative exist, folder by folder from the left.
// relative holds folder names from the volume joined by '\'; each becomes
// one safe path component. Returns the full path, or empty text when a
// folder cannot be created (silently) or the path is too long (after the
// path-length message: more than 253 UTF-16 characters, or a name of more
// than 255 bytes).
std::string CreateRelativeFolders(disk::EngineHost& host, const std::string& target, const std::string& relative);

// Restores record n (a deleted record, fixups applied) when its parent chain
// reaches folderRecord: its folders are created under targetFolder and a
// file's data is written there. False when the user cancelled the file's
// restore: the folder restore ends.
bool RestoreFolderEntry(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        RecordNumber n, std::span<const std::uint8_t> record, RecordNumber folderRecord,
                        const std::string& targetFolder, ParentCache& cache);

}  // namespace ambrelic::ntfs
