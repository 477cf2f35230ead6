#include "ntfs/condition.h"

#include <algorithm>

#include "disk/sector_device.h"
#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"

namespace ambrelic::ntfs {
namespace {

constexpr RecordNumber kBitmapRecord = 6;
constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;

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
  const std::uint64_t cs = ctx.bytesPerCluster;
  const std::uint64_t spc = ctx.sectorsPerCluster;
  if (cs == 0) return std::nullopt;
  const std::uint64_t clusters = bits.size() / cs;
  const std::uint64_t volumeClusters = VolumeClusters(ctx);
  bits.resize(clusters * cs);
  const RunList runs = ReadRunList(*data);
  for (Vcn vcn = 0; vcn < clusters;) {
    const ClusterRun* run = runs.Find(vcn);
    if (!run) {
      bits.resize(vcn * cs);  // what no run reaches stays unknown: in use
      break;
    }
    if (run->sparse) return std::nullopt;  // a sparse bitmap is no bitmap
    const Lcn lcn = run->lcn + (vcn - run->vcn);
    const auto n = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({run->length - (vcn - run->vcn), clusters - vcn, 1u << 16}));
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
  ExtentWalk walk(ctx, record, kAttrData);
  if (!walk) return condition;  // no data: nothing to read
  if (walk.extent().resident()) {
    condition.resident = true;
    return condition;
  }
  if (!clusterBitmap) {
    condition.known = false;
    return condition;
  }
  const disk::Bytes bits(*clusterBitmap);
  const std::uint64_t volumeClusters = VolumeClusters(ctx);
  // Extent after extent, each found by the VCN the previous one ends at.
  do {
    for (const ClusterRun& run : walk.runs().runs) {
      if (run.sparse) continue;
      // A run longer than the volume is damage; it cannot hold more clusters.
      const std::uint64_t length = std::min<std::uint64_t>(run.length, volumeClusters + 1);
      condition.total += length;
      condition.free += disk::CountClearBits(bits, run.lcn, length);
    }
  } while (walk.Next());
  return condition;
}

disk::VolumeTime FileTimeToVolumeTime(std::uint64_t fileTime) {
  if (fileTime == 0 || (fileTime >> 63) != 0) return {};
  return disk::VolumeTime::Utc(static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970);
}

void FillRecordTimes(const disk::VolumeContext& ctx, std::span<const std::uint8_t> record, disk::RowFacts& facts) {
  std::vector<std::uint8_t> copy(record.begin(), record.end());
  // A value too short for its four times is damaged: no time of it is
  // shown rather than a made-up one.
  if (auto standard = FindAttribute(ctx, copy, kAttrStandardInformation)) {
    disk::ByteReader v(standard->value());
    const std::uint64_t times[] = {v.u64(), v.u64(), v.u64(), v.u64()};
    if (v.ok()) {
      facts.created = FileTimeToVolumeTime(times[0]);
      facts.written = FileTimeToVolumeTime(times[1]);
      facts.changed = FileTimeToVolumeTime(times[2]);
      facts.accessed = FileTimeToVolumeTime(times[3]);
      facts.modified = facts.changed;
    }
  }
  copy.assign(record.begin(), record.end());
  if (auto name = FindAttribute(ctx, copy, kAttrFileName)) {
    disk::ByteReader v(name->value(), 0x08);
    const std::uint64_t times[] = {v.u64(), v.u64(), v.u64(), v.u64()};
    if (v.ok()) {
      facts.hasNameTimes = true;
      facts.nameCreated = FileTimeToVolumeTime(times[0]);
      facts.nameWritten = FileTimeToVolumeTime(times[1]);
      facts.nameChanged = FileTimeToVolumeTime(times[2]);
      facts.nameAccessed = FileTimeToVolumeTime(times[3]);
    }
  }
}

}  // namespace ambrelic::ntfs
