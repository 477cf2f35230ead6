#include "ntfs/condition.h"

#include <algorithm>

#include "disk/sector_device.h"
#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"

namespace ambrelic::ntfs {
namespace {

constexpr RecordNumber kBitmapRecord = 6;
// No attribute is spread over more extents than an attribute list can name.
constexpr int kMaxExtents = 65536;
constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;

std::uint64_t VolumeClusters(const disk::VolumeContext& ctx) {
  const std::uint64_t cs = ClusterSize(ctx);
  return cs == 0 ? 0 : VolumeByteSize(ctx) / cs;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> LoadClusterBitmap(const disk::VolumeContext& ctx) {
  if (ctx.mftRecordSize == 0) return std::nullopt;
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  if (!ReadMftRecord(ctx, kBitmapRecord, record)) return std::nullopt;
  auto data = FindAttribute(ctx, record, kAttrData, nullptr, 0, true);
  if (!data) return std::nullopt;
  std::vector<std::uint8_t> bits(AttributeCapacity(ctx, *data), 0);
  if (data->resident()) {
    const disk::Bytes v = data->value();
    std::copy_n(v.begin(), std::min(v.size(), bits.size()), bits.begin());
    return bits;
  }
  const std::uint64_t cs = ClusterSize(ctx);
  const std::uint64_t spc = SectorsPerCluster(ctx);
  if (cs == 0) return std::nullopt;
  const std::uint64_t clusters = bits.size() / cs;
  const std::uint64_t volumeClusters = VolumeClusters(ctx);
  bits.resize(clusters * cs);
  for (Vcn vcn = 0; vcn < clusters;) {
    Lcn lcn = 0;
    std::uint64_t inRun = 0;
    if (!MapVcn(*data, vcn, lcn, inRun) || inRun == 0) {
      bits.resize(vcn * cs);  // what no run reaches stays unknown: in use
      break;
    }
    if (lcn == 0) return std::nullopt;  // a sparse bitmap is no bitmap
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>({inRun, clusters - vcn, 1u << 16}));
    if (lcn > volumeClusters || volumeClusters - lcn < n) return std::nullopt;
    if (!disk::ReadVolumeSectors(ctx, lcn * spc, static_cast<std::uint32_t>(n * spc), bits.data() + vcn * cs)) {
      return std::nullopt;
    }
    vcn += n;
  }
  bits.resize(std::min<std::uint64_t>(data->initializedSize(), bits.size()));
  return bits;
}

disk::RowCondition NtfsRowCondition(const disk::VolumeContext& ctx, const std::vector<std::uint8_t>* clusterBitmap,
                                    std::span<const std::uint8_t> record, bool isFolder) {
  disk::RowCondition condition;
  if (isFolder) {
    condition.unit = disk::ConditionUnit::Record;
    condition.total = 1;
    condition.free = 1;
    return condition;
  }
  std::vector<std::uint8_t> base(record.begin(), record.end());
  std::vector<std::uint8_t> copy = base;
  auto first = FindAttribute(ctx, copy, kAttrData);
  if (!first) return condition;  // no data: nothing to read
  if (first->resident()) {
    condition.resident = true;
    return condition;
  }
  if (!clusterBitmap) {
    condition.known = false;
    return condition;
  }
  const disk::Bytes bits(*clusterBitmap);
  const std::uint64_t volumeClusters = VolumeClusters(ctx);
  Vcn next = 0;
  // Extent after extent, each found by the VCN the previous one ends at.
  for (int step = 0; step < kMaxExtents; ++step) {
    copy = base;
    const auto extent = FindAttribute(ctx, copy, kAttrData, nullptr, next);
    if (!extent || extent->resident() || extent->highestVcn() < next) break;
    disk::Bytes runs = extent->runList();
    Lcn lcn = 0;
    // Every run consumes at least its header byte.
    while (!runs.empty() && runs[0] != 0) {
      const std::size_t header = RunHeaderSize(runs);
      if (header == 0) break;
      const std::int64_t delta = RunOffsetDelta(runs);
      // A run longer than the volume is damage; it cannot hold more clusters.
      const std::uint64_t length = std::min<std::uint64_t>(RunLength(runs), volumeClusters + 1);
      lcn += static_cast<std::uint64_t>(delta);
      if (delta != 0) {
        condition.total += length;
        condition.free += disk::CountClearBits(bits, lcn, length);
      }
      runs = runs.subspan(header);
    }
    if (extent->highestVcn() == UINT64_MAX) break;
    next = extent->highestVcn() + 1;
  }
  return condition;
}

disk::VolumeTime FileTimeToVolumeTime(std::uint64_t fileTime) {
  if (fileTime == 0 || (fileTime >> 63) != 0) return {};
  return disk::VolumeTime::Utc(static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970);
}

void FillRecordTimes(const disk::VolumeContext& ctx, std::span<const std::uint8_t> record, disk::RowFacts& facts) {
  std::vector<std::uint8_t> copy(record.begin(), record.end());
  if (auto standard = FindAttribute(ctx, copy, kAttrStandardInformation)) {
    const disk::Bytes v = standard->value();
    facts.created = FileTimeToVolumeTime(disk::le64(v, 0x00));
    facts.written = FileTimeToVolumeTime(disk::le64(v, 0x08));
    facts.changed = FileTimeToVolumeTime(disk::le64(v, 0x10));
    facts.accessed = FileTimeToVolumeTime(disk::le64(v, 0x18));
    facts.modified = facts.changed;
  }
  copy.assign(record.begin(), record.end());
  if (auto name = FindAttribute(ctx, copy, kAttrFileName)) {
    const disk::Bytes v = name->value();
    facts.hasNameTimes = true;
    facts.nameCreated = FileTimeToVolumeTime(disk::le64(v, 0x08));
    facts.nameWritten = FileTimeToVolumeTime(disk::le64(v, 0x10));
    facts.nameChanged = FileTimeToVolumeTime(disk::le64(v, 0x18));
    facts.nameAccessed = FileTimeToVolumeTime(disk::le64(v, 0x20));
  }
}

}  // namespace ambrelic::ntfs
