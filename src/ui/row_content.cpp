#include "ui/row_content.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <unordered_map>

#include "carve/format.h"
#include "disk/cluster_set.h"

#include "exfat/allocation.h"
#include "exfat/restore.h"
#include "fat/allocation_table.h"
#include "ntfs/attributes.h"
#include "ntfs/clusters_in_use.h"
#include "ntfs/mft_record.h"

namespace ambrelic::ui {
namespace {

void AddUnit(std::vector<carve::UnitRun>& runs, std::uint64_t unit) {
  if (!runs.empty() && runs.back().first + runs.back().count == unit) {
    ++runs.back().count;
  } else {
    runs.push_back({unit, 1});
  }
}

// As the FAT restore takes them: the first cluster, then the clusters after
// it in ascending order (only free ones when the first is free), wrapping
// once from the last cluster to cluster 2 and never reaching the first again.
std::optional<RowData> FatRowData(const disk::VolumeContext& ctx, std::uint64_t first, std::uint64_t size) {
  const std::uint64_t perCluster = ctx.bytesPerCluster;
  if (perCluster == 0 || !fat::IsValidCluster(ctx, static_cast<fat::Cluster>(first)) || size > 0xFFFFFFFFu) {
    return std::nullopt;
  }
  RowData data;
  data.length = size;
  const auto isFree = [&](std::uint64_t c) {
    return fat::FatGetEntry(ctx, ctx.fatCopy, static_cast<fat::Cluster>(c)) == fat::kFreeCluster;
  };
  const bool onlyFree = isFree(first);
  std::uint64_t c = first;
  bool wrapped = false;
  for (std::uint64_t need = (size + perCluster - 1) / perCluster; need > 0; --need) {
    AddUnit(data.runs, c);
    if (need == 1) break;
    bool found = false;
    while (!found) {
      ++c;
      if (c > ctx.lastCluster) {
        if (wrapped) break;
        c = 2;
        wrapped = true;
      }
      if (wrapped && c >= first) break;
      found = !onlyFree || isFree(c);
    }
    if (!found) {
      // The restore ends the file with the clusters it found.
      std::uint64_t taken = 0;
      for (const auto& r : data.runs) taken += r.count;
      data.length = std::min(size, taken * perCluster);
      break;
    }
  }
  return data;
}

std::optional<RowData> ExfatRowData(const disk::VolumeContext& ctx, const ResultRow& row) {
  const disk::ExfatStream stream = exfat::RowStream(row.facts, row.isFolder);
  if (stream.isFolder || stream.dataLength == 0 || exfat::VolumeOf(ctx).bytesPerCluster == 0) return std::nullopt;
  bool complete = true;
  const std::vector<exfat::ClusterRun> runs =
      exfat::SelectRestoreClusters(ctx, stream.firstCluster, stream.dataLength, stream.noFatChain, complete);
  RowData data;
  std::uint64_t clusters = 0;
  for (const exfat::ClusterRun& r : runs) {
    data.runs.push_back({r.first, r.count});
    clusters += r.count;
  }
  data.length = std::min(stream.dataLength, clusters * exfat::VolumeOf(ctx).bytesPerCluster);
  // Past its valid length the restore writes zeros, not what the clusters
  // hold: what lies before is all that can be checked.
  data.length = std::min(data.length, stream.validDataLength);
  return data;
}

std::optional<RowData> NtfsRowData(const disk::VolumeContext& ctx, std::uint64_t number) {
  if (ctx.mftRecordSize == 0 || number > 0xFFFFFFFFu) return std::nullopt;
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  if (!ntfs::ReadMftRecord(ctx, static_cast<ntfs::RecordNumber>(number), record)) return std::nullopt;
  {
    // Compressed data is not what its clusters hold.
    std::vector<std::uint8_t> copy = record;
    const auto data = ntfs::FindAttribute(ctx, copy, ntfs::kAttrData);
    if (!data || (data->flags() & ntfs::kAttrFlagCompressed) != 0) return std::nullopt;
  }
  const std::optional<ntfs::AttributeRuns> attribute = ntfs::CollectRuns(ctx, record, ntfs::kAttrData);
  if (!attribute) return std::nullopt;
  RowData data;
  if (attribute->resident) {
    data.resident = attribute->value;
    data.length = attribute->value.size();
    return data;
  }
  const std::uint64_t cs = ctx.bytesPerCluster;
  std::uint64_t clusters = 0;
  for (const ntfs::ClusterRun& r : attribute->runs) {
    if (r.sparse) return std::nullopt;
    if (!data.runs.empty() && data.runs.back().first + data.runs.back().count == static_cast<std::uint64_t>(r.lcn)) {
      data.runs.back().count += r.length;
    } else {
      data.runs.push_back({static_cast<std::uint64_t>(r.lcn), r.length});
    }
    clusters += r.length;
  }
  // Bytes past the initialised size read as zeros in the restore.
  data.length = std::min({attribute->realSize, attribute->initializedSize, clusters * cs});
  return data;
}

}  // namespace

carve::ScanArea ClusterArea(const disk::VolumeContext& ctx) {
  carve::ScanArea area;
  area.bytesPerSector = ctx.bytesPerSector;
  if (disk::IsFat(ctx.fsKind) && ctx.sectorsPerCluster != 0 && ctx.lastCluster >= 2) {
    area.firstUnit = 2;
    area.unitCount = ctx.lastCluster - 1;
    area.baseSector = ctx.dataStartSector;
    area.sectorsPerUnit = ctx.sectorsPerCluster;
  } else if (const exfat::ExfatVolume& v = exfat::VolumeOf(ctx);
             ctx.fsKind == disk::FsKind::Exfat && v.bytesPerCluster != 0 && v.lastCluster >= 2) {
    area.firstUnit = exfat::kFirstCluster;
    area.unitCount = v.lastCluster - 1;
    area.baseSector = exfat::ClusterSector(v, exfat::kFirstCluster);
    area.sectorsPerUnit = 1u << v.sectorsPerClusterShift;
  } else if (ctx.fsKind == disk::FsKind::Ntfs && ctx.sectorsPerCluster != 0) {
    area.firstUnit = 0;
    const std::uint64_t volumeClusters = ntfs::VolumeClusters(ctx);
    area.unitCount = std::min<std::uint64_t>(ctx.lastCluster + 1, volumeClusters);
    area.baseSector = 0;
    area.sectorsPerUnit = ctx.sectorsPerCluster;
  }
  return area;
}

std::optional<RowData> RowDataOf(const disk::VolumeContext& ctx, const ResultRow& row) {
  if (row.isFolder || row.facts.size == 0) return std::nullopt;
  if (disk::IsFat(ctx.fsKind)) return FatRowData(ctx, row.facts.number, row.facts.size);
  if (ctx.fsKind == disk::FsKind::Exfat) return ExfatRowData(ctx, row);
  if (ctx.fsKind == disk::FsKind::Ntfs) return NtfsRowData(ctx, row.facts.number);
  return std::nullopt;
}

}  // namespace ambrelic::ui

namespace ambrelic::ui {
namespace {

// A resident value in memory.
class ResidentSource final : public carve::ByteSource {
 public:
  explicit ResidentSource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)), inner_(bytes_) {}
  std::uint64_t Size() const override { return inner_.Size(); }
  std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) override { return inner_.Read(offset, out); }

 private:
  std::vector<std::uint8_t> bytes_;
  carve::MemorySource inner_;
};

std::string ExtensionOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 >= name.size()) return std::string();
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool ChainGone(const disk::VolumeContext& ctx, const ResultRow& row) {
  if (ctx.fsKind != disk::FsKind::Exfat || exfat::VolumeOf(ctx).bytesPerCluster == 0) return false;
  const disk::ExfatStream stream = exfat::RowStream(row.facts, row.isFolder);
  if (stream.isFolder || stream.noFatChain || stream.dataLength <= exfat::VolumeOf(ctx).bytesPerCluster) return false;
  if (!exfat::IsValidCluster(exfat::VolumeOf(ctx), stream.firstCluster)) return false;
  const std::uint32_t next = exfat::FatEntry(ctx, stream.firstCluster);
  return !exfat::IsValidCluster(exfat::VolumeOf(ctx), next);
}

}  // namespace

std::unique_ptr<carve::ByteSource> RowSource(const disk::VolumeContext& ctx, const RowData& data) {
  if (data.runs.empty()) return std::make_unique<ResidentSource>(data.resident);
  return std::make_unique<carve::RunSource>(ctx, ClusterArea(ctx), data.runs, data.length);
}

std::uint64_t CheckRowConditions(const disk::VolumeContext& ctx, const std::vector<ResultRow*>& rows,
                                 disk::ProgressSink* progress) {
  const carve::ScanArea area = ClusterArea(ctx);
  std::vector<std::optional<RowData>> data(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) data[i] = RowDataOf(ctx, *rows[i]);

  // Clusters claimed by more than one row, and the newest claim on each.
  disk::ClusterSet once(area.EndUnit()), twice(area.EndUnit());
  for (const auto& d : data) {
    if (!d) continue;
    for (const carve::UnitRun& r : d->runs) {
      for (std::uint64_t u = r.first; u < r.first + r.count && u < area.EndUnit(); ++u) {
        if (once.Test(u)) twice.Set(u);
        once.Set(u);
      }
    }
  }
  std::unordered_map<std::uint64_t, std::int64_t> newest;
  std::vector<std::optional<std::int64_t>> times(rows.size());
  if (twice.Count() != 0) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (!data[i]) continue;
      times[i] = disk::UnixSeconds(rows[i]->facts.modified);
      if (!times[i]) continue;
      for (const carve::UnitRun& r : data[i]->runs) {
        if (!twice.AnyInRange(r.first, r.count)) continue;
        for (std::uint64_t u = r.first; u < r.first + r.count; ++u) {
          if (!twice.Test(u)) continue;
          auto [it, added] = newest.emplace(u, *times[i]);
          if (!added) it->second = std::max(it->second, *times[i]);
        }
      }
    }
  }

  std::uint64_t checked = 0;
  if (progress) progress->BeginCount("", rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (progress && !progress->Advance(i)) break;
    ResultRow& row = *rows[i];
    disk::RowCondition& condition = row.facts.condition;
    if (!data[i]) continue;
    // The content first: what it says overrules the clusters.
    const std::string ext = ExtensionOf(row.texts[0]);
    if (data[i]->length > 0) {
      std::unique_ptr<carve::ByteSource> source = RowSource(ctx, *data[i]);
      carve::Limits limits;
      limits.maxLength = data[i]->length;
      const carve::Parsed parsed = carve::Verify(*source, ext, limits);
      // A name the deep scan knows promises its format: bytes that are not
      // that format at all are damaged too (another file's data took the
      // clusters), even if every cluster is free.
      const bool known = parsed.verdict != carve::Verdict::NotThisFormat || carve::FormatForExtension(ext) != nullptr;
      if (known) {
        ++checked;
        if (parsed.verdict == carve::Verdict::Complete && parsed.length == row.facts.size &&
            data[i]->length == row.facts.size) {
          condition.content = disk::ContentCheck::Verified;
        } else if (parsed.verdict == carve::Verdict::Complete && parsed.length < data[i]->length &&
                   carve::FormatForExtension(parsed.extension) == carve::FormatForExtension(ext)) {
          // It ends before the row's size: what follows its end may be
          // the file's own padding; the clusters keep their say.
        } else {
          condition.content = disk::ContentCheck::Damaged;
          // Another format's bytes parse as nothing of this one.
          const bool otherFormat = carve::FormatForExtension(ext) != nullptr &&
                                   carve::FormatForExtension(parsed.extension) != carve::FormatForExtension(ext);
          const std::uint64_t good = parsed.verdict == carve::Verdict::NotThisFormat || otherFormat
                                         ? 0
                                         : std::min(parsed.length, row.facts.size);
          condition.contentPercent =
              static_cast<std::uint8_t>(row.facts.size == 0 ? 0 : good * 100 / row.facts.size);
        }
        if (condition.content != disk::ContentCheck::None) continue;
      }
    }
    // Then the two mends that need no content.
    if (times[i] && !newest.empty()) {
      std::uint64_t shared = 0;
      for (const carve::UnitRun& r : data[i]->runs) {
        for (std::uint64_t u = r.first; u < r.first + r.count; ++u) {
          const auto it = newest.find(u);
          if (it != newest.end() && it->second > *times[i]) ++shared;
        }
      }
      if (shared > 0) {
        condition.sharedWithNewer = true;
        const std::uint64_t left = condition.total > shared ? condition.total - shared : 0;
        condition.free = std::min(condition.free, left);
      }
    }
    if (ChainGone(ctx, row)) condition.known = false;
  }
  if (progress) progress->Advance(rows.size());
  return checked;
}

}  // namespace ambrelic::ui
