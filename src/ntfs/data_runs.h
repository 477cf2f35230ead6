// Non-resident attributes turned into bytes: run lists, VCN to LCN mapping,
// cluster transfers, extents spread over several records, sparse runs, the
// part past the initialized size, and whole attribute values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/volume_context.h"
#include "ntfs/attributes.h"
#include "ntfs/mft_record.h"

namespace ambrelic::ntfs {

// One run list entry, read from the start of entry (the rest of the run
// list). The decoders read only inside entry; an entry that does not fit, or
// whose length or offset field is wider than 8 bytes, gives 0 from
// RunHeaderSize, which ends any walk.
std::size_t RunHeaderSize(disk::Bytes entry);
std::uint64_t RunLength(disk::Bytes entry);
std::int64_t RunOffsetDelta(disk::Bytes entry);

// One run of an attribute: clusters [vcn, vcn + length) at lcn, or none on
// the disk when sparse. A run is sparse when its entry has no offset field
// at all; a run with offset bytes is on the disk even when its delta is 0
// and it starts at cluster 0 (the boot sector's own run does).
struct ClusterRun {
  Vcn vcn = 0;
  Lcn lcn = 0;
  std::uint64_t length = 0;
  bool sparse = false;
};

// Why a run list ended before its end marker.
enum class RunFault : std::uint8_t {
  None,
  NoEnd,        // the list runs out of the attribute without its end marker
  BadEntry,     // an entry with a field wider than 8 bytes, or cut short
  VcnOverflow,  // the runs count past the last VCN there is
};

// The runs of one extent, decoded once: the only reading of run lists.
// Runs are kept up to the first fault (a run that makes the VCNs overflow
// is kept and ends the list); runs of no clusters are kept and map nothing.
// LCNs add up with wrap-around, the deltas being signed.
struct RunList {
  Vcn lowest = 0;   // the extent's VCNs
  Vcn highest = 0;
  Vcn end = 0;      // the VCN after the last run decoded
  std::vector<ClusterRun> runs;
  RunFault fault = RunFault::None;

  // The run that maps vcn, when vcn lies inside the extent; null otherwise.
  const ClusterRun* Find(Vcn vcn) const;
};
RunList ReadRunList(const Attribute& extent);

// No attribute is spread over more extents than an attribute list can
// name; a list that sends the reader round in circles ends here.
inline constexpr int kMaxExtents = 1 << 16;

// The extents of a record's unnamed attribute of one type, in VCN order:
// the one at VCN 0, then each found (through the attribute list) at the VCN
// where the one before ends. The one way every reader goes from extent to
// extent.
class ExtentWalk {
 public:
  ExtentWalk(const disk::VolumeContext& ctx, disk::Bytes baseRecord, std::uint32_t type);
  ExtentWalk(const ExtentWalk&) = delete;  // the extent points into record_
  ExtentWalk& operator=(const ExtentWalk&) = delete;
  // False once there is no extent (none at VCN 0, or the walk is over).
  explicit operator bool() const { return extent_.has_value(); }
  // The current extent; it points into the walk's own copy of its record.
  const Attribute& extent() const { return *extent_; }
  // Its runs, decoded the first time they are asked for.
  const RunList& runs();
  // Moves to the extent starting where this one ends. False, and the walk
  // over, when this one is resident or ends nowhere further, or when the
  // next is missing, resident, empty or one more than kMaxExtents.
  bool Next();
  // Moves on until the current extent reaches vcn; false when the walk
  // ends first.
  bool Reach(Vcn vcn);

 private:
  const disk::VolumeContext& ctx_;
  std::uint32_t type_;
  std::vector<std::uint8_t> base_;
  std::vector<std::uint8_t> record_;
  std::optional<Attribute> extent_;
  std::optional<RunList> runs_;
  int count_ = 0;
};

// count clusters from lcn, through the sector device. Clusters outside the
// volume read as zeros (and are not written).
void ReadClusters(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count, std::uint8_t* buffer);
void WriteClusters(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count, const std::uint8_t* buffer);

// Reads count clusters of one extent from vcn into buffer (count clusters
// long). Sparse clusters are zeroed and counted in sparseClusters. Returns
// the clusters delivered; it stops where no run maps the VCN.
std::uint32_t ReadExtentClusters(const disk::VolumeContext& ctx, const Attribute& extent, Vcn vcn,
                                 std::uint32_t count, std::span<std::uint8_t> buffer,
                                 std::uint32_t& sparseClusters);
std::uint32_t ReadExtentClusters(const disk::VolumeContext& ctx, const RunList& runs, Vcn vcn, std::uint32_t count,
                                 std::span<std::uint8_t> buffer, std::uint32_t& sparseClusters);

// Reads count clusters of the record's unnamed attribute of that type from
// vcn, following its extents, into buffer (count clusters long). Bytes past
// the initialized size read as zeros. A compression unit that is partly
// sparse is decompressed when decompressFlag is 1.
void ReadAttributeClusters(const disk::VolumeContext& ctx, disk::Bytes record, std::uint32_t type, Vcn vcn,
                           std::uint32_t count, std::span<std::uint8_t> buffer, std::uint16_t decompressFlag);

// The whole value of an attribute, in a buffer of AttributeCapacity bytes
// (or maxBytes, when the caller knows the value cannot be longer): a
// resident value copied, a non-resident one read cluster by cluster from
// VCN 0 of this extent (never more than the buffer holds).
std::vector<std::uint8_t> ReadAttributeValue(const disk::VolumeContext& ctx, const Attribute& attribute,
                                             std::uint64_t maxBytes = ~std::uint64_t{0});

// The unnamed $DATA of one record, read the way the restore writes it: a
// resident value in one piece, otherwise one restore unit after the other
// (a compression unit for compressed data, else 16 clusters), decompressed,
// with sparse runs and the part past the initialized size as zeros.
class DataStream {
 public:
  // Empty when the record is not a file record or has no unnamed $DATA, or
  // when its unit size is absurd.
  static std::optional<DataStream> Open(const disk::VolumeContext& ctx, RecordNumber record);

  // Bytes the file holds: the real size (64-bit).
  std::uint64_t size() const { return size_; }
  bool resident() const { return resident_; }
  // Compressed when the compression bit is set, also together with the
  // sparse flag (0x8001), which would otherwise be written out undecoded.
  bool compressed() const { return (flags_ & kAttrFlagCompressed) != 0; }
  std::uint16_t flags() const { return flags_; }
  std::uint32_t unitClusters() const { return unitClusters_; }
  std::uint64_t remaining() const { return remaining_; }

  // The next piece of the file: at most one unit, never more than what is
  // left of the size. Empty when the whole file has been delivered.
  std::span<const std::uint8_t> ReadNext();
  // Passes over the next piece without reading it (the caller knows it
  // reads as zeros); returns its length, 0 at the end.
  std::uint64_t SkipNext();
  // The same for the next units pieces at once; returns their length.
  std::uint64_t SkipUnits(std::uint64_t units);

 private:
  DataStream(const disk::VolumeContext& ctx) : ctx_(&ctx) {}
  const disk::VolumeContext* ctx_;
  std::vector<std::uint8_t> record_;  // the base record, as read
  std::vector<std::uint8_t> buffer_;  // one unit, or the resident value
  bool resident_ = false;
  std::uint16_t flags_ = 0;
  std::uint32_t unitClusters_ = 0;
  std::uint64_t size_ = 0;
  std::uint64_t remaining_ = 0;
  Vcn vcn_ = 0;
};

}  // namespace ambrelic::ntfs
