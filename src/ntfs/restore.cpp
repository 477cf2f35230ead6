#include "ntfs/restore.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "disk/sector_device.h"
#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_scan.h"
#include "platform/files.h"
#include "platform/text.h"

namespace ambrelic::ntfs {
namespace {

constexpr const char* kWriteFailure = "File writing failure.";
constexpr const char* kPathTooLong =
    "Restoring path length exceeded maximum path length.\n\nPlease select a folder with shorter path length.";

// A folder path the restore creates may need 253 UTF-16 characters.
constexpr std::size_t kMaxFolderUnits = 253;
// The extents of one attribute are found one after the other; an attribute
// list cannot name more of them than this.
constexpr int kMaxExtents = 65536;
// No file system the restore writes to holds a longer file (ext4 with 4 KiB
// blocks); it bounds the reading of a damaged record's sizes.
constexpr std::uint64_t kMaxRestoreBytes = std::uint64_t{1} << 44;

bool AllZero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// The extents of a record's unnamed $DATA, each attribute copied out of
// its record, in VCN order from VCN 0; mapped is the count of clusters they
// cover: past them every byte reads as zero and need not be read at all.
struct Extents {
  std::vector<std::vector<std::uint8_t>> bytes;
  std::vector<Attribute> attributes;
  std::uint64_t mapped = 0;
};

Extents FindExtents(const disk::VolumeContext& ctx, RecordNumber n) {
  Extents e;
  std::vector<std::uint8_t> base(ctx.mftRecordSize);
  if (!ReadMftRecord(ctx, n, base)) return e;
  std::vector<std::uint8_t> copy;
  for (int step = 0; step < kMaxExtents; ++step) {
    copy = base;
    const auto extent = FindAttribute(ctx, copy, kAttrData, nullptr, e.mapped);
    if (!extent || extent->resident() || extent->highestVcn() < e.mapped) break;
    e.bytes.emplace_back(extent->bytes.begin(), extent->bytes.end());
    e.attributes.push_back(Attribute{disk::Bytes(e.bytes.back())});
    if (extent->highestVcn() == UINT64_MAX) {
      e.mapped = UINT64_MAX;
      break;
    }
    e.mapped = extent->highestVcn() + 1;
  }
  return e;
}

// Clusters from vcn on that read as zeros without being read: the rest of
// a sparse run, or everything past the mapped clusters. 0 when vcn is
// mapped to clusters of the volume (or the extents say nothing).
std::uint64_t ZeroClustersAt(const Extents& e, Vcn vcn) {
  if (vcn >= e.mapped) return UINT64_MAX;
  for (const Attribute& a : e.attributes) {
    if (vcn < a.lowestVcn() || vcn > a.highestVcn()) continue;
    Lcn lcn = 0;
    std::uint64_t left = 0;
    if (MapVcn(a, vcn, lcn, left) && lcn == 0) return left;
    return 0;
  }
  return 0;
}

// Folder names joined by '\' (as the path of a row), each in its safe form.
std::vector<std::string> Components(const std::string& relative) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t sep = relative.find('\\', start);
    if (sep == std::string::npos) sep = relative.size();
    out.push_back(platform::SafePathComponent(relative.substr(start, sep - start)));
    start = sep + 1;
  }
  return out;
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
  const std::uint64_t cs = ClusterSize(ctx);
  Extents extents;
  if (!stream->resident()) extents = FindExtents(ctx, n);
  const std::uint64_t unitBytes = static_cast<std::uint64_t>(stream->unitClusters()) * cs;

  const platform::NewFile file = platform::CreateNewFile(path);
  if (file.fd < 0) {
    host.ShowMessage(kWriteFailure);
    return false;
  }
  bool ok = true;
  std::uint64_t done = 0;
  std::uint64_t hole = 0;  // zeros passed over and not yet skipped in the file
  // Every round takes at least one byte of what is left, or ends. A device
  // that stopped answering gives only zeros: the file ends there.
  while (ok && done < length && !disk::DeviceAbandoned(ctx)) {
    if (!stream->resident() && unitBytes != 0 && cs != 0) {
      // Units that are wholly sparse (or past every run) are passed over
      // unread: a sparse file of gigabytes costs next to nothing.
      const std::uint64_t zeros = ZeroClustersAt(extents, done / cs);
      if (zeros >= stream->unitClusters()) {
        std::uint64_t units = zeros / stream->unitClusters();
        if (zeros == UINT64_MAX) units = (length - done + unitBytes - 1) / unitBytes;
        for (; units > 0 && done < length; --units) {
          const std::uint64_t skipped = std::min(stream->SkipNext(), length - done);
          if (skipped == 0) break;
          done += skipped;
          hole += skipped;
        }
        continue;
      }
    }
    std::span<const std::uint8_t> piece = stream->ReadNext();
    if (piece.empty()) break;
    if (piece.size() > length - done) piece = piece.first(static_cast<std::size_t>(length - done));
    done += piece.size();
    if (stream->resident() || cs == 0) {
      ok = platform::WriteAll(file.fd, piece.data(), piece.size());
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
        ok = platform::SkipBytes(file.fd, hole);
        hole = 0;
      }
      if (ok) ok = platform::WriteAll(file.fd, piece.data() + at, end - at);
      at = end;
    }
  }
  // A hole at the end still counts: the file gets its whole length.
  if (ok) ok = platform::SetFileLength(file.fd, length);
  if (::close(file.fd) != 0) ok = false;
  if (!ok) {
    host.ShowMessage(kWriteFailure);
    return false;
  }
  if (disk::UnreadableEvents(ctx) != unreadableBefore) {
    host.UnreadableIn(path);
    return false;
  }
  return length == stream->size() && done == length;
}

std::string CreateRelativeFolders(disk::EngineHost& host, const std::string& target, const std::string& relative) {
  const std::vector<std::string> parts = Components(relative);
  std::string full = target;
  bool namesFit = true;
  for (const auto& part : parts) {
    full += "/" + part;
    namesFit = namesFit && part.size() <= platform::kMaxNameBytes;
  }
  if (!namesFit || platform::LocaleToUtf16(full).size() > kMaxFolderUnits) {
    host.ShowMessage(kPathTooLong);
    return std::string();
  }
  if (platform::IsFolder(full)) return full;
  std::string cur = target;
  for (const auto& part : parts) {
    cur += "/" + part;
    if (!platform::MakeFolder(cur)) return std::string();
  }
  return full;
}

void RestoreFolderEntry(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        RecordNumber n, std::span<const std::uint8_t> record, RecordNumber folderRecord,
                        const std::string& targetFolder, ParentCache& cache) {
  const auto name = FindRecordName(ctx, record);
  if (!name) return;
  if (!cache.valid || name->info.parentReference != cache.parentReference) {
    cache.relativePath.clear();
    cache.insideFolder = BuildFolderPath(ctx, cache.relativePath, name->info.parent, folderRecord);
    cache.parentReference = name->info.parentReference;
    cache.valid = true;
  }
  if (!cache.insideFolder) return;
  if (op.ActiveProgress) op.ActiveProgress->SetFileName(name->name);
  const bool isFolder = RecordIsDirectory(record);
  std::string relative = cache.relativePath;
  if (isFolder) relative = relative.empty() ? name->name : relative + "\\" + name->name;
  std::string dest = targetFolder;
  if (!relative.empty()) {
    dest = CreateRelativeFolders(host, targetFolder, relative);
    if (dest.empty()) return;
  }
  if (isFolder) return;
  const std::string fileName = platform::SafePathComponent(name->name);
  if (fileName.size() > platform::kMaxNameBytes) {
    host.ShowMessage(kPathTooLong);
    return;
  }
  RestoreNtfsFile(ctx, host, n, dest + "/" + fileName);
}

}  // namespace ambrelic::ntfs
