#include "ntfs/restore.h"

#include <algorithm>
#include <unistd.h>

#include "ntfs/data_runs.h"
#include "platform/files.h"

namespace ambrelic::ntfs {

bool RestoreNtfsFile(const disk::VolumeContext& ctx, disk::EngineHost&, RecordNumber n, const std::string& path) {
  auto stream = DataStream::Open(ctx, n);
  if (!stream) return false;
  const platform::NewFile file = platform::CreateNewFile(path);
  if (file.fd < 0) return false;
  bool ok = true;
  bool hole = false;
  for (auto piece = stream->ReadNext(); ok && !piece.empty(); piece = stream->ReadNext()) {
    // Units of zeros (sparse runs, data past the initialized size) become
    // holes: the file reads the same and a large sparse file takes no space.
    if (std::all_of(piece.begin(), piece.end(), [](std::uint8_t c) { return c == 0; })) {
      ok = platform::SkipBytes(file.fd, piece.size());
      hole = true;
    } else {
      ok = platform::WriteAll(file.fd, piece.data(), piece.size());
      hole = false;
    }
  }
  if (ok && hole) ok = platform::SetFileLength(file.fd, stream->size() - stream->remaining());
  ::close(file.fd);
  return ok && stream->remaining() == 0;
}

// The folder restore writes nothing yet; the walk already calls here for
// every deleted record, so only this step remains to be filled.
void RestoreFolderEntry(disk::VolumeContext&, disk::OperationState&, disk::EngineHost&, RecordNumber,
                        std::span<const std::uint8_t>, RecordNumber, const std::string&, ParentCache&) {}

}  // namespace ambrelic::ntfs
