// The 32-byte FAT directory entry as the walk reads it: short entries,
// long-name entries, the short-name checksum, the row texts made from an
// entry, and the conversion of short (OEM) and long (UTF-16) names to the
// locale's text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "disk/byte_reader.h"
#include "disk/volume_context.h"
#include "fat/allocation_table.h"

namespace ambrelic::fat {

constexpr std::size_t kDirEntrySize = 32;
constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::uint8_t kDotEntry = '.';
constexpr std::uint8_t kAttrDirectory = 0x10;
constexpr std::uint8_t kAttrLongName = 0x0F;

// Offsets inside an entry.
constexpr std::size_t kOffAttributes = 0x0B;
constexpr std::size_t kOffLongChecksum = 0x0D;
constexpr std::size_t kOffCreateTime = 0x0E;
constexpr std::size_t kOffCreateDate = 0x10;
constexpr std::size_t kOffClusterHigh = 0x14;
constexpr std::size_t kOffWriteTime = 0x16;
constexpr std::size_t kOffWriteDate = 0x18;
constexpr std::size_t kOffClusterLow = 0x1A;
constexpr std::size_t kOffSize = 0x1C;

// Long-name entries hold 13 UTF-16 units; at most 20 of them are gathered.
constexpr std::size_t kLongNameUnitsPerEntry = 13;
constexpr std::size_t kLongNameBytesPerEntry = 26;
constexpr int kMaxLongNameEntries = 20;

// The first cluster, high word combined on every FAT kind: on FAT12/16 a
// non-zero high word makes it larger than any cluster of the volume.
inline Cluster EntryFirstCluster(disk::Bytes e) {
  return (static_cast<Cluster>(disk::le16(e, kOffClusterHigh)) << 16) | disk::le16(e, kOffClusterLow);
}

inline bool IsLongNameEntry(disk::Bytes e) {
  return disk::le8(e, kOffAttributes) == kAttrLongName && disk::le16(e, kOffClusterLow) == 0;
}

inline bool IsDirectoryEntry(disk::Bytes e) { return (disk::le8(e, kOffAttributes) & kAttrDirectory) != 0; }

// The checksum a long name carries of its short entry's 11 name bytes.
std::uint8_t ShortNameChecksum(const std::array<std::uint8_t, 11>& name);

// The 26 name bytes of a long-name entry, in name order (0x01-0x0A,
// 0x0E-0x19, 0x1C-0x1F).
void CopyLongNameBytes(disk::Bytes entry, std::uint8_t* out26);

// "MM/DD/YYYY HH:MM" of a last-write date and time; no field is range-checked.
std::string FormatModified(std::uint16_t date, std::uint16_t time);

// The short name of an entry in OEM bytes: base, then "." and the extension
// when there is one, trailing spaces dropped, a deleted first byte replaced
// by '$' (firstCharLost tells). No case change; a first byte 0x05 stays.
std::string BuildShortNameBytes(disk::Bytes entry, bool& firstCharLost);

// Whether 32 bytes could be an entry a FAT driver wrote on this volume: a
// long-name entry with its sequence number, type and cluster word as
// written; or a short entry with attribute bits a file system sets, name
// bytes a short name may hold (upper case, none of the characters a short
// name excludes), a first cluster inside the volume, a size whose clusters
// from the first fit in the volume (a folder: size 0) and dates and times
// that a clock could show, no later than next year. A deleted entry is
// judged by what its mark left. The end-of-directory entry (first byte 0)
// is no entry: callers stop before it.
bool PlausibleEntry(const disk::VolumeContext& ctx, disk::Bytes e);

// Reads a cluster's bytes as directory entries: the verdict on its slots up
// to the end-of-directory entry.
struct EntryTally {
  std::uint32_t plausible = 0;
  std::uint32_t implausible = 0;
  bool startsWithDot = false;  // its first entry is a "." entry
  bool ended = false;          // an end-of-directory entry was met
  bool emptyAtStart = false;   // the very first slot ends the directory
};
EntryTally TallyEntries(const disk::VolumeContext& ctx, disk::Bytes cluster);

// Converts names to the locale's text, and to its upper case for the name
// filter. Built once per walk: for a single-byte OEM code page every byte
// maps to a fixed piece of text, so short names are converted by table
// instead of one iconv call per entry; the results are those of
// platform::OemToLocale, platform::Utf16ToLocale and platform::UpperCase.
class NameConverter {
 public:
  NameConverter();
  // OEM bytes to locale text.
  void Oem(std::string_view oem, std::string& out) const;
  // The upper case of Oem(oem), in one step.
  void OemUpper(std::string_view oem, std::string& out) const;
  // Upper case of locale text.
  void Upper(std::string_view text, std::string& out) const;
  // The OEM byte whose text is `text` (one character), for a single-byte
  // code page; false when there is none.
  bool OemByteOf(std::string_view text, std::uint8_t& byte) const;
  // For each OEM byte: true when its upper-cased text contains the ASCII
  // byte `ascii`. False (no table) for a double-byte code page.
  bool OemBytesProducing(char ascii, std::array<bool, 256>& table) const;
  // UTF-16LE units (2 bytes each) to locale text; never cut short.
  void Utf16(const std::uint8_t* bytes, std::size_t unitCount, std::string& out) const;

 private:
  bool oemTable_ = false;
  std::array<std::string, 256> oemText_;
  std::array<std::string, 256> oemUpperText_;
};

}  // namespace ambrelic::fat
