#include "exfat/restore.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "disk/restored_file.h"
#include "disk/sector_device.h"
#include "exfat/allocation.h"
#include "platform/files.h"
#include "platform/text.h"

namespace ambrelic::exfat {
namespace {

// Clusters are read and written in pieces of at most this many bytes.
constexpr std::uint64_t kChunkBytes = 1u << 20;

bool AllZero(const std::uint8_t* bytes, std::size_t n) {
  return std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0; });
}

// Writes n bytes at the file's position; a run of zeros at least a cluster
// long becomes a hole instead (the file's length is set at the end).
bool WriteOrSkip(int fd, const std::uint8_t* bytes, std::size_t n, std::size_t piece) {
  for (std::size_t at = 0; at < n;) {
    const std::size_t len = std::min(piece, n - at);
    const bool ok = AllZero(bytes + at, len) ? platform::SkipBytes(fd, len) : platform::WriteAll(fd, bytes + at, len);
    if (!ok) return false;
    at += len;
  }
  return true;
}

}  // namespace

bool RestoreExfatFile(const disk::VolumeContext& ctx, disk::EngineHost& host, const std::string& path,
                      const disk::ExfatStream& stream, const disk::VolumeTime& modified) {
  disk::RestoredFile out(ctx, host, path);
  if (!out.Opened()) return false;
  const ExfatVolume& v = VolumeOf(ctx);
  bool complete = true;
  const std::vector<ClusterRun> runs =
      SelectRestoreClusters(ctx, stream.firstCluster, stream.dataLength, stream.noFatChain, complete);
  const std::uint64_t bpc = v.bytesPerCluster;
  std::uint64_t clusters = 0;
  for (const ClusterRun& r : runs) clusters += r.count;
  // Never more than the data length, nor than the clusters hold.
  const std::uint64_t total = std::min(stream.dataLength, clusters * bpc);
  const std::uint64_t valid = std::min(stream.validDataLength, total);

  const std::uint64_t chunkClusters = std::max<std::uint64_t>(1, kChunkBytes / std::max<std::uint64_t>(bpc, 1));
  std::vector<std::uint8_t> buffer(valid == 0 ? 0 : static_cast<std::size_t>(chunkClusters * bpc));
  std::uint64_t written = 0;  // bytes of the file done so far
  bool ok = true;
  for (const ClusterRun& r : runs) {
    for (std::uint64_t k = 0; k < r.count && written < valid && ok;) {
      // A device that stopped answering gives only zeros: the file ends
      // here (it keeps its length, as with any unreadable sector).
      if (disk::DeviceAbandoned(ctx)) {
        complete = false;
        break;
      }
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunkClusters, r.count - k));
      ReadClusters(ctx, static_cast<Cluster>(r.first + k), n, buffer.data());
      const std::uint64_t take = std::min<std::uint64_t>(static_cast<std::uint64_t>(n) * bpc, valid - written);
      ok = WriteOrSkip(out.fd(), buffer.data(), static_cast<std::size_t>(take), static_cast<std::size_t>(bpc));
      written += take;
      k += n;
    }
    if (written >= valid || !ok || disk::DeviceAbandoned(ctx)) break;
  }
  // Past the valid data length the file reads as zeros: a hole to its end.
  if (ok) ok = platform::SetFileLength(out.fd(), total);
  // Given up during this file: what followed the failure was never read.
  if (out.LostSectors() && disk::DeviceAbandoned(ctx)) complete = false;
  return out.Finish(ok, modified) && complete;
}

EntryRestore RestoreExfatEntry(const disk::VolumeContext& ctx, disk::EngineHost& host, const RestoreCandidate& entry) {
  return disk::RestoreEntry(host, entry.parentPath, entry.name, entry.isFolder, entry.modified,
                            [&](const std::string& path) {
                              if (entry.stream.dataLength != 0 &&
                                  !IsValidCluster(VolumeOf(ctx), entry.stream.firstCluster)) {
                                return false;
                              }
                              return RestoreExfatFile(ctx, host, path, entry.stream, entry.modified);
                            });
}

void RestoreExfatFolder(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        const disk::ExfatStream& folder, const std::string& targetFolder) {
  WalkHooks hooks;
  hooks.restoreEntry = [&ctx, &op, &host](const RestoreCandidate& entry) {
    return disk::TallyEntry(op, RestoreExfatEntry(ctx, host, entry));
  };
  RestoreFolderWalk(ctx, op, host, folder, targetFolder, hooks);
}

disk::ExfatStream RowStream(const disk::RowFacts& facts, bool isFolder) {
  disk::ExfatStream s;
  s.firstCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>(facts.number, 0xFFFFFFFFu));
  s.dataLength = facts.dataLength;
  s.validDataLength = facts.validLength;
  s.noFatChain = facts.noFatChain;
  s.isFolder = isFolder;
  return s;
}

}  // namespace ambrelic::exfat
