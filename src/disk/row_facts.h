// What a found row holds beside its five texts: the same values typed (for
// the formats other tools read), every time its entry or record keeps (for
// a timeline), and its condition: how much of what a restore would read is
// still free on the volume. Every engine fills them the same way, so the
// front ends never need to know which file system a row came from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/byte_reader.h"

namespace ambrelic::disk {

// A time as the volume keeps it. FAT entries hold calendar fields of local
// time without a zone; NTFS records hold UTC.
// Sixteen bytes: a row keeps nine of them.
struct VolumeTime {
  enum class Kind : std::uint8_t { None, Utc, Local };
  std::int64_t utcSeconds = 0;  // Utc: seconds since 1970-01-01 00:00 UTC
  // Local: the fields as stored, not range-checked.
  std::uint16_t year = 0;
  std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  Kind kind = Kind::None;

  static VolumeTime Utc(std::int64_t seconds) {
    VolumeTime t;
    t.kind = Kind::Utc;
    t.utcSeconds = seconds;
    return t;
  }
  static VolumeTime Local(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                          unsigned second) {
    VolumeTime t;
    t.kind = Kind::Local;
    t.year = static_cast<std::uint16_t>(year);
    t.month = static_cast<std::uint8_t>(month);
    t.day = static_cast<std::uint8_t>(day);
    t.hour = static_cast<std::uint8_t>(hour);
    t.minute = static_cast<std::uint8_t>(minute);
    t.second = static_cast<std::uint8_t>(second);
    return t;
  }
  bool present() const { return kind != Kind::None; }
};

// Seconds since 1970-01-01 00:00 UTC. Local fields are read in the
// process's time zone (TZ). Empty for no time, and for fields that name no
// moment (month 0, day 31 of April, hour 24...).
std::optional<std::int64_t> UnixSeconds(const VolumeTime& time);

// ISO 8601 in local time with its offset: "2024-03-01T14:05:08+01:00".
// Empty when UnixSeconds is.
std::string Iso8601Local(const VolumeTime& time);

enum class Condition : std::uint8_t { Intact, Partial, Overwritten, Damaged };

// What a check of the bytes a restore would write against their format
// found: nothing (the type is not one the deep scan knows, or the check was
// not run), a file that parses to its end at exactly the row's size, or one
// that does not.
enum class ContentCheck : std::uint8_t { None, Verified, Damaged };
enum class ConditionUnit : std::uint8_t { Cluster, Record };

// How much of what a restore of the row would read is still free. A file
// counts the clusters of its data; a folder its first cluster (FAT) or its
// record (NTFS). An empty file or data held in the record reads no
// cluster: total 0, intact.
struct RowCondition {
  std::uint64_t total = 0;      // clusters (or the record) the restore reads
  std::uint64_t free = 0;       // of them, still free
  bool firstInUse = false;      // the first cluster belongs to something else now
  bool resident = false;        // the data lies in the record itself
  bool known = true;            // false: the volume's bitmap could not be read
  ConditionUnit unit = ConditionUnit::Cluster;
  ContentCheck content = ContentCheck::None;
  // Damaged: the share of the row's size that parses, in whole percent.
  std::uint8_t contentPercent = 0;
  // Clusters that a newer deleted row claims too: the older row's data
  // there was written over by the newer one. They no longer count as free.
  bool sharedWithNewer = false;
};

// unknown conditions classify as overwritten and count 0 % (nothing can
// be promised); front ends show them as unknown.
// intact: every unit free (or none to read); overwritten: none free, or the
// first cluster in use; partial otherwise. A content check overrules the
// clusters: bytes that do not parse are damaged, whatever is free.
Condition Classify(const RowCondition& condition);
// The share still free, in whole percent: 100 only when every unit is free
// (or none is read), 0 only when none is.
int PercentFree(const RowCondition& condition);
// "intact", "partial", "overwritten", "damaged".
const char* ConditionName(Condition condition);
// For people: "12 of 12 clusters still free", "1 of 1 record still free",
// "data held in the file record", "empty file".
std::string ConditionText(const RowCondition& condition);

// Clear bits in [first, first + count) of a bitmap, least significant bit
// first; bits past its end count as set (in use), as the engines read them.
std::uint64_t CountClearBits(Bytes bitmap, std::uint64_t first, std::uint64_t count);

// A row's parent fact when no listed folder can hold it: a row at the
// root, one found loose by a cluster scan (under "<unknown>"), one of the
// deep scan.
inline constexpr std::uint64_t kNoFolder = ~std::uint64_t{0};

struct RowFacts {
  std::uint64_t size = 0;    // bytes; 0 for a folder
  std::uint64_t number = 0;  // first cluster (FAT) or record number (NTFS)
  // The folder whose walk listed the row, by the same identity a folder
  // row's number gives (its first cluster, or its record number): a
  // folder's restore walks that identity, and so writes exactly the rows
  // whose parents lead up to it. kNoFolder when no folder row can.
  std::uint64_t parent = kNoFolder;
  RowCondition condition;
  VolumeTime modified;       // the time the Modified text shows
  // Every time the entry or record keeps (absent ones stay None): last
  // write, last access, change of the record, creation.
  VolumeTime written, accessed, changed, created;
  // NTFS: the times of the $FILE_NAME the name came from.
  bool hasNameTimes = false;
  // exFAT: the clusters follow one another from the first, without a FAT
  // chain (the stream extension's NoFatChain flag).
  bool noFatChain = false;
  VolumeTime nameWritten, nameAccessed, nameChanged, nameCreated;
  // exFAT: the stream extension's lengths. The data length is a folder's
  // too (its size is 0); past the valid data length a file reads as zeros.
  // A restore finds the row's data from these, the first cluster (number)
  // and noFatChain alone.
  std::uint64_t dataLength = 0;
  std::uint64_t validLength = 0;
};

static_assert(sizeof(VolumeTime) == 16);

}  // namespace ambrelic::disk
