// MFT file records: the record size taken from the boot sector, the MFT's own
// record (record 0) kept in the volume context, reading record N through the
// runs of that record, and the update-sequence fixups.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/volume_context.h"

namespace ambrelic::ntfs {

using Lcn = std::uint64_t;           // logical cluster number on the volume
using Vcn = std::uint64_t;           // cluster number inside an attribute
using RecordNumber = std::uint32_t;  // index of a file record in the MFT

inline constexpr std::uint32_t kFileSignature = 0x454C4946;  // "FILE"
inline constexpr std::uint32_t kRootRecord = 5;
inline constexpr std::uint32_t kMaxRecordSize = 65536;
inline constexpr std::uint32_t kMaxClusterSize = 2u << 20;
// Update sequences protect records (and index blocks) in blocks of 512
// bytes; no block is smaller than this.
inline constexpr std::size_t kUpdateSequenceBlock = 512;
inline constexpr std::size_t kMinUpdateSequenceStride = 256;

// Header fields of a file record.
inline constexpr std::size_t kRecUsaOffset = 0x04;
inline constexpr std::size_t kRecUsaCount = 0x06;
inline constexpr std::size_t kRecFirstAttribute = 0x14;
inline constexpr std::size_t kRecFlags = 0x16;
inline constexpr std::uint8_t kRecInUse = 0x01;
inline constexpr std::uint8_t kRecDirectory = 0x02;

// Sectors per cluster from the byte at boot offset 0x0D: up to 0x80 the
// count itself; above, a negative power of two, as Windows writes it for
// clusters above 64 KiB (0xF4: 2^12 sectors, 2 MiB clusters of 512-byte
// sectors). 0 when the byte gives no count, or clusters larger than NTFS
// has (2 MiB) with the bytes per sector at 0x0B.
std::uint32_t SectorsPerClusterFromBoot(std::span<const std::uint8_t> boot);

// Decodes the geometry of ctx.ntfsBootSector into the context's fields
// (sectorsPerCluster, bytesPerCluster, mftStartCluster, mftMirrorCluster)
// with the bytes per sector the context holds: once, when the volume is
// prepared; every reader then takes them from there.
void DecodeNtfsGeometry(disk::VolumeContext& ctx);

// Bytes the volume spans: the device's length (or, without one, the boot
// sector's cluster count). Nothing read from a record may make the engine
// allocate more than this.
std::uint64_t VolumeByteSize(const disk::VolumeContext& ctx);
// The clusters of that many bytes, for refusing the LCNs a damaged run list
// invents.
std::uint64_t VolumeClusters(const disk::VolumeContext& ctx);

// Record size from the clusters-per-record byte at boot offset 0x40 (the
// three bytes after it are ignored): below 128 a count of clusters, else
// 2^(256 - v) bytes. 0 when the value gives no usable size (0 bytes, more
// than 64 KiB, or a zero cluster geometry).
std::uint32_t MftRecordSizeFromBoot(std::span<const std::uint8_t> boot);

// Computes ctx.mftRecordSize, reads record 0 of the MFT into
// ctx.mftSelfRecord and applies its fixups. The signature is not tested
// here; a torn record 0 has its signature taken away, so that the volume
// is not read through runs that may be half old, half new. False when the boot sector gives no usable record size.
bool LoadMftSelfRecord(disk::VolumeContext& ctx);

// Reads record n into out (at least ctx.mftRecordSize bytes) through the
// runs of the MFT's unnamed $DATA. True when it carries the "FILE" signature
// and its update sequence is whole (fixups then applied); false otherwise,
// out then holding the raw bytes: a torn record is no record to read.
bool ReadMftRecord(const disk::VolumeContext& ctx, RecordNumber n, std::span<std::uint8_t> out);

// The size of the blocks an update sequence of usaCount entries protects in
// a record of recordSize bytes: recordSize / (usaCount - 1), when that is a
// whole power of two of at least 256 bytes; 0 otherwise.
std::size_t UpdateSequenceStride(std::size_t recordSize, std::size_t usaCount);

// What a record's update sequence says of it. NTFS writes the sequence
// number over the last two bytes of every block it protects and keeps the
// words it displaced in the array; a block that does not end in the number
// was not written with the others.
enum class Fixups : std::uint8_t {
  Whole,  // every block ended in the number: the saved words are back in place
  Torn,   // a block did not, or the array gives no blocks: the record is left as read
};

// The one check of a record's (or index block's) update sequence, used by
// every reader of records: the search, the restore and the wipe take a
// record as readable only when it is Whole. The block size comes from the
// record's own count (UpdateSequenceStride); an array that does not lie
// inside the record, or a count that gives no block size, is Torn.
Fixups ApplyFixups(std::span<std::uint8_t> record);

inline bool HasFileSignature(disk::Bytes record) { return disk::le32(record, 0) == kFileSignature; }
inline bool RecordInUse(disk::Bytes record) { return (disk::le8(record, kRecFlags) & kRecInUse) != 0; }
inline bool RecordIsDirectory(disk::Bytes record) {
  return (disk::le8(record, kRecFlags) & kRecDirectory) != 0;
}

// Reads MFT records in ascending order through a window of MFT clusters, so
// that a walk over the table costs one large read per window instead of one
// read per record. A window reaches only as far as the last record the MFT
// bitmap (when given) marks free within it, so a table of mostly used
// records is not read whole. Gives the same bytes as ReadMftRecord.
class MftReader {
 public:
  explicit MftReader(const disk::VolumeContext& ctx, std::uint32_t windowBytes = 1u << 20,
                     disk::Bytes bitmap = {});
  bool Read(RecordNumber n, std::span<std::uint8_t> out);

 private:
  const disk::VolumeContext& ctx_;
  disk::Bytes bitmap_;
  std::uint32_t clusterSize_ = 0;
  std::uint32_t windowClusters_ = 0;  // capacity
  std::uint32_t windowCount_ = 0;     // clusters read into the window
  Vcn windowStart_ = 0;
  std::vector<std::uint8_t> window_;
};

}  // namespace ambrelic::ntfs
