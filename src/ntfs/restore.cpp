#include "ntfs/restore.h"

#include <algorithm>
#include <vector>

#include "disk/restored_file.h"
#include "disk/sector_device.h"
#include "ntfs/attributes.h"
#include "ntfs/condition.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_scan.h"
#include "platform/files.h"
#include "platform/text.h"

namespace ambrelic::ntfs {
namespace {

constexpr const char* kPathTooLong =
    "Restoring path length exceeded maximum path length.\n\nPlease select a folder with shorter path length.";

// No file system the restore writes to holds a longer file (ext4 with 4 KiB
// blocks); it bounds the reading of a damaged record's sizes.
constexpr std::uint64_t kMaxRestoreBytes = std::uint64_t{1} << 44;

bool AllZero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// The run lists of a record's unnamed $DATA, extent after extent in VCN
// order from VCN 0; mapped is the count of clusters they cover: past them
// every byte reads as zero and need not be read at all.
struct Extents {
  std::vector<RunList> lists;
  std::uint64_t mapped = 0;
};

Extents FindExtents(const disk::VolumeContext& ctx, RecordNumber n) {
  Extents e;
  std::vector<std::uint8_t> base(ctx.mftRecordSize);
  if (!ReadMftRecord(ctx, n, base)) return e;
  ExtentWalk walk(ctx, base, kAttrData);
  if (!walk || walk.extent().resident()) return e;
  do {
    e.lists.push_back(walk.runs());
    const Vcn highest = walk.extent().highestVcn();
    e.mapped = highest == UINT64_MAX ? UINT64_MAX : highest + 1;
  } while (walk.Next());
  return e;
}

// Clusters from vcn on that read as zeros without being read: the rest of
// a sparse run, the rest of a run past the end of the volume (whose
// clusters no read can reach), or everything past the mapped clusters. 0
// when vcn is mapped to clusters of the volume (or the extents say nothing).
std::uint64_t ZeroClustersAt(const Extents& e, Vcn vcn, std::uint64_t volumeClusters) {
  if (vcn >= e.mapped) return UINT64_MAX;
  for (const RunList& list : e.lists) {
    if (vcn < list.lowest || vcn > list.highest) continue;
    const ClusterRun* run = list.Find(vcn);
    if (run && (run->sparse || run->lcn + (vcn - run->vcn) >= volumeClusters)) return run->length - (vcn - run->vcn);
    return 0;
  }
  return 0;
}

// The last write of the record's data ($STANDARD_INFORMATION), for the
// restored file or folder.
disk::VolumeTime RecordWriteTime(const disk::VolumeContext& ctx, RecordNumber n) {
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  if (!ReadMftRecord(ctx, n, record)) return {};
  auto standard = FindAttribute(ctx, record, kAttrStandardInformation);
  return standard ? FileTimeToVolumeTime(disk::le64(standard->value(), 0x08)) : disk::VolumeTime{};
}

}  // namespace

bool RestoreNtfsFile(const disk::VolumeContext& ctx, disk::EngineHost& host, RecordNumber n,
                     const std::string& path) {
  // Reads that lose sectors (of the record or of the data) move this count.
  const std::uint64_t unreadableBefore = disk::UnreadableEvents(ctx);
  std::optional<DataStream> stream = DataStream::Open(ctx, n);
  if (!stream) {
    // A record that could not be read is no file to skip in silence.
    if (disk::UnreadableEvents(ctx) != unreadableBefore) host.UnreadableIn(path);
    return false;
  }
  // Never more than the real size nor the allocated size (the stream's
  // remaining bytes), and never more than any target can hold.
  const std::uint64_t length = std::min(stream->remaining(), kMaxRestoreBytes);
  const std::uint64_t cs = ctx.bytesPerCluster;
  Extents extents;
  if (!stream->resident()) extents = FindExtents(ctx, n);
  const std::uint64_t unitBytes = static_cast<std::uint64_t>(stream->unitClusters()) * cs;

  disk::RestoredFile file(ctx, host, path);
  if (!file.Opened()) return false;
  file.CountLossesSince(unreadableBefore);
  bool ok = true;
  bool cancelled = false;
  std::uint64_t done = 0;
  std::uint64_t hole = 0;  // zeros passed over and not yet skipped in the file
  const std::uint64_t volumeClusters = VolumeClusters(ctx);
  // Every round takes at least one byte of what is left, or ends. A device
  // that stopped answering gives only zeros: the file ends there.
  while (ok && done < length && !disk::DeviceAbandoned(ctx)) {
    if (!stream->resident() && unitBytes != 0 && cs != 0) {
      // Units that are wholly sparse, past every run or past the volume are
      // passed over unread, all at once: a sparse file of gigabytes, or a
      // damaged run of billions of clusters, costs next to nothing.
      const std::uint64_t zeros = ZeroClustersAt(extents, done / cs, volumeClusters);
      if (zeros >= stream->unitClusters()) {
        std::uint64_t units = zeros / stream->unitClusters();
        if (zeros == UINT64_MAX) units = (length - done + unitBytes - 1) / unitBytes;
        const std::uint64_t skipped = std::min(stream->SkipUnits(units), length - done);
        if (skipped == 0) break;
        done += skipped;
        hole += skipped;
        continue;
      }
      // A unit to read: the moment for the user's Cancel (Ctrl-C) to reach
      // a restore that no progress window shows.
      if (host.CancelRequested()) {
        cancelled = true;
        break;
      }
    }
    std::span<const std::uint8_t> piece = stream->ReadNext();
    if (piece.empty()) break;
    if (piece.size() > length - done) piece = piece.first(static_cast<std::size_t>(length - done));
    done += piece.size();
    if (stream->resident() || cs == 0) {
      ok = platform::WriteAll(file.fd(), piece.data(), piece.size());
      continue;
    }
    // Clusters of zeros (sparse, past the initialized size, or written
    // so) become holes too: they read back the same and take no space.
    // The others are written in runs as long as they come.
    std::size_t at = 0;
    while (ok && at < piece.size()) {
      const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(cs, piece.size() - at));
      if (AllZero(piece.subspan(at, step))) {
        hole += step;
        at += step;
        continue;
      }
      std::size_t end = at + step;
      while (end < piece.size()) {
        const std::size_t next = static_cast<std::size_t>(std::min<std::uint64_t>(cs, piece.size() - end));
        if (AllZero(piece.subspan(end, next))) break;
        end += next;
      }
      if (hole != 0) {
        ok = platform::SkipBytes(file.fd(), hole);
        hole = 0;
      }
      if (ok) ok = platform::WriteAll(file.fd(), piece.data() + at, end - at);
      at = end;
    }
  }
  // A hole at the end still counts: the file gets its whole length (or, when
  // cancelled, what was delivered up to then).
  if (ok) ok = platform::SetFileLength(file.fd(), cancelled ? done : length);
  // Written whole, with zeros where sectors could not be read: the command
  // names such a file when it ends.
  if (!file.Finish(ok, RecordWriteTime(ctx, n))) return false;
  return !cancelled && length == stream->size() && done == length;
}

FolderPlace CreateRelativeFolders(const disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                                  RecordNumber folder, RecordNumber folderRecord, const std::string& targetFolder,
                                  ParentCache& cache) {
  using Kind = FolderPlace::Kind;
  // Most records lie in a folder already placed.
  if (folder == folderRecord) return FolderPlace{Kind::Made, targetFolder};
  if (auto hit = cache.folders.find(folder); hit != cache.folders.end()) return hit->second;
  // Up the chain until the restored folder, a folder already placed, or the
  // end of the chain (the root, a record that is no folder, one without a
  // name, or more steps than the MFT has records: a cycle).
  if (cache.maxSteps == 0) cache.maxSteps = std::max<std::uint64_t>(MftRecordCount(ctx), 1);
  const std::uint64_t maxSteps = cache.maxSteps;
  std::vector<RecordNumber> chain;
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  FolderPlace base;
  for (RecordNumber r = folder;;) {
    if (r == folderRecord) {
      base = FolderPlace{Kind::Made, targetFolder};
      break;
    }
    if (auto hit = cache.folders.find(r); hit != cache.folders.end()) {
      base = hit->second;
      break;
    }
    if (r == kRootRecord || chain.size() >= maxSteps || !ReadMftRecord(ctx, r, record) ||
        !RecordIsDirectory(record)) {
      break;
    }
    const auto name = FindRecordName(ctx, record);
    if (!name) break;
    chain.push_back(r);
    r = name->info.parent;
  }
  // Down again, making each folder under the one above it. Only the records
  // of the chain are kept, not their names: a damaged volume's chain may be
  // long, and most of it never needs a name.
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (base.kind == Kind::Made) {
      std::optional<RecordName> name;
      if (ReadMftRecord(ctx, *it, record)) name = FindRecordName(ctx, record);
      const std::string part = name ? platform::FitName(platform::SafePathComponent(name->name)) : std::string();
      std::string made;
      if (name && base.path.size() + 1 + part.size() > platform::kMaxPathBytes) {
        host.ShowMessage(kPathTooLong);
      } else if (name) {
        made = platform::MakeFreeFolder(base.path, part);
      }
      if (made.empty()) {
        base = FolderPlace{Kind::Failed, std::string()};
        ++op.IncompleteCount;
      } else {
        base.path = std::move(made);
      }
    }
    cache.folders[*it] = base;
  }
  return base;
}

bool RestoreFolderEntry(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        RecordNumber n, std::span<const std::uint8_t> record, RecordNumber folderRecord,
                        const std::string& targetFolder, ParentCache& cache) {
  using Kind = FolderPlace::Kind;
  const auto name = FindRecordName(ctx, record);
  if (!name) return true;
  // A folder is placed (and made) itself; a file goes into its parent's
  // place. A folder that could not be made was counted there, with what it
  // held.
  const bool isFolder = RecordIsDirectory(record);
  const FolderPlace place =
      CreateRelativeFolders(ctx, op, host, isFolder ? n : name->info.parent, folderRecord, targetFolder, cache);
  if (place.kind == Kind::Outside) return true;
  if (op.ActiveProgress) op.ActiveProgress->SetFileName(name->name);
  if (place.kind != Kind::Made) return true;
  if (isFolder) {
    host.Restored(place.path, RecordWriteTime(ctx, n), true);
    return true;
  }
  const std::string path = place.path + "/" + platform::FitName(platform::SafePathComponent(name->name));
  if (path.size() > platform::kMaxPathBytes) {
    host.ShowMessage(kPathTooLong);
    ++op.IncompleteCount;
    return true;
  }
  // A file not written whole goes on to the next one, unless the user
  // cancelled it.
  if (RestoreNtfsFile(ctx, host, n, path)) return true;
  ++op.IncompleteCount;
  return !host.CancelRequested();
}

}  // namespace ambrelic::ntfs
