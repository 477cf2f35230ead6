// Attributes inside an MFT record: the walk that finds one (following the
// $ATTRIBUTE_LIST into extension records), the name test, the derived sizes
// and the bit test used on bitmaps.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "disk/byte_reader.h"
#include "disk/volume_context.h"
#include "ntfs/mft_record.h"

namespace ambrelic::ntfs {

inline constexpr std::uint32_t kAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrAttributeList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrBitmap = 0xB0;
inline constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

inline constexpr std::uint16_t kAttrFlagCompressed = 0x0001;

inline constexpr std::uint8_t kNamespaceDos = 2;

// One attribute of a record buffer. Built only by FindAttribute, which has
// checked that the header, the name, the resident value or the run list lie
// inside the attribute and the attribute inside the record; the accessors
// trust that. The bytes point into the caller's record buffer.
struct Attribute {
  disk::Bytes bytes;

  std::uint32_t type() const { return disk::le32(bytes, 0x00); }
  bool resident() const { return disk::le8(bytes, 0x08) == 0; }
  std::uint16_t flags() const { return disk::le16(bytes, 0x0C); }
  // The attribute's own name, UTF-16LE.
  disk::Bytes name() const;
  // Resident: the value. Non-resident: empty.
  disk::Bytes value() const;
  // Non-resident fields (0 for a resident attribute).
  Vcn lowestVcn() const { return resident() ? 0 : disk::le64(bytes, 0x10); }
  Vcn highestVcn() const { return resident() ? 0 : disk::le64(bytes, 0x18); }
  disk::Bytes runList() const;
  std::uint8_t compressionUnit() const { return resident() ? 0 : disk::le8(bytes, 0x22); }
  std::uint64_t allocatedSize() const { return resident() ? value().size() : disk::le64(bytes, 0x28); }
  std::uint64_t realSize() const { return resident() ? value().size() : disk::le64(bytes, 0x30); }
  std::uint64_t initializedSize() const { return resident() ? value().size() : disk::le64(bytes, 0x38); }
};

// Checks one attribute at offset of a record: header, length, name, value
// or run list all inside. The walk stops at the first one that fails.
std::optional<Attribute> AttributeAt(disk::Bytes record, std::size_t offset);

// Finds the attribute of the given type whose name matches (no name: only
// unnamed attributes) and which is resident or starts at startVcn. When it
// is not in the record and noList is false, follows the record's
// $ATTRIBUTE_LIST: the extension record that holds it is read into record,
// replacing its content, and the result points there. A caller that needs
// the base record afterwards works on a copy.
std::optional<Attribute> FindAttribute(const disk::VolumeContext& ctx, std::span<std::uint8_t> record,
                                       std::uint32_t type, const std::u16string* name = nullptr,
                                       Vcn startVcn = 0, bool noList = false);

// The walk's name test. A $FILE_NAME in the DOS namespace never matches, so
// the name of a record is its first non-DOS $FILE_NAME.
bool AttributeMatchesName(const Attribute& attribute, const std::u16string* name);

// No attribute list is longer: NTFS lets one grow to 256 KiB and no
// further (the limit behind Windows' error for heavily fragmented files).
inline constexpr std::uint64_t kMaxAttributeListBytes = 256 * 1024;

// Size of the buffer that receives the whole value: the low 32 bits of the
// allocated size, or the resident value length (inside its record, so at
// most 64 KiB). Capped at what the value can really be: the volume size,
// and for an $ATTRIBUTE_LIST kMaxAttributeListBytes, so a damaged record
// cannot make anyone allocate more.
std::uint32_t AttributeCapacity(const disk::VolumeContext& ctx, const Attribute& attribute);

// The low 32 bits of the real size, or the resident value length; sizes
// buffers as designed. Sizes shown or written use Attribute::realSize().
std::uint32_t AttributeDataSize(const Attribute& attribute);

// Bit index of a bitmap, least significant bit first. Bits past the end of
// the bitmap read as set (in use), so a short bitmap never makes the engine
// treat unknown records or clusters as free.
bool IsBitSet(disk::Bytes bitmap, std::uint64_t index);

// The fields of a $FILE_NAME value this system uses.
struct FileNameInfo {
  std::uint64_t parentReference = 0;  // all 64 bits
  RecordNumber parent = 0;            // low 32 bits
  std::uint8_t nameSpace = 0;
  disk::Bytes name;                   // UTF-16LE, inside the value
};

// Fails when the value is too short for its own name.
std::optional<FileNameInfo> ParseFileName(const Attribute& attribute);

// The name of a record as locale text: its first non-DOS $FILE_NAME. Works on
// a copy of the record. Empty optional when the record has none.
struct RecordName {
  std::string name;
  FileNameInfo info;
};
std::optional<RecordName> FindRecordName(const disk::VolumeContext& ctx, disk::Bytes record);

}  // namespace ambrelic::ntfs
