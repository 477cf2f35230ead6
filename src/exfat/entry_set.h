// exFAT directory entries: a file's entry set (the file entry, its stream
// extension and name entries), its checksum and name hash, the up-case
// table, and the Modified text of its timestamp. A deleted set keeps every
// byte except the in-use bit of each entry's type.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/byte_reader.h"
#include "exfat/volume_state.h"
#include "disk/row_facts.h"

namespace ambrelic::exfat {

constexpr std::size_t kEntrySize = 32;
constexpr std::uint8_t kInUse = 0x80;
constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kTypeFile = 0x85;
constexpr std::uint8_t kTypeStream = 0xC0;
constexpr std::uint8_t kTypeName = 0xC1;
constexpr std::uint8_t kTypeBitmap = 0x81;
constexpr std::uint8_t kTypeUpcase = 0x82;
constexpr std::uint8_t kTypeLabel = 0x83;
constexpr std::uint8_t kSecondaryBit = 0x40;
constexpr std::uint16_t kAttrDirectory = 0x10;
constexpr std::size_t kNameUnitsPerEntry = 15;
constexpr std::size_t kMaxNameUnits = 255;
constexpr std::size_t kMaxSecondaries = 255;
// Where every entry keeps the fields it has of these: a primary entry its
// count of secondaries, a secondary (the stream extension among them) its
// flags, an entry with an allocation of its own (a stream extension, the
// bitmap and up-case entries, a benign entry) its first cluster and length.
constexpr std::size_t kOffSecondaryCount = 0x01;
constexpr std::size_t kOffSecondaryFlags = 0x01;
constexpr std::size_t kOffFirstCluster = 0x14;
constexpr std::size_t kOffDataLength = 0x18;
// Bits of a secondary's flags, and of a benign primary's.
constexpr std::uint8_t kAllocationPossible = 0x01;
constexpr std::uint8_t kNoFatChain = 0x02;

// A type byte with its in-use bit set, whatever it was.
inline std::uint8_t LiveType(std::uint8_t type) { return type | kInUse; }

// One file's entry set as read from a directory.
struct EntrySet {
  bool inUse = false;        // the file entry's in-use bit
  bool checksumOk = false;   // the set checksum (in-use bits taken as set)
  bool nameHashOk = false;   // the up-cased name gives the stream's name hash
  std::size_t entryCount = 0;  // the file entry and its secondaries
  std::uint16_t attributes = 0;
  std::uint32_t modified = 0;
  std::uint8_t modified10ms = 0;
  std::uint8_t modifiedUtcOffset = 0;
  std::uint32_t created = 0;
  std::uint8_t created10ms = 0;
  std::uint8_t createdUtcOffset = 0;
  std::uint32_t accessed = 0;
  std::uint8_t accessedUtcOffset = 0;
  std::uint8_t streamFlags = 0;
  std::uint32_t firstCluster = 0;
  std::uint64_t validDataLength = 0;
  std::uint64_t dataLength = 0;
  std::size_t nameUnits = 0;
  std::array<std::uint8_t, kMaxNameUnits * 2> name{};  // UTF-16LE

  bool IsFolder() const { return (attributes & kAttrDirectory) != 0; }
  bool NoFatChain() const { return (streamFlags & kNoFatChain) != 0; }
  // Whether the set can be believed: its checksum holds, or, when something
  // else in it was damaged, its name entries are intact (the name hash holds).
  bool Listable() const { return checksumOk || nameHashOk; }
};

// Reads the set whose file entry is entry `index` of `entries` (32-byte
// entries, possibly several clusters of one directory). False when the
// entries there form no set: not a file entry, a secondary count below 2 or
// running past the end, a first secondary that is no stream extension, a
// name length of 0, fewer name entries than the name needs, an entry that
// is no secondary, or, for a set in use, a secondary not in use. (In a
// deleted set only the file entry's bit counts: a deletion cut short leaves
// secondaries marked in use.)
bool ReadEntrySet(disk::Bytes entries, std::size_t index, const std::vector<std::uint16_t>& upcase, EntrySet& out);

// The set checksum of count entries from entries[index]: every byte but
// bytes 2 and 3 of the file entry, each type byte with its in-use bit set.
std::uint16_t SetChecksum(disk::Bytes entries, std::size_t index, std::size_t count);

// The name hash of UTF-16LE units, each up-cased through the table (an
// empty table: the letters a-z only).
std::uint16_t NameHash(const std::uint8_t* units, std::size_t unitCount, const std::vector<std::uint16_t>& upcase);

// Expands a compressed up-case table (0xFFFF followed by a count of units
// that map to themselves) to 65536 entries; units it does not reach map to
// themselves. Empty when the bytes' checksum is not `checksum`.
std::vector<std::uint16_t> ExpandUpcaseTable(disk::Bytes table, std::uint32_t checksum);

// The 32-bit checksum of an up-case table (the boot checksum's step).
std::uint32_t TableChecksum(disk::Bytes table);

// "MM/DD/YYYY HH:MM" in local time. With a valid UTC offset (bit 7 set:
// 15-minute steps in bits 0-6, signed) the stamp is taken in that offset and
// shown in the local time zone; without one it is shown as it stands (the
// writer's local time, which is all the entry says). A stamp whose fields
// are no date is shown as it stands too.
std::string FormatModified(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utcOffset);

// A timestamp as a row's facts keep it: with a valid UTC offset the moment
// in UTC, without one the fields as they stand (the writer's local time);
// None for a stamp of 0 (never set). Fields that are no date stay local
// fields, which name no moment.
disk::VolumeTime StampTime(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utcOffset);

// The set's times: last write (also the Modified time), last access and
// creation. exFAT keeps no change time.
void FillSetTimes(const EntrySet& set, disk::RowFacts& facts);

}  // namespace ambrelic::exfat
