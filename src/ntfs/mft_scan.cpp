#include "ntfs/mft_scan.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <vector>

#include "disk/sector_device.h"
#include "ntfs/attributes.h"
#include "ntfs/condition.h"
#include "ntfs/data_runs.h"
#include "ntfs/restore.h"
#include "disk/text_format.h"
#include "platform/boot_sector.h"
#include "platform/text.h"

namespace ambrelic::ntfs {
namespace {

// A folder path is held to 520 characters, counted in UTF-16 units so that
// a name takes as much of it in one script as in another.
constexpr std::size_t kMaxPathUnits = 520;

// Windows file times count 100 ns from 1601-01-01 UTC.
constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;

// The path of a folder chain that left the volume's folders.
std::string LostPath(const disk::VolumeContext& ctx, const std::string& path) {
  if (path.empty()) return ctx.SearchedRoot + "<unknown>";
  return ctx.SearchedRoot + LostFolderMark() + path;
}

}  // namespace

std::string LostFolderMark() { return platform::Utf16ToLocale(std::u16string_view(u"<\u4E0D\u660E>\\")); }

std::string FormatFileTime(std::uint64_t fileTime) {
  // Times from 0x8000000000000000 on are not file times (the platform's
  // conversion refuses them too).
  if (fileTime >> 63) return {};
  const std::time_t seconds =
      static_cast<std::time_t>(static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970);
  std::tm local{};
  if (!localtime_r(&seconds, &local)) return {};
  return disk::DateTimeText(static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                            static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_hour),
                            static_cast<unsigned>(local.tm_min));
}

bool PrepareNtfsVolume(disk::VolumeContext& ctx) {
  // The first 512 bytes of the volume, read in whole sectors of the size the
  // platform reported.
  const std::uint32_t bps = ctx.bytesPerSector == 0 ? 512 : ctx.bytesPerSector;
  const std::uint32_t sectors = (512 + bps - 1) / bps;
  std::vector<std::uint8_t> first(static_cast<std::size_t>(sectors) * bps);
  disk::ReadGaps gaps;
  disk::ReadVolumeSectors(ctx, 0, sectors, first.data(), &gaps);
  // A boot sector that cannot be read is taken from its copy in the
  // volume's last sector, when the MFT that copy names starts with a file
  // record.
  if (!gaps.empty() && ctx.volumeHandle && !disk::DeviceAbandoned(ctx)) {
    const platform::BootSectorRead copy = platform::ReadBootSector(*ctx.volumeHandle, static_cast<std::uint16_t>(bps));
    if (copy.fromBackup && copy.bytes.size() >= first.size()) {
      std::copy_n(copy.bytes.begin(), first.size(), first.begin());
      disk::RecoveredSectors(ctx, 0, sectors);
    }
  }
  std::copy_n(first.begin(), ctx.ntfsBootSector.size(), ctx.ntfsBootSector.begin());
  DecodeNtfsGeometry(ctx);

  const disk::Bytes boot(ctx.ntfsBootSector);
  disk::ByteReader fields(boot);
  const std::uint16_t bytesPerSector = fields.u16(0x0B);
  const std::uint32_t sectorsPerCluster = SectorsPerClusterFromBoot(boot);
  // Sectors are a power of two from 256 to 4096 bytes; anything else is no
  // NTFS geometry (and 0 would divide by zero).
  if (bytesPerSector < 256 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1)) != 0) return false;
  if (sectorsPerCluster == 0 || MftRecordSizeFromBoot(boot) == 0) return false;
  // The clusters the boot sector claims, bounded by those the device holds
  // before its last sector (where NTFS keeps the copy of its boot sector):
  // a damaged total (up to 2^64 - 1 sectors) would otherwise send the wipe
  // over clusters that are not there, or over that copy. No cluster at all
  // (a total of 0, or less than one cluster's sectors) is no volume:
  // lastCluster would wrap.
  std::uint64_t clusters = fields.u64(0x28) / sectorsPerCluster;
  const std::uint64_t clusterSize = static_cast<std::uint64_t>(bytesPerSector) * sectorsPerCluster;
  if (ctx.volumeHandle) {
    const std::uint64_t device = ctx.volumeHandle->Size();
    clusters = std::min(clusters, device < bytesPerSector ? 0 : (device - bytesPerSector) / clusterSize);
  }
  if (clusters == 0) return false;
  ctx.bytesPerSector = bytesPerSector;
  ctx.lastCluster = clusters - 1;
  DecodeNtfsGeometry(ctx);
  if (!LoadMftSelfRecord(ctx)) return false;
  return HasFileSignature(ctx.mftSelfRecord);
}

std::uint64_t MftRecordCount(const disk::VolumeContext& ctx) {
  if (ctx.mftRecordSize == 0 || ctx.mftSelfRecord.size() < ctx.mftRecordSize) return 0;
  std::vector<std::uint8_t> copy = ctx.mftSelfRecord;
  auto data = FindAttribute(ctx, copy, kAttrData);
  if (!data) return 0;
  const std::uint64_t count = AttributeDataSize(*data) / ctx.mftRecordSize;
  return std::min<std::uint64_t>(count, VolumeByteSize(ctx) / ctx.mftRecordSize);
}

bool BuildFolderPath(const disk::VolumeContext& ctx, std::string& path, RecordNumber parent, RecordNumber stop,
                     std::uint64_t maxSteps, FolderSteps* steps) {
  if (maxSteps == 0) maxSteps = MftRecordCount(ctx);
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  std::size_t units = platform::Utf16Units(path);
  // Each step climbs one folder; a chain longer than the MFT has records is
  // a cycle (records with empty names never make the path grow).
  for (std::uint64_t step = 0;; ++step) {
    if (parent == kRootRecord) {
      path = ctx.SearchedRoot + path;
      return false;
    }
    if (parent == stop) return true;
    if (step >= maxSteps) {
      path = LostPath(ctx, path);
      return false;
    }
    if (!ReadMftRecord(ctx, parent, record) || !RecordIsDirectory(record)) {
      path = LostPath(ctx, path);
      return false;
    }
    auto name = FindRecordName(ctx, record);
    if (!name) return false;
    if (steps) steps->emplace_back(parent, name->info.parent);
    units += platform::Utf16Units(name->name) + (path.empty() ? 0 : 1);
    path = path.empty() ? name->name : name->name + "\\" + path;
    if (units > kMaxPathUnits) {
      path = LostPath(ctx, path);
      return false;
    }
    parent = name->info.parent;
  }
}

void AddNtfsRow(const disk::VolumeContext& ctx, const disk::OperationState& op, disk::EngineHost& host,
                RecordNumber n, std::span<const std::uint8_t> record, FolderPathCache* cache,
                const std::vector<std::uint8_t>* clusterBitmap) {
  auto name = FindRecordName(ctx, record);
  if (!name) return;
  std::vector<std::uint8_t> copy(record.begin(), record.end());
  auto standard = FindAttribute(ctx, copy, kAttrStandardInformation);
  if (!standard) return;
  const std::uint64_t changed = disk::le64(standard->value(), 0x10);

  const bool folder = RecordIsDirectory(record);
  std::uint64_t size = 0;
  if (!folder) {
    copy.assign(record.begin(), record.end());
    if (auto data = FindAttribute(ctx, copy, kAttrData)) size = data->realSize();
    // The whole 64-bit size decides: a file of exactly 4 GiB is not empty.
    if (size == 0 && !op.includeZeroSize) return;
  }
  if (!op.nameFilter.empty() && platform::UpperCase(name->name).find(op.nameFilter) == std::string::npos) return;

  disk::FoundRow row;
  row.name = name->name;
  row.isFolder = folder;
  const RecordNumber parent = name->info.parent;
  // The folders climbed are told as a walk would enter them: a folder's
  // restore takes every record whose chain of parents reaches it, through
  // folders listed or not.
  FolderSteps steps;
  if (cache) {
    auto hit = cache->find(parent);
    if (hit == cache->end()) {
      std::string path;
      BuildFolderPath(ctx, path, parent, kRootRecord, 0, &steps);
      hit = cache->emplace(parent, std::move(path)).first;
    }
    row.folder = hit->second;
  } else {
    BuildFolderPath(ctx, row.folder, parent, kRootRecord, 0, &steps);
  }
  for (const auto& [climbed, up] : steps) host.FolderEntered(climbed, up == kRootRecord ? disk::kNoFolder : up);
  if (row.folder.empty()) row.folder = ctx.SearchedRoot;
  if (!folder) row.size = disk::RightAligned(size, 8);
  row.modified = FormatFileTime(changed);
  row.number = disk::RightAligned(n, 8);
  row.facts.size = size;
  row.facts.number = n;
  // A row in the root has no folder row above it.
  if (parent != kRootRecord) row.facts.parent = parent;
  row.facts.condition = NtfsRowCondition(ctx, clusterBitmap, record, folder);
  FillRecordTimes(ctx, record, row.facts);
  host.AddRow(std::move(row));
}

void ScanMft(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
             std::uint32_t folderRecord, const std::string& targetFolder) {
  if (ctx.mftRecordSize == 0 || ctx.mftSelfRecord.size() < ctx.mftRecordSize) return;
  // The Modified texts follow the current TZ.
  tzset();

  const std::uint64_t recordCount = MftRecordCount(ctx);
  std::vector<std::uint8_t> copy = ctx.mftSelfRecord;
  std::vector<std::uint8_t> bitmap;
  // One bit per record, in whole 8-byte words: a bitmap that claims more
  // is read no further.
  const std::uint64_t bitmapBytes = (recordCount + 63) / 64 * 8;
  if (auto attribute = FindAttribute(ctx, copy, kAttrBitmap)) bitmap = ReadAttributeValue(ctx, *attribute, bitmapBytes);

  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  ParentCache parents;
  FolderPathCache paths;
  MftReader reader(ctx, 1u << 20, bitmap);
  // The rows' condition: read once per search.
  std::optional<std::vector<std::uint8_t>> clusterBitmap;
  if (op.OperationMode == disk::OpSearch) clusterBitmap = LoadClusterBitmap(ctx);

  std::unique_ptr<disk::ProgressSink> progress = host.OpenProgress();
  op.ActiveProgress = progress.get();
  if (progress) {
    progress->BeginCount("File No:", recordCount > 1 ? recordCount - 1 : 1);
    progress->ShowFileLabel();
  }
  for (std::uint64_t i = 0; i < recordCount; ++i) {
    // Records in use cost nothing: no read, no progress, no cancel test.
    if (IsBitSet(bitmap, i)) continue;
    const auto n = static_cast<RecordNumber>(i);
    if (reader.Read(n, record) && !RecordInUse(record)) {
      if (op.OperationMode == disk::OpSearch) {
        AddNtfsRow(ctx, op, host, n, record, &paths, clusterBitmap ? &*clusterBitmap : nullptr);
      } else if (op.OperationMode == disk::OpRestore) {
        // Cancel inside a file's restore ends the whole folder restore.
        if (!RestoreFolderEntry(ctx, op, host, n, record, folderRecord, targetFolder, parents)) break;
      }
    }
    if (progress && !progress->Advance(i)) break;
    // A device that stopped answering has no more records to give.
    if (disk::DeviceAbandoned(ctx)) break;
  }
  op.ActiveProgress = nullptr;
}

}  // namespace ambrelic::ntfs
