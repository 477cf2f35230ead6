#include "ntfs/data_runs.h"

#include <algorithm>
#include <cstring>

#include "disk/sector_device.h"
#include "ntfs/lznt1.h"

namespace ambrelic::ntfs {
namespace {

// Extents of one attribute are reached one after the other through the
// attribute list; this many hops is far beyond any real file and stops a
// list that sends the reader round in circles.
constexpr int kMaxExtentHops = 1 << 16;

// Largest restore unit accepted: a compression unit of 2^8 clusters, and
// never more than 64 MiB in memory.
constexpr unsigned kMaxCompressionUnitLog = 8;
constexpr std::uint64_t kMaxUnitBytes = 64u << 20;

// Clusters of the volume, for refusing LCNs a damaged run list invents.
std::uint64_t VolumeClusters(const disk::VolumeContext& ctx) {
  const std::uint32_t cs = ClusterSize(ctx);
  return cs == 0 ? 0 : VolumeByteSize(ctx) / cs;
}

// The part of [lcn, lcn + count) that lies inside the volume.
std::uint32_t ClustersInside(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count) {
  const std::uint64_t total = VolumeClusters(ctx);
  if (lcn >= total) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(count, total - lcn));
}

}  // namespace

std::size_t RunHeaderSize(disk::Bytes entry) {
  if (entry.empty()) return 0;
  const std::size_t l = entry[0] & 0x0F;
  const std::size_t o = entry[0] >> 4;
  if (l > 8 || o > 8 || entry.size() < 1 + l + o) return 0;
  return 1 + l + o;
}

std::uint64_t RunLength(disk::Bytes entry) {
  if (RunHeaderSize(entry) == 0) return 0;
  const std::size_t l = entry[0] & 0x0F;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < l; ++i) v |= static_cast<std::uint64_t>(entry[1 + i]) << (8 * i);
  return v;
}

std::int64_t RunOffsetDelta(disk::Bytes entry) {
  if (RunHeaderSize(entry) == 0) return 0;
  const std::size_t l = entry[0] & 0x0F;
  const std::size_t o = entry[0] >> 4;
  if (o == 0) return 0;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < o; ++i) v |= static_cast<std::uint64_t>(entry[1 + l + i]) << (8 * i);
  // The last byte carries the sign.
  if (o < 8 && (entry[l + o] & 0x80)) v |= ~std::uint64_t{0} << (8 * o);
  return static_cast<std::int64_t>(v);
}

bool MapVcn(const Attribute& extent, Vcn vcn, Lcn& lcn, std::uint64_t& clustersLeftInRun) {
  if (extent.resident() || vcn < extent.lowestVcn() || vcn > extent.highestVcn()) return false;
  const disk::Bytes runs = extent.runList();
  std::uint64_t current = 0;  // LCNs add up with wrap-around, deltas are signed
  Vcn runStart = extent.lowestVcn();
  std::size_t pos = 0;
  // Every entry is at least one byte: the walk ends within the run list.
  while (pos < runs.size() && runs[pos] != 0) {
    const disk::Bytes entry = runs.subspan(pos);
    const std::size_t size = RunHeaderSize(entry);
    if (size == 0) return false;
    const std::int64_t delta = RunOffsetDelta(entry);
    const std::uint64_t length = RunLength(entry);
    current += static_cast<std::uint64_t>(delta);
    if (vcn >= runStart && vcn - runStart < length) {
      lcn = delta != 0 ? current + (vcn - runStart) : 0;
      clustersLeftInRun = length - (vcn - runStart);
      return true;
    }
    if (length > ~std::uint64_t{0} - runStart) return false;
    runStart += length;
    pos += size;
  }
  return false;
}

void ReadClusters(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count, std::uint8_t* buffer) {
  const std::uint32_t cs = ClusterSize(ctx);
  const std::uint32_t inside = ClustersInside(ctx, lcn, count);
  const std::uint64_t spc = SectorsPerCluster(ctx);
  if (inside > 0) disk::ReadVolumeSectors(ctx, lcn * spc, static_cast<std::uint32_t>(inside * spc), buffer);
  std::memset(buffer + static_cast<std::size_t>(inside) * cs, 0, static_cast<std::size_t>(count - inside) * cs);
}

void WriteClusters(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count, const std::uint8_t* buffer) {
  const std::uint32_t inside = ClustersInside(ctx, lcn, count);
  const std::uint64_t spc = SectorsPerCluster(ctx);
  if (inside > 0) disk::WriteVolumeSectors(ctx, lcn * spc, static_cast<std::uint32_t>(inside * spc), buffer);
}

std::uint32_t ReadExtentClusters(const disk::VolumeContext& ctx, const Attribute& extent, Vcn vcn,
                                 std::uint32_t count, std::span<std::uint8_t> buffer,
                                 std::uint32_t& sparseClusters) {
  sparseClusters = 0;
  const std::uint32_t cs = ClusterSize(ctx);
  if (cs == 0) return 0;
  count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, buffer.size() / cs));
  std::uint32_t left = count;
  std::size_t at = 0;
  while (left > 0) {
    Lcn lcn = 0;
    std::uint64_t inRun = 0;
    if (!MapVcn(extent, vcn, lcn, inRun)) return count - left;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(inRun, left));
    if (lcn == 0) {
      std::memset(buffer.data() + at, 0, static_cast<std::size_t>(n) * cs);
      sparseClusters += n;
    } else {
      ReadClusters(ctx, lcn, n, buffer.data() + at);
    }
    vcn += n;
    at += static_cast<std::size_t>(n) * cs;
    left -= n;
  }
  return count;
}

void ReadAttributeClusters(const disk::VolumeContext& ctx, disk::Bytes record, std::uint32_t type, Vcn vcn,
                           std::uint32_t count, std::span<std::uint8_t> buffer, std::uint16_t decompressFlag) {
  const std::uint32_t cs = ClusterSize(ctx);
  if (cs == 0) return;
  count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, buffer.size() / cs));
  std::vector<std::uint8_t> base(record.begin(), record.end());
  auto first = FindAttribute(ctx, base, type);
  if (!first) return;
  const std::uint64_t want = static_cast<std::uint64_t>(cs) * count;
  auto out = buffer.first(static_cast<std::size_t>(want));
  if (first->resident()) {
    // Not a case the design reads through here; served from the value so
    // that callers need not tell the two apart.
    const disk::Bytes value = first->value();
    std::fill(out.begin(), out.end(), 0);
    if (vcn < value.size() / cs + 1) {
      const std::size_t off = static_cast<std::size_t>(vcn) * cs;
      if (off < value.size()) std::memcpy(out.data(), value.data() + off, std::min(out.size(), value.size() - off));
    }
    return;
  }
  const std::uint64_t initialized = first->initializedSize();
  const std::uint64_t allocated = first->allocatedSize();
  if (vcn > ~std::uint64_t{0} / cs) {
    std::fill(out.begin(), out.end(), 0);
    return;
  }
  const std::uint64_t off = vcn * cs;
  if (initialized <= off || allocated <= off) {
    std::fill(out.begin(), out.end(), 0);
    return;
  }
  auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>((allocated - off) / cs, count));
  std::uint32_t sparseTotal = 0;
  std::size_t at = 0;
  Attribute extent = *first;
  std::vector<std::uint8_t> extentRecord;
  int hops = 0;
  while (n > 0) {
    bool lost = false;
    while (extent.highestVcn() != 0 && vcn > extent.highestVcn()) {
      const Vcn next = extent.highestVcn() + 1;
      extentRecord.assign(record.begin(), record.end());
      auto found = ++hops <= kMaxExtentHops ? FindAttribute(ctx, extentRecord, type, nullptr, next) : std::nullopt;
      if (!found || found->highestVcn() < found->lowestVcn()) {
        lost = true;
        break;
      }
      extent = *found;
    }
    if (lost) break;
    std::uint32_t sparse = 0;
    const std::uint32_t got = ReadExtentClusters(ctx, extent, vcn, n, out.subspan(at), sparse);
    sparseTotal += sparse;
    vcn += got;
    at += static_cast<std::size_t>(got) * cs;
    n -= got;
    if (got == 0) break;
  }
  if (decompressFlag == 1 && sparseTotal > 0 && sparseTotal < count) DecompressUnit(out);
  if (initialized - off < want) {
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(initialized - off), out.end(), 0);
  }
}

std::vector<std::uint8_t> ReadAttributeValue(const disk::VolumeContext& ctx, const Attribute& attribute,
                                             std::uint64_t maxBytes) {
  std::vector<std::uint8_t> value(std::min<std::uint64_t>(AttributeCapacity(ctx, attribute), maxBytes), 0);
  if (attribute.resident()) {
    const disk::Bytes v = attribute.value();
    std::copy_n(v.begin(), std::min(v.size(), value.size()), value.begin());
    return value;
  }
  const std::uint32_t cs = ClusterSize(ctx);
  if (cs == 0) return value;
  const std::uint64_t clusters = static_cast<std::uint64_t>(attribute.highestVcn() & 0xFFFFFFFFu) + 1;
  // Never more than the buffer holds: whole clusters straight in, a last
  // partial one through a cluster of scratch.
  const std::uint64_t whole = std::min<std::uint64_t>(clusters, value.size() / cs);
  std::uint32_t sparse = 0;
  const std::uint32_t got =
      ReadExtentClusters(ctx, attribute, 0, static_cast<std::uint32_t>(whole), value, sparse);
  if (got == whole && clusters > whole && value.size() % cs != 0) {
    std::vector<std::uint8_t> last(cs);
    if (ReadExtentClusters(ctx, attribute, whole, 1, last, sparse) == 1) {
      std::memcpy(value.data() + whole * cs, last.data(), value.size() % cs);
    }
  }
  return value;
}

std::optional<DataStream> DataStream::Open(const disk::VolumeContext& ctx, RecordNumber record) {
  DataStream s(ctx);
  s.record_.resize(ctx.mftRecordSize);
  if (!ReadMftRecord(ctx, record, s.record_)) return std::nullopt;
  std::vector<std::uint8_t> copy = s.record_;
  auto data = FindAttribute(ctx, copy, kAttrData);
  if (!data) return std::nullopt;
  if (data->resident()) {
    const disk::Bytes v = data->value();
    s.resident_ = true;
    s.buffer_.assign(v.begin(), v.end());
    s.size_ = s.remaining_ = v.size();
    return s;
  }
  const std::uint32_t cs = ClusterSize(ctx);
  if (cs == 0) return std::nullopt;
  s.flags_ = data->flags();
  if (s.compressed()) {
    if (data->compressionUnit() > kMaxCompressionUnitLog) return std::nullopt;
    s.unitClusters_ = 1u << data->compressionUnit();
  } else {
    s.unitClusters_ = 16;
  }
  if (static_cast<std::uint64_t>(s.unitClusters_) * cs > kMaxUnitBytes) return std::nullopt;
  s.buffer_.resize(static_cast<std::size_t>(s.unitClusters_) * cs);
  s.size_ = data->realSize();
  // Past the allocated size every read gives zeros: a real size beyond it
  // is damage, and writing it out would only add zeros without end.
  s.remaining_ = std::min(s.size_, data->allocatedSize());
  return s;
}

std::uint64_t DataStream::SkipUnits(std::uint64_t units) {
  if (remaining_ == 0 || units == 0) return 0;
  if (resident_) return SkipNext();
  const std::uint64_t unitBytes = buffer_.size();
  const std::uint64_t n = units > remaining_ / unitBytes ? remaining_ : units * unitBytes;
  const std::uint64_t taken = (n + unitBytes - 1) / unitBytes;
  vcn_ += taken * unitClusters_;
  remaining_ -= n;
  return n;
}

std::uint64_t DataStream::SkipNext() {
  if (remaining_ == 0) return 0;
  if (resident_) {
    remaining_ = 0;
    return buffer_.size();
  }
  const std::uint64_t n = std::min<std::uint64_t>(buffer_.size(), remaining_);
  vcn_ += unitClusters_;
  remaining_ -= n;
  return n;
}

std::span<const std::uint8_t> DataStream::ReadNext() {
  if (remaining_ == 0) return {};
  if (resident_) {
    remaining_ = 0;
    return buffer_;
  }
  // A fresh unit every time: clusters no run maps read as zeros, never as
  // the previous unit's bytes.
  std::fill(buffer_.begin(), buffer_.end(), 0);
  ReadAttributeClusters(*ctx_, record_, kAttrData, vcn_, unitClusters_, buffer_, compressed() ? 1 : 0);
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), remaining_));
  vcn_ += unitClusters_;
  remaining_ -= n;
  return std::span<const std::uint8_t>(buffer_.data(), n);
}

}  // namespace ambrelic::ntfs
