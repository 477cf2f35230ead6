#include "fat/restore.h"

#include <unistd.h>

#include <vector>

#include "disk/cluster_walk.h"
#include "disk/restored_file.h"
#include "disk/sector_device.h"
#include "fat/allocation_table.h"
#include "platform/files.h"

namespace ambrelic::fat {

bool RestoreFatFile(const disk::VolumeContext& ctx, disk::EngineHost& host, const std::string& path,
                    std::uint32_t firstCluster, std::uint32_t size, const disk::VolumeTime& modified) {
  disk::RestoredFile out(ctx, host, path);
  if (!out.Opened()) return false;
  std::vector<std::uint8_t> buffer(ctx.bytesPerCluster);
  Cluster c = firstCluster;
  // When the first cluster is still free, the rest of the file is looked
  // for among the free clusters only; when it is in use (a row listed with
  // "include used clusters"), the clusters are taken as they come.
  const bool onlyFree = FatGetEntry(ctx, ctx.fatCopy, c) == kFreeCluster;
  disk::WrappingClusterOrder order(firstCluster, firstCluster, ctx.lastCluster);
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
        if (!order.Next()) {
          lastFound = true;
          break;
        }
        c = static_cast<Cluster>(order.at());
      } while (onlyFree && FatGetEntry(ctx, ctx.fatCopy, c) != kFreeCluster);
    } else {
      n = remaining;
      remaining = 0;
    }
    // No further cluster after wrapping once: the file still gets the
    // cluster just read (it is the file's own data), then ends.
    if (!platform::WriteAll(out.fd(), buffer.data(), n)) return out.Fail();
    if (lastFound) {
      complete = false;
      break;
    }
  }
  // What a device that stopped answering could not give still takes its
  // place: the file keeps its whole size, as with any unreadable sector.
  const bool sized = !disk::DeviceAbandoned(ctx) || platform::SetFileLength(out.fd(), size);
  return out.Finish(sized, modified) && complete;
}

EntryRestore RestoreFatEntry(const disk::VolumeContext& ctx, disk::EngineHost& host, const RestoreCandidate& entry) {
  return disk::RestoreEntry(host, entry.parentPath, entry.name, entry.isFolder, entry.modified,
                            [&](const std::string& path) {
                              if (entry.size != 0 && !IsValidCluster(ctx, entry.firstCluster)) return false;
                              return RestoreFatFile(ctx, host, path, entry.firstCluster, entry.size, entry.modified);
                            });
}

void RestoreFatFolder(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                      Cluster firstCluster, const std::string& targetFolder) {
  WalkHooks hooks;
  hooks.restoreEntry = [&ctx, &op, &host](const RestoreCandidate& entry) {
    return disk::TallyEntry(op, RestoreFatEntry(ctx, host, entry));
  };
  RestoreFolderWalk(ctx, op, host, firstCluster, targetFolder, hooks);
}

}  // namespace ambrelic::fat
