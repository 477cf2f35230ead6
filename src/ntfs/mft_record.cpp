#include "ntfs/mft_record.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "disk/sector_device.h"
#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_scan.h"

namespace ambrelic::ntfs {
namespace {

// Reading a record can need an extension record of the MFT itself (when the
// MFT's $DATA is split over records), which is read the same way. A volume
// needs at most one such step; a damaged one could ask for them forever.
thread_local int g_recordReadDepth = 0;
constexpr int kMaxRecordReadDepth = 4;

struct DepthGuard {
  DepthGuard() { ++g_recordReadDepth; }
  ~DepthGuard() { --g_recordReadDepth; }
};

// Clusters one record spans (at least 1).
std::uint32_t ClustersPerRecord(std::uint32_t recordSize, std::uint32_t clusterSize) {
  return std::max<std::uint32_t>(1, (recordSize + clusterSize - 1) / clusterSize);
}

// Records 0 to 3 ($MFT, $MFTMirr, $LogFile, $Volume) are kept twice: in
// the MFT and in $MFTMirr, whose first cluster the boot sector names.
constexpr RecordNumber kMirroredRecords = 4;

// Record n (< 4) of the MFT, raw (before fixups) in record, holds sectors
// the medium could not give: they are taken from $MFTMirr, the whole record
// at once, when the mirror's copy reads whole, is file record n, and holds
// the same bytes as every sector of the MFT's copy that did read.
void MendFromMirror(const disk::VolumeContext& ctx, RecordNumber n, std::span<std::uint8_t> record) {
  if (!ctx.media || n >= kMirroredRecords) return;
  const std::uint64_t bps = ctx.bytesPerSector;
  const std::uint64_t cs = ctx.bytesPerCluster;
  const std::uint64_t size = record.size();
  if (bps == 0 || cs == 0 || size % bps != 0) return;
  const std::uint64_t clusters = VolumeClusters(ctx);
  const Lcn mft = ctx.mftStartCluster;
  const Lcn mirror = ctx.mftMirrorCluster;
  if (mft >= clusters || mirror >= clusters) return;
  const std::uint64_t at = mft * cs + n * size;
  std::vector<bool> missing(size / bps);
  bool any = false;
  for (std::size_t s = 0; s < missing.size(); ++s) {
    missing[s] = ctx.media->KnownUnreadable(at + s * bps, bps);
    any = any || missing[s];
  }
  if (!any || disk::DeviceAbandoned(ctx)) return;
  std::vector<std::uint8_t> copy(size);
  disk::ReadGaps gaps;
  const std::uint64_t from = mirror * cs + n * size;
  if (!disk::ReadVolumeSectors(ctx, from / bps, static_cast<std::uint32_t>(missing.size()), copy.data(), &gaps) ||
      !gaps.empty()) {
    return;
  }
  const disk::Bytes c(copy);
  if (!HasFileSignature(c)) return;
  // Records of NTFS 3.1 carry their own number after the header.
  if (disk::le16(c, kRecUsaOffset) >= 0x30 && disk::le32(c, 0x2C) != n) return;
  for (std::size_t s = 0; s < missing.size(); ++s) {
    if (!missing[s] && !std::equal(copy.begin() + static_cast<std::ptrdiff_t>(s * bps),
                                   copy.begin() + static_cast<std::ptrdiff_t>((s + 1) * bps),
                                   record.begin() + static_cast<std::ptrdiff_t>(s * bps))) {
      return;
    }
  }
  std::copy(copy.begin(), copy.end(), record.begin());
  disk::RecoveredSectors(ctx, at / bps, missing.size());
}

}  // namespace

std::uint32_t SectorsPerClusterFromBoot(std::span<const std::uint8_t> boot) {
  disk::ByteReader in(boot);
  const std::uint32_t bps = in.u16(0x0B);
  const std::uint32_t v = in.u8(0x0D);
  if (!in.ok()) return 0;
  std::uint32_t spc = v;
  if (v > 0x80) {
    const std::uint32_t shift = 256 - v;
    spc = shift < 32 ? std::uint32_t{1} << shift : 0;
  }
  if (bps == 0 || spc == 0 || static_cast<std::uint64_t>(bps) * spc > kMaxClusterSize) return 0;
  return spc;
}

void DecodeNtfsGeometry(disk::VolumeContext& ctx) {
  disk::ByteReader boot(ctx.ntfsBootSector);
  ctx.sectorsPerCluster = SectorsPerClusterFromBoot(ctx.ntfsBootSector);
  ctx.bytesPerCluster = static_cast<std::uint32_t>(ctx.bytesPerSector) * ctx.sectorsPerCluster;
  ctx.mftStartCluster = boot.u64(0x30);
  ctx.mftMirrorCluster = boot.u64(0x38);
}

std::uint64_t VolumeByteSize(const disk::VolumeContext& ctx) {
  if (ctx.volumeHandle) return ctx.volumeHandle->Size();
  const std::uint64_t cs = ctx.bytesPerCluster;
  if (ctx.lastCluster == ~std::uint64_t{0} || cs == 0) return 0;
  if (ctx.lastCluster + 1 > ~std::uint64_t{0} / cs) return ~std::uint64_t{0};
  return (ctx.lastCluster + 1) * cs;
}

std::uint64_t VolumeClusters(const disk::VolumeContext& ctx) {
  const std::uint64_t cs = ctx.bytesPerCluster;
  return cs == 0 ? 0 : VolumeByteSize(ctx) / cs;
}

std::uint32_t MftRecordSizeFromBoot(std::span<const std::uint8_t> boot) {
  disk::ByteReader in(boot);
  const std::uint32_t bps = in.u16(0x0B);
  const std::uint32_t spc = SectorsPerClusterFromBoot(boot);
  const std::uint32_t v = in.u8(0x40);
  if (!in.ok() || bps == 0 || spc == 0) return 0;
  std::uint64_t size;
  if (v < 128) {
    size = static_cast<std::uint64_t>(v) * spc * bps;
  } else {
    const std::uint32_t shift = 256 - v;
    if (shift > 16) return 0;
    size = std::uint64_t{1} << shift;
  }
  if (size == 0 || size > kMaxRecordSize) return 0;
  return static_cast<std::uint32_t>(size);
}

bool LoadMftSelfRecord(disk::VolumeContext& ctx) {
  ctx.mftSelfRecord.clear();
  ctx.mftRecordSize = MftRecordSizeFromBoot(ctx.ntfsBootSector);
  if (ctx.mftRecordSize == 0 || ctx.bytesPerSector == 0) return false;
  const std::uint32_t bps = ctx.bytesPerSector;
  const std::uint32_t sectors = (ctx.mftRecordSize + bps - 1) / bps;
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(sectors) * bps);
  const Lcn mft = ctx.mftStartCluster;
  const std::uint64_t spc = ctx.sectorsPerCluster;
  // An MFT said to start beyond the volume reads as zeros rather than at a
  // wrapped-around offset.
  if (spc != 0 && mft <= VolumeByteSize(ctx) / ctx.bytesPerCluster) {
    disk::ReadVolumeSectors(ctx, mft * spc, sectors, raw.data());
  }
  ctx.mftSelfRecord.assign(raw.begin(), raw.begin() + ctx.mftRecordSize);
  MendFromMirror(ctx, 0, ctx.mftSelfRecord);
  if (ApplyFixups(ctx.mftSelfRecord) != Fixups::Whole) disk::put32(ctx.mftSelfRecord, 0, 0);
  return true;
}

std::size_t UpdateSequenceStride(std::size_t recordSize, std::size_t usaCount) {
  if (usaCount <= 1 || recordSize % (usaCount - 1) != 0) return 0;
  const std::size_t stride = recordSize / (usaCount - 1);
  if (stride < kMinUpdateSequenceStride || (stride & (stride - 1)) != 0) return 0;
  return stride;
}

Fixups ApplyFixups(std::span<std::uint8_t> record) {
  const disk::Bytes bytes(record.data(), record.size());
  disk::ByteReader in(bytes);
  const std::size_t usaOffset = in.u16(kRecUsaOffset);
  const std::size_t usaCount = in.u16(kRecUsaCount);
  in.slice(usaOffset, 2 * usaCount);
  if (!in.ok() || usaCount <= 1) return Fixups::Torn;
  // The blocks the update sequence protects are as large as the count says
  // (512 bytes on every volume Windows or mkntfs writes, whatever the sector
  // size).
  const std::size_t stride = UpdateSequenceStride(record.size(), usaCount);
  if (stride == 0) return Fixups::Torn;
  const std::uint16_t number = disk::le16(bytes, usaOffset);
  for (std::size_t i = 1; i < usaCount; ++i) {
    if (disk::le16(bytes, i * stride - 2) != number) return Fixups::Torn;
  }
  for (std::size_t i = 1; i < usaCount; ++i) {
    const std::size_t target = i * stride - 2;
    record[target] = record[usaOffset + 2 * i];
    record[target + 1] = record[usaOffset + 2 * i + 1];
  }
  return Fixups::Whole;
}

bool ReadMftRecord(const disk::VolumeContext& ctx, RecordNumber n, std::span<std::uint8_t> out) {
  const std::uint32_t recordSize = ctx.mftRecordSize;
  const std::uint32_t cs = ctx.bytesPerCluster;
  if (recordSize == 0 || cs == 0 || out.size() < recordSize || ctx.mftSelfRecord.size() < recordSize) {
    std::fill(out.begin(), out.end(), 0);
    return false;
  }
  DepthGuard guard;
  if (g_recordReadDepth > kMaxRecordReadDepth) {
    std::fill(out.begin(), out.begin() + recordSize, 0);
    return false;
  }
  const std::uint32_t k = ClustersPerRecord(recordSize, cs);
  std::vector<std::uint8_t> clusters(static_cast<std::size_t>(k) * cs);
  const Vcn vcn = static_cast<std::uint64_t>(n) * recordSize / cs;
  ReadAttributeClusters(ctx, ctx.mftSelfRecord, kAttrData, vcn, k, clusters, 0);
  const std::uint32_t perCluster = cs / recordSize;
  const std::size_t slot = perCluster > 1 ? n % perCluster : 0;
  std::memcpy(out.data(), clusters.data() + slot * recordSize, recordSize);
  auto record = out.first(recordSize);
  MendFromMirror(ctx, n, record);
  if (!HasFileSignature(disk::Bytes(record.data(), record.size()))) return false;
  return ApplyFixups(record) == Fixups::Whole;
}

MftReader::MftReader(const disk::VolumeContext& ctx, std::uint32_t windowBytes, disk::Bytes bitmap)
    : ctx_(ctx), bitmap_(bitmap) {
  clusterSize_ = ctx.bytesPerCluster;
  if (clusterSize_ == 0 || ctx.mftRecordSize == 0) return;
  const std::uint32_t k = ClustersPerRecord(ctx.mftRecordSize, clusterSize_);
  // Never wider than the table: a small volume's few records are not read
  // through a window of zeros allocated and cleared for nothing.
  const std::uint64_t tableBytes = MftRecordCount(ctx) * ctx.mftRecordSize;
  const std::uint64_t tableClusters = (tableBytes + clusterSize_ - 1) / clusterSize_;
  windowClusters_ = static_cast<std::uint32_t>(
      std::max<std::uint64_t>(k, std::min<std::uint64_t>(windowBytes / clusterSize_, tableClusters)));
  // A window always holds whole records: a multiple of the clusters one
  // record spans.
  windowClusters_ -= windowClusters_ % k;
  window_.resize(static_cast<std::size_t>(windowClusters_) * clusterSize_);
}

bool MftReader::Read(RecordNumber n, std::span<std::uint8_t> out) {
  const std::uint32_t recordSize = ctx_.mftRecordSize;
  if (windowClusters_ == 0 || out.size() < recordSize) return ReadMftRecord(ctx_, n, out);
  const std::uint32_t k = ClustersPerRecord(recordSize, clusterSize_);
  // The clusters ReadMftRecord would read for this record.
  const Vcn first = static_cast<std::uint64_t>(n) * recordSize / clusterSize_;
  if (windowCount_ == 0 || first < windowStart_ || first - windowStart_ + k > windowCount_) {
    windowStart_ = first - first % k;
    // Up to the last free record that still fits in the window.
    std::uint64_t last = n;
    if (!bitmap_.empty()) {
      const std::uint64_t fits = static_cast<std::uint64_t>(windowClusters_) * clusterSize_ / recordSize;
      for (std::uint64_t r = n + 1; r < static_cast<std::uint64_t>(n) + fits; ++r) {
        if (!IsBitSet(bitmap_, r)) last = r;
      }
    } else {
      last = ~std::uint64_t{0};
    }
    std::uint64_t count = windowClusters_;
    if (last != ~std::uint64_t{0}) {
      const Vcn lastFirst = last * recordSize / clusterSize_;
      count = std::min<std::uint64_t>(windowClusters_, lastFirst + k - windowStart_);
      count += (k - count % k) % k;
      count = std::min<std::uint64_t>(count, windowClusters_);
    }
    windowCount_ = static_cast<std::uint32_t>(count);
    auto area = std::span<std::uint8_t>(window_).first(static_cast<std::size_t>(windowCount_) * clusterSize_);
    std::fill(area.begin(), area.end(), 0);
    ReadAttributeClusters(ctx_, ctx_.mftSelfRecord, kAttrData, windowStart_, windowCount_, area, 0);
    if (first - windowStart_ + k > windowCount_) {
      windowCount_ = 0;
      return ReadMftRecord(ctx_, n, out);
    }
  }
  const std::uint32_t perCluster = clusterSize_ / recordSize;
  const std::size_t slot = perCluster > 1 ? n % perCluster : 0;
  const std::size_t at = static_cast<std::size_t>(first - windowStart_) * clusterSize_ + slot * recordSize;
  std::memcpy(out.data(), window_.data() + at, recordSize);
  auto record = out.first(recordSize);
  MendFromMirror(ctx_, n, record);
  if (!HasFileSignature(disk::Bytes(record.data(), record.size()))) return false;
  return ApplyFixups(record) == Fixups::Whole;
}

}  // namespace ambrelic::ntfs
