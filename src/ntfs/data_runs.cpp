#include "ntfs/data_runs.h"

#include <algorithm>
#include <cstring>

#include "disk/sector_device.h"
#include "ntfs/lznt1.h"

namespace ambrelic::ntfs {
namespace {

// Largest restore unit accepted: a compression unit of 2^8 clusters, and
// never more than 64 MiB in memory.
constexpr unsigned kMaxCompressionUnitLog = 8;
constexpr std::uint64_t kMaxUnitBytes = 64u << 20;

// The part of [lcn, lcn + count) that lies inside the volume.
std::uint32_t ClustersInside(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count) {
  const std::uint64_t total = VolumeClusters(ctx);
  if (lcn >= total) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(count, total - lcn));
}

// One run list entry: a header byte whose low and high nibbles give the
// widths of the length and of the signed LCN delta that follow; no delta
// at all makes the run sparse.
struct RunEntry {
  std::size_t size = 0;
  std::uint64_t length = 0;
  std::int64_t delta = 0;
  bool sparse = false;
};

// Reads the entry at the cursor; false when a field is wider than 8 bytes
// or runs past the list.
bool ReadRunEntry(disk::ByteReader& in, RunEntry& e) {
  const std::size_t start = in.pos();
  const std::uint8_t header = in.u8();
  e.length = in.uN(header & 0x0F);
  e.sparse = (header >> 4) == 0;
  e.delta = in.sN(header >> 4);
  e.size = in.pos() - start;
  return in.ok();
}

std::optional<RunEntry> EntryAt(disk::Bytes entry) {
  disk::ByteReader in(entry);
  RunEntry e;
  if (!ReadRunEntry(in, e)) return std::nullopt;
  return e;
}

}  // namespace

std::size_t RunHeaderSize(disk::Bytes entry) {
  const auto e = EntryAt(entry);
  return e ? e->size : 0;
}

std::uint64_t RunLength(disk::Bytes entry) {
  const auto e = EntryAt(entry);
  return e ? e->length : 0;
}

std::int64_t RunOffsetDelta(disk::Bytes entry) {
  const auto e = EntryAt(entry);
  return e ? e->delta : 0;
}

RunList ReadRunList(const Attribute& extent) {
  RunList list;
  if (extent.resident()) return list;
  list.lowest = list.end = extent.lowestVcn();
  list.highest = extent.highestVcn();
  disk::ByteReader in(extent.runList());
  std::uint64_t lcn = 0;
  // Every entry is at least one byte: the walk ends within the run list.
  for (;;) {
    if (in.left() == 0) {
      list.fault = RunFault::NoEnd;
      break;
    }
    if (in.u8(in.pos()) == 0) break;
    RunEntry e;
    if (!ReadRunEntry(in, e)) {
      list.fault = RunFault::BadEntry;
      break;
    }
    lcn += static_cast<std::uint64_t>(e.delta);
    list.runs.push_back({list.end, e.sparse ? 0 : lcn, e.length, e.sparse});
    if (e.length > ~std::uint64_t{0} - list.end) {
      list.fault = RunFault::VcnOverflow;
      break;
    }
    list.end += e.length;
  }
  return list;
}

const ClusterRun* RunList::Find(Vcn vcn) const {
  if (vcn < lowest || vcn > highest) return nullptr;
  for (const ClusterRun& r : runs) {
    if (vcn >= r.vcn && vcn - r.vcn < r.length) return &r;
  }
  return nullptr;
}

ExtentWalk::ExtentWalk(const disk::VolumeContext& ctx, disk::Bytes baseRecord, std::uint32_t type)
    : ctx_(ctx), type_(type), base_(baseRecord.begin(), baseRecord.end()), record_(base_) {
  extent_ = FindAttribute(ctx_, record_, type_);
  count_ = 1;
}

const RunList& ExtentWalk::runs() {
  if (!runs_) runs_ = ReadRunList(*extent_);
  return *runs_;
}

bool ExtentWalk::Next() {
  runs_.reset();
  if (!extent_) return false;
  const bool resident = extent_->resident();
  const Vcn lowest = extent_->lowestVcn();
  const Vcn highest = extent_->highestVcn();
  extent_.reset();
  // A resident value, or an extent that ends at the last VCN there is or
  // covers nothing, has no extent after it.
  if (resident || highest == ~std::uint64_t{0} || highest < lowest || count_ >= kMaxExtents) return false;
  ++count_;
  record_ = base_;
  std::optional<Attribute> found = FindAttribute(ctx_, record_, type_, nullptr, highest + 1);
  if (!found || found->resident() || found->highestVcn() < found->lowestVcn()) return false;
  extent_ = found;
  return true;
}

bool ExtentWalk::Reach(Vcn vcn) {
  while (extent_ && vcn > extent_->highestVcn()) {
    if (!Next()) return false;
  }
  return extent_.has_value();
}

void ReadClusters(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count, std::uint8_t* buffer) {
  const std::uint32_t cs = ctx.bytesPerCluster;
  const std::uint32_t inside = ClustersInside(ctx, lcn, count);
  const std::uint64_t spc = ctx.sectorsPerCluster;
  if (inside > 0) disk::ReadVolumeSectors(ctx, lcn * spc, static_cast<std::uint32_t>(inside * spc), buffer);
  std::memset(buffer + static_cast<std::size_t>(inside) * cs, 0, static_cast<std::size_t>(count - inside) * cs);
}

void WriteClusters(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count, const std::uint8_t* buffer) {
  const std::uint32_t inside = ClustersInside(ctx, lcn, count);
  const std::uint64_t spc = ctx.sectorsPerCluster;
  if (inside > 0) disk::WriteVolumeSectors(ctx, lcn * spc, static_cast<std::uint32_t>(inside * spc), buffer);
}

std::uint32_t ReadExtentClusters(const disk::VolumeContext& ctx, const Attribute& extent, Vcn vcn,
                                 std::uint32_t count, std::span<std::uint8_t> buffer,
                                 std::uint32_t& sparseClusters) {
  return ReadExtentClusters(ctx, ReadRunList(extent), vcn, count, buffer, sparseClusters);
}

std::uint32_t ReadExtentClusters(const disk::VolumeContext& ctx, const RunList& runs, Vcn vcn, std::uint32_t count,
                                 std::span<std::uint8_t> buffer, std::uint32_t& sparseClusters) {
  sparseClusters = 0;
  const std::uint32_t cs = ctx.bytesPerCluster;
  if (cs == 0) return 0;
  count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, buffer.size() / cs));
  std::uint32_t left = count;
  std::size_t at = 0;
  while (left > 0) {
    const ClusterRun* run = runs.Find(vcn);
    if (!run) return count - left;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(run->length - (vcn - run->vcn), left));
    if (run->sparse) {
      std::memset(buffer.data() + at, 0, static_cast<std::size_t>(n) * cs);
      sparseClusters += n;
    } else {
      ReadClusters(ctx, run->lcn + (vcn - run->vcn), n, buffer.data() + at);
    }
    vcn += n;
    at += static_cast<std::size_t>(n) * cs;
    left -= n;
  }
  return count;
}

void ReadAttributeClusters(const disk::VolumeContext& ctx, disk::Bytes record, std::uint32_t type, Vcn vcn,
                           std::uint32_t count, std::span<std::uint8_t> buffer, std::uint16_t decompressFlag) {
  const std::uint32_t cs = ctx.bytesPerCluster;
  if (cs == 0) return;
  count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, buffer.size() / cs));
  ExtentWalk walk(ctx, record, type);
  if (!walk) return;
  const Attribute* first = &walk.extent();
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
  while (n > 0) {
    if (!walk.Reach(vcn)) break;
    std::uint32_t sparse = 0;
    const std::uint32_t got = ReadExtentClusters(ctx, walk.runs(), vcn, n, out.subspan(at), sparse);
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
  const std::uint32_t cs = ctx.bytesPerCluster;
  if (cs == 0) return value;
  const std::uint64_t clusters = static_cast<std::uint64_t>(attribute.highestVcn() & 0xFFFFFFFFu) + 1;
  // Never more than the buffer holds: whole clusters straight in, a last
  // partial one through a cluster of scratch.
  const std::uint64_t whole = std::min<std::uint64_t>(clusters, value.size() / cs);
  std::uint32_t sparse = 0;
  const RunList runs = ReadRunList(attribute);
  const std::uint32_t got = ReadExtentClusters(ctx, runs, 0, static_cast<std::uint32_t>(whole), value, sparse);
  if (got == whole && clusters > whole && value.size() % cs != 0) {
    std::vector<std::uint8_t> last(cs);
    if (ReadExtentClusters(ctx, runs, whole, 1, last, sparse) == 1) {
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
  const std::uint32_t cs = ctx.bytesPerCluster;
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
