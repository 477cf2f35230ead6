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

// Maps vcn of one attribute extent to its LCN (0 for a sparse run) and the
// clusters left in that run from vcn on.
bool MapVcn(const Attribute& extent, Vcn vcn, Lcn& lcn, std::uint64_t& clustersLeftInRun);

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
