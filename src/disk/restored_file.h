// What every engine's restore does around the bytes it reads: the new file
// made under a name not taken yet, its closing with the failure told, the
// files that got zeros for unreadable sectors named, and the entries of a
// folder restore made folders or files. Nothing here writes to the
// searched volume.
#pragma once

#include <functional>
#include <string>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"

namespace ambrelic::disk {

// A file being restored. A name already taken gets " (2)", " (3)"...
// before its extension: nothing is ever appended to or replaced. When the
// file cannot be created, "File writing failure." is told at once.
class RestoredFile {
 public:
  RestoredFile(const VolumeContext& ctx, EngineHost& host, const std::string& path);
  RestoredFile(const RestoredFile&) = delete;
  RestoredFile& operator=(const RestoredFile&) = delete;
  ~RestoredFile();

  bool Opened() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }  // the path really used
  // Sectors the medium could not give were read (as zeros) since the file
  // was made, or since `events` (UnreadableEvents) when the reads that fed
  // it began before it was made.
  bool LostSectors() const;
  void CountLossesSince(std::uint64_t events) { unreadableBefore_ = events; }
  // A write failed: the file is closed as it stands and the failure told.
  // Returns false.
  bool Fail();
  // Closes the file. When ok is false or the close fails, the failure is
  // told and false returned; otherwise a file that got zeros for
  // unreadable sectors is named to host.UnreadableIn and the file told to
  // host.Restored with `modified`.
  bool Finish(bool ok, const VolumeTime& modified);

 private:
  const VolumeContext& ctx_;
  EngineHost& host_;
  std::string path_;
  int fd_ = -1;
  std::uint64_t unreadableBefore_ = 0;
};

// What became of one entry of a folder restore.
struct EntryRestore {
  bool complete = false;   // the folder was made, or the file written whole
  std::string folderPath;  // a folder: where it was made (empty: not made)
};

// One entry of a deleted folder being restored into parentPath: the name in
// its safe form (never leading out of the folder), shortened when longer
// than the target takes (platform::FitName); a path longer than the kernel
// takes shows the path-length message. A folder is made (under a numbered
// name when a file holds its own; the walk enters it afterwards); a file is
// written by writeFile(path), which tells whether it was written whole.
EntryRestore RestoreEntry(EngineHost& host, const std::string& parentPath, const std::string& name, bool isFolder,
                          const VolumeTime& modified, const std::function<bool(const std::string&)>& writeFile);

// What the walk of a folder restore goes on with after one entry: where the
// folder was made (empty: not made, or a file). An entry not restored whole
// counts in op.IncompleteCount.
std::string TallyEntry(OperationState& op, EntryRestore done);

}  // namespace ambrelic::disk
