#include "exfat/entry_set.h"

#include <ctime>

#include "disk/byte_reader.h"
#include "disk/text_format.h"

namespace ambrelic::exfat {
namespace {

constexpr std::size_t kOffAttributes = 0x04;
constexpr std::size_t kOffCreated = 0x08;
constexpr std::size_t kOffModified = 0x0C;
constexpr std::size_t kOffAccessed = 0x10;
constexpr std::size_t kOffCreated10ms = 0x14;
constexpr std::size_t kOffModified10ms = 0x15;
constexpr std::size_t kOffCreatedUtcOffset = 0x16;
constexpr std::size_t kOffModifiedUtcOffset = 0x17;
constexpr std::size_t kOffAccessedUtcOffset = 0x18;
constexpr std::size_t kOffNameLength = 0x03;
constexpr std::size_t kOffNameHash = 0x04;
constexpr std::size_t kOffValidDataLength = 0x08;
constexpr std::size_t kOffNameUnits = 0x02;

std::uint8_t TypeAt(disk::Bytes entries, std::size_t index) { return disk::le8(entries, index * kEntrySize); }

std::uint16_t UpcaseUnit(std::uint16_t u, const std::vector<std::uint16_t>& upcase) {
  if (upcase.size() > u) return upcase[u];
  return (u >= 'a' && u <= 'z') ? static_cast<std::uint16_t>(u - 32) : u;
}

bool IsLeapYear(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned month, unsigned year) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::uint16_t SetChecksum(disk::Bytes entries, std::size_t index, std::size_t count) {
  std::uint16_t sum = 0;
  for (std::size_t e = 0; e < count; ++e) {
    const std::size_t base = (index + e) * kEntrySize;
    for (std::size_t i = 0; i < kEntrySize; ++i) {
      if (e == 0 && (i == 2 || i == 3)) continue;
      std::uint8_t byte = disk::le8(entries, base + i);
      if (i == 0) byte = LiveType(byte);
      sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
    }
  }
  return sum;
}

std::uint16_t NameHash(const std::uint8_t* units, std::size_t unitCount, const std::vector<std::uint16_t>& upcase) {
  std::uint16_t hash = 0;
  for (std::size_t i = 0; i < unitCount; ++i) {
    const std::uint16_t u = UpcaseUnit(static_cast<std::uint16_t>(units[2 * i] | (units[2 * i + 1] << 8)), upcase);
    for (const std::uint8_t byte : {static_cast<std::uint8_t>(u & 0xFF), static_cast<std::uint8_t>(u >> 8)}) {
      hash = static_cast<std::uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + byte);
    }
  }
  return hash;
}

std::uint32_t TableChecksum(disk::Bytes table) {
  std::uint32_t sum = 0;
  for (const std::uint8_t byte : table) sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + byte;
  return sum;
}

std::vector<std::uint16_t> ExpandUpcaseTable(disk::Bytes table, std::uint32_t checksum) {
  if (table.size() < 2 || TableChecksum(table) != checksum) return {};
  std::vector<std::uint16_t> out(0x10000);
  for (std::size_t u = 0; u < out.size(); ++u) out[u] = static_cast<std::uint16_t>(u);
  std::size_t next = 0;  // the unit the next table value maps
  for (std::size_t at = 0; disk::Fits(at, 2, table.size()) && next < out.size(); at += 2) {
    const std::uint16_t value = disk::le16(table, at);
    if (value == 0xFFFF && disk::Fits(at + 2, 2, table.size())) {
      // A run of units that map to themselves.
      next += disk::le16(table, at + 2);
      at += 2;
      continue;
    }
    out[next++] = value;
  }
  return out;
}

bool ReadEntrySet(disk::Bytes entries, std::size_t index, const std::vector<std::uint16_t>& upcase, EntrySet& out) {
  const std::size_t available = entries.size() / kEntrySize;
  if (index >= available) return false;
  const std::uint8_t fileType = TypeAt(entries, index);
  if (LiveType(fileType) != kTypeFile) return false;
  const bool inUse = (fileType & kInUse) != 0;
  const std::size_t secondaries = disk::le8(entries, index * kEntrySize + kOffSecondaryCount);
  if (secondaries < 2 || available - index - 1 < secondaries) return false;

  auto secondaryFits = [&](std::size_t k, std::uint8_t want) {
    const std::uint8_t type = TypeAt(entries, index + k);
    if (inUse && (type & kInUse) == 0) return false;
    return want == 0 ? (type & kSecondaryBit) != 0 : LiveType(type) == want;
  };
  if (!secondaryFits(1, kTypeStream)) return false;
  disk::ByteReader all(entries);
  disk::ByteReader file(all.slice(index * kEntrySize, kEntrySize));
  disk::ByteReader stream(all.slice((index + 1) * kEntrySize, kEntrySize));
  const std::size_t nameUnits = stream.u8(kOffNameLength);
  const std::size_t nameEntries = (nameUnits + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
  if (nameUnits == 0 || secondaries < 1 + nameEntries) return false;
  for (std::size_t k = 2; k < 2 + nameEntries; ++k) {
    if (!secondaryFits(k, kTypeName)) return false;
  }
  // Secondaries after the name (vendor extensions) must still be secondaries.
  for (std::size_t k = 2 + nameEntries; k <= secondaries; ++k) {
    if (!secondaryFits(k, 0)) return false;
  }

  out.inUse = inUse;
  out.entryCount = secondaries + 1;
  out.attributes = file.u16(kOffAttributes);
  out.modified = file.u32(kOffModified);
  out.modified10ms = file.u8(kOffModified10ms);
  out.modifiedUtcOffset = file.u8(kOffModifiedUtcOffset);
  out.created = file.u32(kOffCreated);
  out.created10ms = file.u8(kOffCreated10ms);
  out.createdUtcOffset = file.u8(kOffCreatedUtcOffset);
  out.accessed = file.u32(kOffAccessed);
  out.accessedUtcOffset = file.u8(kOffAccessedUtcOffset);
  out.streamFlags = stream.u8(kOffSecondaryFlags);
  out.validDataLength = stream.u64(kOffValidDataLength);
  out.firstCluster = stream.u32(kOffFirstCluster);
  out.dataLength = stream.u64(kOffDataLength);
  out.nameUnits = nameUnits;
  for (std::size_t u = 0; u < nameUnits; ++u) {
    const std::size_t entry = index + 2 + u / kNameUnitsPerEntry;
    const std::size_t at = entry * kEntrySize + kOffNameUnits + 2 * (u % kNameUnitsPerEntry);
    out.name[2 * u] = all.u8(at);
    out.name[2 * u + 1] = all.u8(at + 1);
  }
  out.checksumOk = SetChecksum(entries, index, out.entryCount) == file.u16(0x02);
  out.nameHashOk = NameHash(out.name.data(), nameUnits, upcase) == stream.u16(kOffNameHash);
  // The set was checked to lie inside entries: a field past the end is a
  // fault of that check, never a set.
  return all.ok() && file.ok() && stream.ok();
}

namespace {

// The fields of a stamp, and whether they name a day and time of day.
struct StampFields {
  unsigned year, month, day, hour, minute, seconds;
  bool isDate;
};

StampFields Decode(std::uint32_t stamp, std::uint8_t tenMs) {
  StampFields f{};
  f.seconds = (stamp & 0x1F) * 2 + tenMs / 100;
  f.minute = (stamp >> 5) & 0x3F;
  f.hour = (stamp >> 11) & 0x1F;
  f.day = (stamp >> 16) & 0x1F;
  f.month = (stamp >> 21) & 0x0F;
  f.year = 1980 + (stamp >> 25);
  f.isDate = f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= DaysInMonth(f.month, f.year) && f.hour < 24 &&
             f.minute < 60 && f.seconds < 60;
  return f;
}

// The moment a stamp with a valid offset names, in seconds since 1970 UTC.
std::time_t UtcSeconds(const StampFields& f, std::uint8_t utcOffset) {
  // Bits 0-6 are a signed count of 15-minute steps east of UTC.
  const int steps = (utcOffset & 0x40) ? static_cast<int>(utcOffset & 0x7F) - 128 : (utcOffset & 0x7F);
  std::tm fields{};
  fields.tm_year = static_cast<int>(f.year) - 1900;
  fields.tm_mon = static_cast<int>(f.month) - 1;
  fields.tm_mday = static_cast<int>(f.day);
  fields.tm_hour = static_cast<int>(f.hour);
  fields.tm_min = static_cast<int>(f.minute);
  fields.tm_sec = static_cast<int>(f.seconds);
  return timegm(&fields) - static_cast<std::time_t>(steps) * 15 * 60;
}

}  // namespace

std::string FormatModified(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utcOffset) {
  const StampFields f = Decode(stamp, tenMs);
  if (f.isDate && (utcOffset & 0x80) != 0) {
    const std::time_t utc = UtcSeconds(f, utcOffset);
    std::tm local{};
    if (localtime_r(&utc, &local)) {
      return disk::DateTimeText(static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                                static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_hour),
                                static_cast<unsigned>(local.tm_min));
    }
  }
  return disk::DateTimeText(f.month, f.day, f.year, f.hour, f.minute);
}

disk::VolumeTime StampTime(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utcOffset) {
  if (stamp == 0) return {};
  const StampFields f = Decode(stamp, tenMs);
  if (f.isDate && (utcOffset & 0x80) != 0) return disk::VolumeTime::Utc(UtcSeconds(f, utcOffset));
  return disk::VolumeTime::Local(f.year, f.month, f.day, f.hour, f.minute, f.seconds);
}

void FillSetTimes(const EntrySet& set, disk::RowFacts& facts) {
  facts.written = StampTime(set.modified, set.modified10ms, set.modifiedUtcOffset);
  facts.modified = facts.written;
  facts.accessed = StampTime(set.accessed, 0, set.accessedUtcOffset);
  facts.created = StampTime(set.created, set.created10ms, set.createdUtcOffset);
}

}  // namespace ambrelic::exfat
