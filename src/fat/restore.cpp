#include "fat/restore.h"

#include <unistd.h>

#include <vector>

#include "disk/sector_device.h"
#include "fat/allocation_table.h"
#include "platform/files.h"

namespace ambrelic::fat {
namespace {

constexpr const char* kWriteFailure = "File writing failure.";
constexpr const char* kPathTooLong =
    "Restoring path length exceeded maximum path length.\n\nPlease select a folder with shorter path length.";

}  // namespace

bool RestoreFatFile(const disk::VolumeContext& ctx, disk::EngineHost& host, const std::string& path,
                    std::uint32_t firstCluster, std::uint32_t size, const disk::VolumeTime& modified) {
  const platform::NewFile file = platform::CreateNewFile(path);
  if (file.fd < 0) {
    host.ShowFileMessage(path, kWriteFailure);
    return false;
  }
  std::vector<std::uint8_t> buffer(ctx.bytesPerCluster);
  // Reads that lose sectors (zeros in the file) move this count.
  const std::uint64_t unreadableBefore = disk::UnreadableEvents(ctx);
  Cluster c = firstCluster;
  // When the first cluster is still free, the rest of the file is looked
  // for among the free clusters only; when it is in use (a row listed with
  // "include used clusters"), the clusters are taken as they come.
  const bool onlyFree = FatGetEntry(ctx, ctx.fatCopy, c) == kFreeCluster;
  bool wrapped = false;
  std::uint32_t remaining = size;
  bool complete = true;
  // Each round consumes at least one cluster's worth of `remaining`, and the
  // search for the next cluster passes every cluster at most twice.
  while (remaining > 0) {
    // A device that stopped answering gives only zeros: the file ends here.
    if (buffer.empty() || !IsValidCluster(ctx, c) || disk::DeviceAbandoned(ctx)) {
      complete = false;
      break;
    }
    ReadCluster(ctx, c, buffer.data());
    std::uint32_t n;
    bool lastFound = false;
    if (remaining > ctx.bytesPerCluster) {
      n = ctx.bytesPerCluster;
      remaining -= n;
      do {
        ++c;
        if (c > ctx.lastCluster) {
          if (wrapped) {
            lastFound = true;
            break;
          }
          c = 2;
          wrapped = true;
        }
        // Back at the first cluster after wrapping: every cluster has been
        // offered once; taking them again would repeat the file's start.
        if (wrapped && c >= firstCluster) {
          lastFound = true;
          break;
        }
      } while (onlyFree && FatGetEntry(ctx, ctx.fatCopy, c) != kFreeCluster);
    } else {
      n = remaining;
      remaining = 0;
    }
    // No further cluster after wrapping once: the file still gets the
    // cluster just read (it is the file's own data), then ends.
    if (!platform::WriteAll(file.fd, buffer.data(), n)) {
      ::close(file.fd);
      host.ShowFileMessage(file.path, kWriteFailure);
      return false;
    }
    if (lastFound) {
      complete = false;
      break;
    }
  }
  // What a device that stopped answering could not give still takes its
  // place: the file keeps its whole size, as with any unreadable sector.
  const bool sized = !disk::DeviceAbandoned(ctx) || platform::SetFileLength(file.fd, size);
  if (::close(file.fd) != 0 || !sized) {
    host.ShowFileMessage(file.path, kWriteFailure);
    return false;
  }
  // Written whole, with zeros where sectors could not be read: the command
  // names such a file when it ends.
  if (disk::UnreadableEvents(ctx) != unreadableBefore) host.UnreadableIn(file.path);
  host.Restored(file.path, modified, false);
  return complete;
}

EntryRestore RestoreFatEntry(const disk::VolumeContext& ctx, disk::EngineHost& host, const RestoreCandidate& entry) {
  EntryRestore result;
  const std::string name = platform::FitName(platform::SafePathComponent(entry.name));
  const std::string full = entry.parentPath + "/" + name;
  if (full.size() > platform::kMaxPathBytes) {
    host.ShowMessage(kPathTooLong);
    return result;
  }
  if (entry.isFolder) {
    result.folderPath = platform::MakeFreeFolder(entry.parentPath, name);
    result.complete = !result.folderPath.empty();
    if (result.complete) host.Restored(result.folderPath, entry.modified, true);
    return result;
  }
  // The walk enters only the folders it made; this holds unless something
  // took the folder away meanwhile.
  if (!platform::IsFolder(entry.parentPath)) return result;
  if (entry.size != 0 && !IsValidCluster(ctx, entry.firstCluster)) return result;
  result.complete = RestoreFatFile(ctx, host, full, entry.firstCluster, entry.size, entry.modified);
  return result;
}

void RestoreFatFolder(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                      Cluster firstCluster, const std::string& targetFolder) {
  WalkHooks hooks;
  hooks.restoreEntry = [&ctx, &op, &host](const RestoreCandidate& entry) {
    EntryRestore done = RestoreFatEntry(ctx, host, entry);
    if (!done.complete) ++op.IncompleteCount;
    return std::move(done.folderPath);
  };
  RestoreFolderWalk(ctx, op, host, firstCluster, targetFolder, hooks);
}

}  // namespace ambrelic::fat
